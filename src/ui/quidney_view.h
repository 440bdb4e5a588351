// CQUIDNEYView: the main window's file list. It shows one list of the document at a time (the
// root level of the list mode, or a directory the user entered) in one of four styles, sorts it,
// selects in it, renames lost directories, walks the directory history, and starts the viewers,
// the open action and saving.
#pragma once

#include <QComboBox>
#include <QItemSelection>
#include <functional>
#include <set>
#include <tuple>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QPointer>
#include <QStackedWidget>
#include <QTreeView>
#include <QWidget>

#include "document/document.h"
#include "saving/save_run.h"
#include "ui/file_list_model.h"
#include "ui/filter_bar.h"

namespace harrow::gui {

class SaveProgress;

enum ViewStyle : int {
    ID_VIEW_LARGEICON = 32779,
    ID_VIEW_SMALLICON = 32780,
    ID_VIEW_LIST = 32781,
    ID_VIEW_DETAILS = 32782,
};

class CQUIDNEYView : public QWidget {
    Q_OBJECT
public:
    CQUIDNEYView(CQUIDNEYDoc& doc, QWidget* parent = nullptr);

    // The frame's history combo and status panes, which the view fills.
    void attachFrame(QComboBox* history, QLabel* selectionPane, QLabel* totalPane);
    // What a right click off the rows offers: the view styles, the sort commands, preferences.
    void setBackgroundMenus(QMenu* styles, QMenu* sort, QAction* preferences);

    // Before the document rebuilds its lists: nothing borrowed from them may stay on screen.
    void detach();
    // After an open: when the document's lists were rebuilt, the caption and the root level.
    void refreshIfStale();
    // The next refresh is of the drive open now, read again: its saved marks stay.
    void keepSavedMarks() { keepSaved_ = true; }
    // The last open's scan was stopped early: the lists it found say they are partial.
    void setScanPartial(bool partial) { scanPartial_ = partial; }
    bool scanPartial() const { return scanPartial_; }
    QString caption() const;

    // Commands.
    void setListMode(ListMode mode);
    // What a search of the volume found, as a list of its own at the top level: each row says
    // where it lies, and going up from a folder entered from it comes back to it. Another list
    // mode or another open ends it.
    void showFindResults(std::vector<Row> rows);
    bool showsFindResults() const { return driveOpen_ && findResults_.has_value() && dirDepth_ == 0; }
    // The bar above the list whose filter hides the rows it does not keep.
    FilterBar* filterBar() const { return filterBar_; }
    void setViewStyle(int style);
    void setSortKey(int key);
    void headerClicked(int column);
    void enterRow(int row);
    void parentDirectory();
    void historySelected(int row);
    void selectAll();
    void selectDeleted();
    void selectUnsaved();
    void invertSelection();
    void renameFocused();
    void openAction(int row);
    void viewHex();
    void viewText();
    void chooseDirFat();
    void preferences();
    void save();
    void reload();

