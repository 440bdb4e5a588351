// The items the main window shows, as one table model for every view style. The model holds
// rows of its own, taken on the GUI thread when a list is shown; no job ever writes them. Marks
// made on a row (a rename, a save) are made on the GUI thread, and handed on to the document by
// the view.
#pragma once

#include <QAbstractTableModel>
#include <cstdint>
#include <functional>
#include <memory>
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

// What the rows of one list were taken with: the volume as it stood then. A row's icon is
// worked out from these alone, so painting never reads the document or the drive, which a job
// may be changing on another thread.
struct RowContext {
    std::shared_ptr<const FatTable> fat = std::make_shared<const FatTable>();
    bool ntfs = false;
    std::uint32_t clusterSectors = 1;
    ListMode mode = ID_LIST_BASICROOT;
};

// One row as it was when the list was shown: the item, and the name it shows (a found
// directory's name wins over the entry's own).
struct Row {
    FileItem item;
    QString name;
    QString folder{};  // where a found file record lies (the all-files list); empty elsewhere
    unsigned states = 0;  // ItemState bits but saved, which the item's kind says
};

class FileListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // The path column is shown for the all-files list only, whose rows come from every folder.
    enum Column { ColName, ColDate, ColCluster, ColSize, ColPath, ColumnCount };

    explicit FileListModel(QObject* parent = nullptr);

    // Shows `rows`, taken with `context`, in the current sort order.
    void setRows(std::vector<Row> rows, RowContext context);
    void clear();
    // Sorts by the current key and order; key 4 sorts by folder, then name.
    void setSort(int key, int order);
    void resort();

    // Shows only the rows `keep` keeps (every row when it is empty), in this list and the ones
    // shown after it, until changed. The row numbers, counts and selections are of what is shown.
    using RowFilter = std::function<bool(const Row&, const RowContext&)>;
    void setFilter(RowFilter keep);
    bool filtered() const { return static_cast<bool>(keep_); }
    // Rows of the list, shown or not.
    int allCount() const { return static_cast<int>(rows_.size()); }

    int itemCount() const { return static_cast<int>(order_.size()); }
    const FileItem& itemAt(int row) const { return rows_[order_[static_cast<std::size_t>(row)]].item; }
    bool isDotRow(int row) const { return itemAt(row).isDotName(); }
    QString shownName(int row) const { return rows_[order_[static_cast<std::size_t>(row)]].name; }
    QString folder(int row) const { return rows_[order_[static_cast<std::size_t>(row)]].folder; }
    // The icon number of a row (item kind, or the FAT verdict of a file).
    int iconNumber(int row) const;
    // A row whose file was saved: it shows so from now on.
    void markSaved(int row);
    // Forgets computed icons (the FAT choice changed).
    void refreshIcons();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

signals:
    // A label edit ended with a new text; the row already shows it.
    void renamed(int row);

private:
    int computeIcon(const FileItem& item) const;
    // The rows shown, in order: those the filter keeps, sorted.
    void orderRows();

    std::vector<Row> rows_;
    std::vector<std::uint32_t> order_;  // row index of each shown row, in sorted order
    // Icon of each row, worked out the first time it is painted (0: not yet).
    mutable std::vector<std::uint16_t> icons_;
    RowContext context_;
    int key_ = 0;
    int sortOrder_ = 1;
    RowFilter keep_;
};

}  // namespace harrow::gui
