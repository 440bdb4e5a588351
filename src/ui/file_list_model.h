// The items the main window shows, as one table model for every view style. The model either
// owns its items (a directory the user entered, the root-level lists made for a mode) or borrows
// a list of the document (all directories, all files), so that marks made on the shown item (a
// rename, a save) land where the document keeps them.
#pragma once

#include <QAbstractTableModel>
#include <cstdint>
#include <vector>

#include "document/document.h"
#include "items/file_item.h"

namespace harrow::gui {

// The size of a selection as the status bar shows it: "1023 bytes", "1.0KB", "1023.9KB", ...
// The tenths are cut, not rounded, so 1535 bytes read 1.4KB.
QString sizeText(std::uint64_t bytes);

// The row order: directories before files, "." then ".." on top of the directories, then by
// `key` (0 name without regard to case, 1 date and time, 2 cluster, 3 size) ascending when
// `order` is 1, descending otherwise.
bool rowLess(const FileItem& a, const FileItem& b, int key, int order);

class FileListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { ColName, ColDate, ColCluster, ColSize, ColumnCount };

    explicit FileListModel(CQUIDNEYDoc& doc, QObject* parent = nullptr);

    // Shows `items`, owned by the model.
    void setOwned(ItemList items);
    // Shows a list of the document; it must not change its size while shown.
    void setBorrowed(ItemList& list);
    void clear();
    // Sorts by the current key and order (the rows keep pointing at the same items).
    void setSort(int key, int order);
    void resort();

    int itemCount() const { return static_cast<int>(rows_.size()); }
    FileItem& itemAt(int row) { return (*items_)[rows_[static_cast<std::size_t>(row)]]; }
    const FileItem& itemAt(int row) const { return (*items_)[rows_[static_cast<std::size_t>(row)]]; }
    bool isDotRow(int row) const { return itemAt(row).isDotName(); }
    // The name a row shows: a found directory's (renamed) name wins over the entry's own.
    QString shownName(int row) const;
    // The icon number of a row (item kind, or the FAT verdict of a file).
    int iconNumber(int row) const;
    // Forgets computed icons (after a save marks items, or the FAT choice changed).
    void refreshIcons();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

signals:
    // A label edit ended with a new text; the item already carries it.
    void renamed(int row);

private:
    int computeIcon(const FileItem& item) const;
    void takeVolume();
    // Shows `list` (the model's own or the document's) in sorted order.
    void show(ItemList& list);
    void sortRows();

    CQUIDNEYDoc& doc_;
    ItemList owned_;
    ItemList* items_ = &owned_;
    std::vector<std::uint32_t> rows_;  // item index of each row, in sorted order
    // Icon of each item, worked out the first time its row is painted (0: not yet).
    mutable std::vector<std::uint16_t> icons_;
    int key_ = 0;
    int order_ = 1;
    // Taken from the volume when the items are set, so that painting never reads the drive's
    // description while a worker reopens the drive.
    bool ntfs_ = false;
    std::uint32_t clusterSectors_ = 1;
};

}  // namespace harrow::gui