    // State the frame and the tests read.
    // A drive was opened and its lists are shown (kept by the view: a job may be changing the
    // drive while the window asks).
    bool driveOpen() const { return driveOpen_; }
    // The volume of the rows shown is NTFS.
    bool showsNtfs() const { return driveOpen_ && showsNtfs_; }
    // The list of every file record found, whose rows come from every folder.
    bool showsAllFiles() const { return driveOpen_ && doc_.options.listMode == ID_LIST_ALLFILES && dirDepth_ == 0; }
    // The FAT copy the viewers, the open action and saving read files through.
    FatIndex saveFat() const { return saveFat_; }
    // The stack of entered directories; item 0 stands for the root.
    const std::vector<FileItem>& dirStack() const { return dirStack_; }
    int viewStyle() const { return viewStyle_; }
    int sortKey() const { return sortKey_; }
    int sortOrder() const { return sortOrder_; }
    int dirDepth() const { return dirDepth_; }
    FileListModel& model() { return model_; }
    QAbstractItemView* currentView() const;
    QListView* listView() const { return list_; }
    QTreeView* detailsView() const { return details_; }
    // Rows selected, in row order; "." and ".." never count.
    QList<int> selectedRows() const;
    int focusedRow() const;
    bool canSave() const;
    QString selectionText() const;
    QString totalText() const;
    const QString& lastTargetFolder() const { return lastTargetFolder_; }

signals:
    void captionChanged(const QString& caption);
    // A save run wrote `count` files of `bytes` bytes into `folder`.
    void filesSaved(int count, quint64 bytes, const QString& folder);
    // Something the commands' enabled state depends on changed.
    void stateChanged();

private:
    void applyRowFilter();
    void rebuildRoot();
    // Selects the row of `item` (the directory just left), when the list shows it.
    void selectItem(const FileItem& item);
    void applyListModeRule();
    void fill();
    // The cell size of the list styles, from the names shown.
    void updateGrid();
    void showItems(const ItemList& items);
    // Rows for `items` as the document names them now, and the volume they were taken from.
    std::vector<Row> rowsOf(const ItemList& items) const;
    RowContext rowContext() const;
    void updateStatus();
    void resetHistory();
    void addHistory(const QString& name);
    void selectHistoryRow(int row);
    // Lists `item` (held by `parent`) in a job; nothing on failure.
    std::optional<ItemList> listInBackground(const FileItem& item, const FileItem& parent);
    // Saves `rows` into `options.targetFolder` in a job, and marks the rows saved. The observer
    // hears each item's end (on the job's thread); `progress`, where given, is what the job's
    // dialog shows.
    SaveSummary saveRows(const QList<int>& rows, SaveOptions options, SaveObserver* itemObserver = nullptr,
                         SaveProgress* progress = nullptr);
    void onRenamed(int row);
    void showContextMenu(const QPoint& pos);
    void showProperties(int row);
    bool eventFilter(QObject* watched, QEvent* event) override;
    // The rows `pick` takes, whole, as one range per run of rows.
    QItemSelection rowsWhere(const std::function<bool(int)>& pick) const;
    // The first selected row, or -1.
    int firstSelectedRow() const;
    // The copy to read `item` through, asked of the user where the volume has FAT copies.
    std::optional<FatIndex> chooseFatFor(const FileItem& item);

    CQUIDNEYDoc& doc_;
    FileListModel model_;
    QStackedWidget* stack_;
    QListView* list_;
    QTreeView* details_;
    QPointer<QComboBox> history_;
    QPointer<QLabel> selectionPane_;
    QPointer<QLabel> totalPane_;
    QPointer<QMenu> stylesMenu_;
    QPointer<QMenu> sortMenu_;
    QPointer<QAction> preferencesAction_;
    int viewStyle_ = ID_VIEW_LIST;
    int sortKey_ = 0;
    int sortOrder_ = 1;
    int dirDepth_ = 0;
    bool updatingHistory_ = false;
    bool editing_ = false;  // a label editor is open
    QString lastTargetFolder_;
    std::vector<FileItem> dirStack_{FileItem{}};
    FilterBar* filterBar_ = nullptr;
    std::optional<std::vector<Row>> findResults_;
    FatIndex saveFat_ = 0;
    bool driveOpen_ = false;
    bool showsNtfs_ = false;
    bool scanPartial_ = false;
    bool keepSaved_ = false;
    // The files saved since the drive was opened, as any list of it shows them: each list is
    // read anew, so the marks are kept here and put on the rows each time.
    using SavedKey = std::tuple<std::uint64_t, std::uint64_t, std::string, std::string, std::uint64_t>;
    static SavedKey savedKey(const FileItem& item) {
        return {item.cluster, item.record, item.stream, item.name, item.size};
    }
    std::set<SavedKey> saved_;
};

}  // namespace harrow::gui
