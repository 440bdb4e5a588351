#include "ui/quidney_view.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QRegularExpression>
#include <QProgressDialog>
#include <QThread>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdlib>
#include <functional>
#include <utility>

#include "ui/gui_icons.h"
#include "ui/gui_text.h"
#include "ui/saving/fat_choice_dlg.h"
#include "ui/saving/save_progress.h"
#include "ui/saving/save_target_dlg.h"
#include "saving/save_run.h"
#include "ui/job.h"
#include "ui/preferences_dlg.h"
#include "ui/viewers.h"

namespace harrow::gui {
namespace {

// Column widths of the details view, in pixels at the default font.
constexpr int kColumnWidths[] = {220, 160, 100, 110, 260};

constexpr UiText kSaveCaption{"保存文件", "Save file"};
constexpr UiText kSaving{"正在保存 ...", "Saving ..."};
constexpr UiText kOpen{"打开(&O)", "&Open"};
constexpr UiText kProperties{"属性(&R)", "P&roperties"};
constexpr UiText kFindResults{"查找结果", "Find results"};
constexpr UiText kPartialScan{"扫描已取消，列表不完整", "partial: the scan was cancelled"};

QString modeName(ListMode mode) { return message(static_cast<int>(mode)); }

// A save run in a job stops when the job is asked to, and hands what it hears on. It keeps the
// files saved, those inside saved folders too, for the lists to mark once the job is over.
class SaveInJob : public SaveObserver {
public:
    SaveInJob(JobObserver& job, std::initializer_list<SaveObserver*> others, std::vector<FileItem>* savedFiles = nullptr)
        : job_(job), savedFiles_(savedFiles) {
        for (SaveObserver* o : others)
            if (o) others_.push_back(o);
    }
    bool cancelled() override { return job_.stopRequested(); }
    void beginItem(const FileItem& item, const std::string& targetPath) override {
        for (SaveObserver* o : others_) o->beginItem(item, targetPath);
    }
    void progress(std::uint64_t bytesDone) override {
        for (SaveObserver* o : others_) o->progress(bytesDone);
    }
    void itemDone(const FileItem& item, const std::string& targetPath, SaveStatus status) override {
        if (savedFiles_ && status == SaveStatus::Saved && !item.isDirectory()) savedFiles_->push_back(item);
        for (SaveObserver* o : others_) o->itemDone(item, targetPath, status);
    }

private:
    JobObserver& job_;
    std::vector<FileItem>* savedFiles_;
    std::vector<SaveObserver*> others_;
};

// The folder the open action saves into when $TMP names none: one only this user can enter, so
// that nobody else reads what was recovered or leaves a file there to be opened in its place.
// Where the session has no runtime folder, one made for this process.
std::optional<QString> openActionFolder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) {
        const QString folder = runtime + QStringLiteral("/harrow");
        if (usePrivateFolder(ss(folder))) return folder;
        return std::nullopt;
    }
    static QString made;
    if (!made.isEmpty() && usePrivateFolder(ss(made))) return made;
    std::string pattern = ss(QDir::tempPath() + QStringLiteral("/harrow-XXXXXX"));
    if (!::mkdtemp(pattern.data())) return std::nullopt;
    made = qs(pattern);
    return made;
}

}  // namespace

CQUIDNEYView::CQUIDNEYView(CQUIDNEYDoc& doc, QWidget* parent)
    : QWidget(parent), doc_(doc), model_(this), stack_(new QStackedWidget(this)), list_(new QListView(this)),
      details_(new QTreeView(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    filterBar_ = new FilterBar(this);
    layout->addWidget(filterBar_);
    layout->addWidget(stack_);
    connect(filterBar_, &FilterBar::changed, this, &CQUIDNEYView::applyRowFilter);

    list_->setModel(&model_);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setUniformItemSizes(true);
    list_->setLayoutMode(QListView::Batched);
    list_->setBatchSize(2000);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    details_->setModel(&model_);
    details_->setSelectionModel(list_->selectionModel());
    details_->setRootIsDecorated(false);
    details_->setUniformRowHeights(true);
    details_->setItemsExpandable(false);
    details_->setAllColumnsShowFocus(true);
    details_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    details_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    details_->setContextMenuPolicy(Qt::CustomContextMenu);
    details_->header()->setSectionsClickable(true);
    details_->header()->setSortIndicatorShown(false);
    details_->header()->setStretchLastSection(false);
    details_->setIconSize(QSize(20, 20));
    for (int c = 0; c < FileListModel::ColumnCount; ++c) details_->setColumnWidth(c, kColumnWidths[c]);
    // The name takes what the window has to spare.
    details_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    details_->header()->setMinimumSectionSize(60);
    stack_->addWidget(list_);
    stack_->addWidget(details_);

    for (QAbstractItemView* v : {static_cast<QAbstractItemView*>(list_), static_cast<QAbstractItemView*>(details_)}) {
        v->installEventFilter(this);
        connect(v, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& i) { openAction(i.row()); });
        connect(v, &QWidget::customContextMenuRequested, this, &CQUIDNEYView::showContextMenu);
        connect(v->itemDelegate(), &QAbstractItemDelegate::closeEditor, this, [this] { editing_ = false; });
    }
    connect(details_->header(), &QHeaderView::sectionClicked, this, &CQUIDNEYView::headerClicked);
    connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        updateStatus();
        emit stateChanged();
    });
    connect(&model_, &FileListModel::renamed, this, &CQUIDNEYView::onRenamed);
    setViewStyle(viewStyle_);
}

void CQUIDNEYView::attachFrame(QComboBox* history, QLabel* selectionPane, QLabel* totalPane) {
    history_ = history;
    selectionPane_ = selectionPane;
    totalPane_ = totalPane;
    connect(history, &QComboBox::activated, this, &CQUIDNEYView::historySelected);
}

void CQUIDNEYView::setBackgroundMenus(QMenu* styles, QMenu* sort, QAction* preferences) {
    stylesMenu_ = styles;
    sortMenu_ = sort;
    preferencesAction_ = preferences;
}

QAbstractItemView* CQUIDNEYView::currentView() const {
    return viewStyle_ == ID_VIEW_DETAILS ? static_cast<QAbstractItemView*>(details_) : list_;
}

void CQUIDNEYView::detach() {
    driveOpen_ = false;
    model_.clear();
    dirDepth_ = 0;
    resetHistory();
    updateStatus();
}

QString CQUIDNEYView::caption() const {
    switch (doc_.driveKind) {
    case DriveKind::None: return message(msg::kTitle);
    case DriveKind::Image: {
        // The range the image holds, as its header gives it: the rest of the volume is not there.
        SectorSource* source = doc_.drive().source();
        const std::optional<SavedClusters> saved = source ? source->savedClusters() : std::nullopt;
        if (!saved) return message(msg::kTitle);
        return message(msg::kTitleImage, doc_.rootPath, saved->first, saved->last);
    }
    default: return message(msg::kTitleDrive, doc_.driveLetter);
    }
}

void CQUIDNEYView::refreshIfStale() {
    if (!doc_.listsStale) return;
    findResults_.reset();
    if (!std::exchange(keepSaved_, false)) saved_.clear();
    emit captionChanged(caption());
    rebuildRoot();
}

void CQUIDNEYView::applyListModeRule() {
    if (!doc_.options.searchDisk && doc_.options.listMode != ID_LIST_BASICROOT) {
        doc_.options.listMode = ID_LIST_BASICROOT;
        model_.clear();
        resetHistory();
    }
}

void CQUIDNEYView::rebuildRoot() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    doc_.listsStale = false;
    model_.clear();
    dirStack_.assign(1, doc_.rootItem());
    resetHistory();
    dirDepth_ = 0;
    driveOpen_ = doc_.drive().isOpen();
    showsNtfs_ = !doc_.isFat();
    if (driveOpen_) {
        applyListModeRule();
        if (findResults_) {
            std::vector<Row> rows = *findResults_;
            for (Row& row : rows)
                if (row.item.kind == ITEM_FILE && saved_.contains(savedKey(row.item))) row.item.kind = ITEM_SAVEDFILE;
            model_.setRows(std::move(rows), rowContext());
            addHistory(QStringLiteral("< %1 >").arg(text(kFindResults)));
        } else {
            model_.setRows(rowsOf(doc_.listForMode(doc_.options.listMode)), rowContext());
            addHistory(QStringLiteral("< %1 >").arg(modeName(doc_.options.listMode)));
        }
    }
    fill();
    QApplication::restoreOverrideCursor();
    emit stateChanged();
}

void CQUIDNEYView::showFindResults(std::vector<Row> rows) {
    findResults_ = std::move(rows);
    rebuildRoot();
}

void CQUIDNEYView::applyRowFilter() {
    std::optional<ItemFilter> filter = filterBar_->filter();
    if (!filter) {
        model_.setFilter({});
    } else {
        model_.setFilter([filter = std::make_shared<const ItemFilter>(std::move(*filter))](const Row& row,
                                                                                          const RowContext& context) {
            // "." and ".." stay: they are the way up, not items.
            if (row.item.isDotName()) return true;
            const unsigned states = row.states | (row.item.kind == ITEM_SAVEDFILE ? unsigned{STATE_SAVED} : 0u);
            return filter->matches(row.item, states, context.ntfs ? nullptr : context.fat.get());
        });
    }
    fill();
    emit stateChanged();
}

void CQUIDNEYView::fill() {
    details_->setColumnHidden(FileListModel::ColPath, !showsAllFiles() && !showsFindResults());
    updateGrid();
    currentView()->scrollToTop();
    if (model_.itemCount() > 0) currentView()->setCurrentIndex(model_.index(0, 0));
    list_->selectionModel()->clearSelection();
    updateStatus();
}

std::vector<Row> CQUIDNEYView::rowsOf(const ItemList& items) const {
    std::vector<Row> rows;
    rows.reserve(items.size());
    // Every record found on NTFS, from whatever folder: each says where it lies.
    const bool allFiles = showsAllFiles();
    // What the filter knows of a row's state: the scan's lists hold what no directory of the root
    // shows, and a deleted directory passes that on to what it holds.
    const bool lost = doc_.options.listMode != ID_LIST_BASICROOT;
    const bool inDeleted = std::any_of(dirStack_.begin(), dirStack_.end(),
                                       [](const FileItem& d) { return d.deleted || d.isDeletedName(); });
    for (const FileItem& item : items) {
        const FileItem* found = item.isDotName() || !doc_.isFat() ? nullptr : doc_.findFoundItem(item.cluster);
        rows.push_back({item, qs(found ? found->name : item.name)});
        unsigned& states = rows.back().states;
        if (lost) states |= STATE_LOST;
        if (inDeleted || item.deleted || item.isDeletedName()) states |= STATE_DELETED;
        if (states == 0) states = STATE_LIVE;
        if (allFiles)
            if (auto folder = doc_.ntfsFolders.find(item.parentRecord); folder != doc_.ntfsFolders.end())
                rows.back().folder = qs(folder->second);
        if (item.kind == ITEM_FILE && saved_.contains(savedKey(item))) rows.back().item.kind = ITEM_SAVEDFILE;
    }
    return rows;
}

RowContext CQUIDNEYView::rowContext() const {
    const DriveInfo& info = doc_.drive().info();
    return {doc_.drive().sharedFat(), info.isNtfs(), info.clusterSectors(), doc_.options.listMode};
}

void CQUIDNEYView::showItems(const ItemList& items) {
    model_.setRows(rowsOf(items), rowContext());
    fill();
}

void CQUIDNEYView::setListMode(ListMode mode) {
    doc_.options.listMode = mode;
    findResults_.reset();
    model_.clear();
    dirDepth_ = 0;
    resetHistory();
    rebuildRoot();
}

void CQUIDNEYView::setViewStyle(int style) {
    viewStyle_ = style == ID_VIEW_LARGEICON || style == ID_VIEW_SMALLICON || style == ID_VIEW_LIST ? style : ID_VIEW_DETAILS;
    const bool large = viewStyle_ == ID_VIEW_LARGEICON;
    list_->setViewMode(large ? QListView::IconMode : QListView::ListMode);
    list_->setIconSize(large ? QSize(32, 32) : QSize(20, 20));
    list_->setWordWrap(large);
    list_->setUniformItemSizes(!large);
    // Small icons run in rows, the list in columns, as a file manager's views do.
    list_->setFlow(viewStyle_ == ID_VIEW_LIST ? QListView::TopToBottom : QListView::LeftToRight);
    list_->setWrapping(true);
    list_->setMovement(QListView::Static);
    list_->setResizeMode(QListView::Adjust);
    list_->setTextElideMode(Qt::ElideRight);
    updateGrid();
    stack_->setCurrentWidget(viewStyle_ == ID_VIEW_DETAILS ? static_cast<QWidget*>(details_) : list_);
    emit stateChanged();
}

void CQUIDNEYView::updateGrid() {
    if (viewStyle_ == ID_VIEW_LARGEICON) {
        // Two lines of text under each icon.
        const int line = list_->fontMetrics().height();
        list_->setGridSize(QSize(120, 32 + 2 * line + 14));
        return;
    }
    // Every cell as wide as the widest name (within reason), so that no name is cut short and
    // the cells need not be measured one by one: a list of 100,000 names lays out at once.
    // Measuring text is slow, so only the names longest in bytes are measured.
    constexpr std::size_t kMeasured = 64;
    std::vector<std::pair<std::size_t, int>> longest;
    longest.reserve(static_cast<std::size_t>(model_.itemCount()));
    for (int r = 0; r < model_.itemCount(); ++r) longest.emplace_back(model_.itemAt(r).name.size(), r);
    const std::size_t measured = std::min(kMeasured, longest.size());
    std::partial_sort(longest.begin(), longest.begin() + static_cast<std::ptrdiff_t>(measured), longest.end(),
                      [](const auto& a, const auto& b) { return a.first > b.first; });
    const QFontMetrics metrics = list_->fontMetrics();
    int widest = 0;
    for (std::size_t i = 0; i < measured; ++i)
        widest = std::max(widest, metrics.horizontalAdvance(model_.shownName(longest[i].second)));
    const int width = std::clamp(widest + list_->iconSize().width() + 16, 120, 420);
    list_->setGridSize(QSize(width, std::max(metrics.height(), list_->iconSize().height()) + 6));
}

void CQUIDNEYView::setSortKey(int key) {
    sortKey_ = key;
    model_.setSort(sortKey_, sortOrder_);
    fill();
}

void CQUIDNEYView::headerClicked(int column) {
    sortOrder_ = sortOrder_ == 1 ? 2 : 1;
    sortKey_ = column;
    model_.setSort(sortKey_, sortOrder_);
    details_->header()->setSortIndicatorShown(true);
    details_->header()->setSortIndicator(column, sortOrder_ == 1 ? Qt::AscendingOrder : Qt::DescendingOrder);
    fill();
}

std::optional<ItemList> CQUIDNEYView::listInBackground(const FileItem& item, const FileItem& parent) {
    std::optional<ItemList> result;
    runJob(window(), text(uitext::kReadingDirectory), qs(item.name),
           [&](JobObserver& observer) { result = doc_.listItem(item, parent, &observer); });
    return result;
}

void CQUIDNEYView::enterRow(int row) {
    if (row < 0 || row >= model_.itemCount()) return;
    const FileItem item = model_.itemAt(row);
    if (!item.isDirectory()) return;
    if (item.name == "..") {
        parentDirectory();
        return;
    }
    const bool self = item.name == ".";
    // The directory that lists the entered one: its ".." on NTFS.
    const FileItem parent = self && dirStack_.size() >= 2 ? dirStack_[dirStack_.size() - 2] : dirStack_.back();
    if (!self) dirStack_.push_back(item);
    std::optional<ItemList> entries = listInBackground(item, parent);
    if (!entries) {
        if (!self) dirStack_.pop_back();
        doc_.prompts().showMessage(0, formatText(diag::kCantChangeDir, item.name));
        return;
    }
    if (!self) {
        ++dirDepth_;
        addHistory(model_.shownName(row));
    }
    showItems(*entries);
    emit stateChanged();
}

void CQUIDNEYView::parentDirectory() {
    if (dirDepth_ <= 0) {
        // Up from the results of a search: the list they were found from.
        findResults_.reset();
        rebuildRoot();
        return;
    }
    if (dirDepth_ == 1) {
        const FileItem left = dirStack_.back();
        rebuildRoot();
        selectItem(left);
        return;
    }
    const FileItem popped = dirStack_.back();
    dirStack_.pop_back();
    const FileItem parent = dirStack_.back();
    std::optional<ItemList> entries = listInBackground(parent, dirStack_[dirStack_.size() - 2]);
    if (!entries) {
        dirStack_.push_back(popped);
        doc_.prompts().showMessage(0, formatText(diag::kCantChangeToParentDir, parent.firstCluster()));
        return;
    }
    --dirDepth_;
    if (history_) {
        updatingHistory_ = true;
        history_->removeItem(history_->count() - 1);
        history_->setCurrentIndex(history_->count() - 1);
        updatingHistory_ = false;
    }
    showItems(*entries);
    selectItem(popped);
    emit stateChanged();
}

void CQUIDNEYView::selectItem(const FileItem& item) {
    for (int r = 0; r < model_.itemCount(); ++r) {
        const FileItem& row = model_.itemAt(r);
        if (row.isDotName() || row.cluster != item.cluster || row.record != item.record || row.name != item.name) continue;
        const QModelIndex index = model_.index(r, 0);
        list_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        currentView()->scrollTo(index);
        return;
    }
}

void CQUIDNEYView::historySelected(int row) {
    if (updatingHistory_ || row < 0) return;
    if (row >= static_cast<int>(dirStack_.size()) || (row == 0 && dirDepth_ == 0)) return;
    if (row == 0) {
        rebuildRoot();
        return;
    }
    const FileItem target = dirStack_[static_cast<std::size_t>(row)];
    std::optional<ItemList> entries = listInBackground(target, dirStack_[static_cast<std::size_t>(row) - 1]);
    if (!entries) {
        doc_.prompts().showMessage(0, formatText(diag::kCantChangeToParentDir, target.firstCluster()));
        selectHistoryRow(dirDepth_);
        return;
    }
    dirStack_.resize(static_cast<std::size_t>(row) + 1);
    dirDepth_ = row;
    if (history_) {
        updatingHistory_ = true;
        while (history_->count() > row + 1) history_->removeItem(history_->count() - 1);
        updatingHistory_ = false;
    }
    selectHistoryRow(row);
    showItems(*entries);
    emit stateChanged();
}

void CQUIDNEYView::resetHistory() {
    if (!history_) return;
    updatingHistory_ = true;
    history_->clear();
    updatingHistory_ = false;
}

void CQUIDNEYView::addHistory(const QString& name) {
    if (!history_) return;
    updatingHistory_ = true;
    history_->addItem(history_->count() == 0 ? itemIcon(140) : itemIcon(142), name);
    history_->setCurrentIndex(history_->count() - 1);
    updatingHistory_ = false;
}

void CQUIDNEYView::selectHistoryRow(int row) {
    if (!history_) return;
    updatingHistory_ = true;
    history_->setCurrentIndex(row);
    updatingHistory_ = false;
}

QList<int> CQUIDNEYView::selectedRows() const {
    // Column 0 stands for its row: the list styles select only that column, details the row.
    // Ranges, not indexes: a selection of 100,000 rows is a handful of ranges.
    QList<int> rows;
    for (const QItemSelectionRange& range : list_->selectionModel()->selection()) {
        if (range.left() != 0) continue;
        for (int r = range.top(); r <= range.bottom(); ++r)
            if (!model_.isDotRow(r)) rows << r;
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

int CQUIDNEYView::firstSelectedRow() const {
    int first = -1;
    for (const QItemSelectionRange& range : list_->selectionModel()->selection())
        if (range.left() == 0 && (first < 0 || range.top() < first)) first = range.top();
    return first;
}

int CQUIDNEYView::focusedRow() const {
    const QModelIndex i = list_->selectionModel()->currentIndex();
    return i.isValid() ? i.row() : -1;
}

QItemSelection CQUIDNEYView::rowsWhere(const std::function<bool(int)>& pick) const {
    // Runs of rows make one range each: selecting 100,000 rows stays quick.
    QItemSelection selection;
    const int last = FileListModel::ColumnCount - 1;
    for (int r = 0; r < model_.itemCount();) {
        if (!pick(r)) {
            ++r;
            continue;
        }
        int end = r;
        while (end + 1 < model_.itemCount() && pick(end + 1)) ++end;
        selection.select(model_.index(r, 0), model_.index(end, last));
        r = end + 1;
    }
    return selection;
}

void CQUIDNEYView::selectAll() {
    list_->selectionModel()->select(rowsWhere([&](int r) { return !model_.isDotRow(r); }),
                                    QItemSelectionModel::ClearAndSelect);
    if (model_.itemCount() > 0)
        list_->selectionModel()->setCurrentIndex(model_.index(model_.itemCount() - 1, 0), QItemSelectionModel::NoUpdate);
}

void CQUIDNEYView::selectDeleted() {
    if (!doc_.isFat()) {
        // A file record no longer in use is a deleted file.
        list_->selectionModel()->select(rowsWhere([&](int r) {
                                            const FileItem& item = model_.itemAt(r);
                                            return item.deleted && !item.isDirectory() && !item.isDotName();
                                        }),
                                        QItemSelectionModel::Select);
        return;
    }
    const std::shared_ptr<const FatTable> shared = doc_.drive().sharedFat();
    const FatTable& fat = *shared;
    list_->selectionModel()->select(rowsWhere([&](int r) {
                                        const FileItem& item = model_.itemAt(r);
                                        if (item.kind != ITEM_FILE || !fat.usable(item.firstCluster())) return false;
                                        for (int copy = 0; copy < fat.copies(); ++copy)
                                            if (fat.firstClusterFree(copy, item.firstCluster())) return true;
                                        return false;
                                    }),
                                    QItemSelectionModel::Select);
}

void CQUIDNEYView::selectUnsaved() {
    list_->selectionModel()->select(rowsWhere([&](int r) { return model_.itemAt(r).kind == ITEM_FILE; }),
                                    QItemSelectionModel::Select);
}

void CQUIDNEYView::invertSelection() {
    QItemSelectionModel* selection = list_->selectionModel();
    selection->select(rowsWhere([&](int r) { return !model_.isDotRow(r); }), QItemSelectionModel::Toggle);
    selection->select(rowsWhere([&](int r) { return model_.isDotRow(r); }), QItemSelectionModel::Deselect);
}

void CQUIDNEYView::renameFocused() {
    const int row = focusedRow();
    if (row < 0) return;
    editing_ = true;
    currentView()->edit(model_.index(row, 0));
}

// The name a found directory is given in a row is the document's from now on: every list shows it.
void CQUIDNEYView::onRenamed(int row) {
    const FileItem& item = model_.itemAt(row);
    if (FileItem* found = doc_.isFat() ? doc_.findFoundItem(item.cluster) : nullptr; found && !item.isDotName()) {
        found->name = item.name;
        if (found->kind == ITEM_LOSTDIR) found->kind = ITEM_RENAMEDDIR;
    }
    emit stateChanged();
}

std::optional<FatIndex> CQUIDNEYView::chooseFatFor(const FileItem& item) {
    const std::shared_ptr<const FatTable> fat = doc_.drive().sharedFat();
    if (fat->copies() == 0) return kNoFat;
    return runSaveWithFat(window(), *fat, item);
}

SaveSummary CQUIDNEYView::saveRows(const QList<int>& rows, SaveOptions options, SaveObserver* itemObserver,
                                   SaveProgress* progress) {
    std::vector<FileItem> items;
    for (int r : rows) items.push_back(model_.itemAt(r));
    SaveSummary summary;
    std::vector<FileItem> savedFiles;
    runJob(
        window(), text(kSaveCaption), text(kSaving),
        [&](JobObserver& job) {
            SaveInJob observer(job, {itemObserver, progress}, &savedFiles);
            summary = runSave(doc_, items, options, observer);
        },
        progress);
    // What was saved is marked here, on this thread: in the rows, in the marks every list shows
    // (the files in saved folders too), and in the document's own record where a list of the
    // document is shown whole (every file found on NTFS).
    for (const FileItem& file : savedFiles) saved_.insert(savedKey(file));
    for (std::size_t i : summary.savedItems) {
        const int row = rows[static_cast<qsizetype>(i)];
        model_.markSaved(row);
        if (showsAllFiles())
            for (FileItem& found : doc_.ntfsFileList)
                if (found.cluster == items[i].cluster && found.stream == items[i].stream) found.kind = ITEM_SAVEDFILE;
    }
    // An answer "for all" stands for later runs too.
    if (summary.started) saveFat_ = summary.fat;
    return summary;
}

void CQUIDNEYView::openAction(int row) {
    if (row < 0 || row >= model_.itemCount()) return;
    if (model_.itemAt(row).isDirectory()) {
        enterRow(row);
        return;
    }
    const FileItem activated = model_.itemAt(row);
    const std::optional<FatIndex> fat = chooseFatFor(activated);
    if (!fat) return;
    saveFat_ = *fat;
    QString folder = qEnvironmentVariable("TMP");
    if (folder.isEmpty()) {
        const std::optional<QString> own = openActionFolder();
        if (!own) {
            const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
            const std::string refused = ss(runtime.isEmpty() ? QDir::tempPath() : runtime + QStringLiteral("/harrow"));
            doc_.prompts().showMessage(msg::kCannotCreate, formatMessage(msg::kCannotCreate, refused));
            return;
        }
        folder = *own;
    } else if (!QDir().mkpath(folder)) {
        doc_.prompts().showMessage(msg::kCannotCreate, formatMessage(msg::kCannotCreate, ss(folder)));
        return;
    }
    QList<int> rows = selectedRows();
    if (rows.isEmpty()) rows << row;
    SaveOptions options{ss(folder), ReplaceAnswer::YesToAll, false};
    options.fat = saveFat_;
    // Where the activated file was written: a name that cannot be a file name is saved under
    // another.
    struct Opened : SaveObserver {
        void itemDone(const FileItem& item, const std::string& targetPath, SaveStatus status) override {
            if (status == SaveStatus::Saved && item.cluster == wanted.cluster && item.name == wanted.name && path.empty())
                path = targetPath;
        }
        FileItem wanted;
        std::string path;
    } opened;
    opened.wanted = activated;
    saveRows(rows, options, &opened);
    updateStatus();
    if (!opened.path.empty()) QDesktopServices::openUrl(QUrl::fromLocalFile(qs(opened.path)));
}

void CQUIDNEYView::viewHex() {
    const int row = firstSelectedRow();
    if (row < 0) return;
    const FileItem item = model_.itemAt(row);
    const std::optional<FatIndex> fat = chooseFatFor(item);
    if (!fat) return;
    saveFat_ = *fat;
    showHexViewer(window(), doc_, item, *fat);
}

void CQUIDNEYView::viewText() {
    const int row = firstSelectedRow();
    if (row < 0) return;
    const FileItem item = model_.itemAt(row);
    const std::optional<FatIndex> fat = chooseFatFor(item);
    if (!fat) return;
    saveFat_ = *fat;
    showTextViewer(window(), doc_, item, *fat);
}

void CQUIDNEYView::chooseDirFat() {
    const std::shared_ptr<const FatTable> fat = doc_.drive().sharedFat();
    if (fat->copies() == 0) return;
    const std::optional<FatIndex> choice = runDirFat(window(), *fat, doc_.options.dirFat);
    if (!choice) return;
    doc_.options.dirFat = *choice;
    reload();
}

void CQUIDNEYView::preferences() {
    if (runPreferences(window(), doc_)) reload();
}

void CQUIDNEYView::reload() {
    if (!driveOpen()) return;
    if (dirDepth_ > 0) {
        applyListModeRule();
        if (model_.itemCount() > 0 && model_.itemAt(0).name == ".") {
            enterRow(0);
            return;
        }
        // Without a "." row (an NTFS directory), list the directory on top of the stack again.
        std::optional<ItemList> entries = listInBackground(dirStack_.back(), dirStack_[dirStack_.size() - 2]);
        if (entries) showItems(*entries);
        return;
    }
    model_.clear();
    applyListModeRule();
    rebuildRoot();
}

bool CQUIDNEYView::canSave() const {
    for (const QItemSelectionRange& range : list_->selectionModel()->selection()) {
        if (range.left() != 0) continue;
        for (int r = range.top(); r <= range.bottom(); ++r)
            if (!model_.isDotRow(r)) return true;
    }
    return false;
}

void CQUIDNEYView::save() {
    const QList<int> rows = selectedRows();
    if (rows.isEmpty()) return;
    CSaveTargetDlg target(lastTargetFolder_, doc_.drive().sharedFat()->copies(), window());
    if (target.exec() != QDialog::Accepted) return;
    const QString folder = target.folder();
    lastTargetFolder_ = folder;
    // Judged where the folder is or would be made: making it on the source would write there.
    QString existing = folder;
    while (!QFileInfo::exists(existing) && existing != QFileInfo(existing).path()) existing = QFileInfo(existing).path();
    if (targetOnSource(doc_, ss(existing))) {
        doc_.prompts().showMessage(msg::kCannotSaveOnSource, messageText(msg::kCannotSaveOnSource));
        return;
    }
    if (!QDir().mkpath(folder)) {
        doc_.prompts().showMessage(msg::kCannotCreate, formatMessage(msg::kCannotCreate, ss(folder)));
        return;
    }
    // Selected directories bring their contents along, as harrow-cli save -r does.
    SaveOptions options{ss(folder), ReplaceAnswer::Yes, true};
    options.fat = target.fat();
    std::vector<FileItem> items;
    for (int r : rows) items.push_back(model_.itemAt(r));
    SaveProgress progress(items);
    const SaveSummary summary = saveRows(rows, options, nullptr, &progress);
    updateStatus();
    std::uint64_t bytes = 0;
    int files = 0;
    for (std::size_t i : summary.savedItems)
        if (i < items.size() && !items[i].isDirectory()) {
            bytes += items[i].size;
            ++files;
        }
    if (files > 0) emit filesSaved(files, bytes, folder);
    // A window closed during the run closes now: it shows nothing more.
    if (!summary.started || jobs::closePending(window())) return;
    CSaveSummaryDlg done(summary, progress.failedNames(), window());
    done.exec();
}

QString CQUIDNEYView::selectionText() const {
    std::uint64_t bytes = 0;
    const QList<int> rows = selectedRows();
    for (int r : rows) bytes += model_.itemAt(r).size;
    const QString count = rows.size() == 1 ? message(msg::kOneFileSelected)
                                           : message(msg::kSelectedFiles, static_cast<int>(rows.size()));
    return QStringLiteral("%1 (%2)").arg(count, sizeText(bytes));
}

QString CQUIDNEYView::totalText() const {
    std::uint64_t bytes = 0;
    for (int r = 0; r < model_.itemCount(); ++r) bytes += model_.itemAt(r).size;
    // A directory's own "." and ".." are not counted; the orphan entries have none.
    int count = 0;
    for (int r = 0; r < model_.itemCount(); ++r)
        if (dirDepth_ == 0 || !model_.itemAt(r).isDotName()) ++count;
    QString total = QStringLiteral("%1 (%2)").arg(message(msg::kTotalFiles, count), sizeText(bytes));
    // The lists the scan fills; the basic root is read whole from the file system.
    if (scanPartial_ && doc_.options.listMode != ID_LIST_BASICROOT)
        total += QStringLiteral(" - ") + text(kPartialScan);
    return total;
}

void CQUIDNEYView::updateStatus() {
    const bool open = driveOpen();
    if (selectionPane_) selectionPane_->setText(open ? selectionText() : QString());
    if (totalPane_) totalPane_->setText(open ? totalText() : QString());
}

void CQUIDNEYView::showContextMenu(const QPoint& pos) {
    QAbstractItemView* view = currentView();
    const QModelIndex index = view->indexAt(pos);
    QMenu menu(this);
    if (index.isValid()) {
        const int row = index.row();
        if (!list_->selectionModel()->isSelected(model_.index(row, 0)))
            list_->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        list_->selectionModel()->setCurrentIndex(model_.index(row, 0), QItemSelectionModel::NoUpdate);
        menu.addAction(text(kOpen), this, [this, row] { openAction(row); });
        if (canSave()) menu.addAction(text(uitext::kSave), this, &CQUIDNEYView::save);
        // Directories and empty files have nothing to show.
        if (model_.itemAt(row).size > 0) {
            menu.addAction(itemIcon(147), text(uitext::kViewHex), this, &CQUIDNEYView::viewHex);
            menu.addAction(text(uitext::kViewText), this, &CQUIDNEYView::viewText);
        }
        if (model_.flags(model_.index(row, 0)) & Qt::ItemIsEditable)
            menu.addAction(text(uitext::kRename), this, &CQUIDNEYView::renameFocused);
        menu.addSeparator();
        menu.addAction(text(kProperties), this, [this, row] { showProperties(row); });
    } else {
        if (stylesMenu_) menu.addMenu(stylesMenu_);
        if (sortMenu_) menu.addMenu(sortMenu_);
        menu.addSeparator();
        if (preferencesAction_) menu.addAction(preferencesAction_);
    }
    menu.exec(view->viewport()->mapToGlobal(pos));
}

void CQUIDNEYView::showProperties(int row) {
    if (row < 0 || row >= model_.itemCount()) return;
    QStringList lines;
    for (int c = 0; c < FileListModel::ColumnCount; ++c)
        if (!details_->isColumnHidden(c))
            lines << QStringLiteral("%1: %2").arg(model_.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString(),
                                             model_.data(model_.index(row, c), Qt::DisplayRole).toString());
    QString caption = text(kProperties);
    caption.remove(QRegularExpression(QStringLiteral("\\(&.\\)|&")));
    QMessageBox box(QMessageBox::Information, caption, lines.join(QLatin1Char('\n')),
                    QMessageBox::Ok, window());
    box.exec();
}

bool CQUIDNEYView::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && (watched == list_ || watched == details_)) {
        auto* key = static_cast<QKeyEvent*>(event);
        // The Enter that ends a label edit reaches the view too (the edit is committed after it):
        // it must not open the row.
        if (!editing_ && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && driveOpen()) {
            openAction(firstSelectedRow() >= 0 ? firstSelectedRow() : focusedRow());
            return true;
        }
        if (!editing_ && key->key() == Qt::Key_Backspace && dirDepth_ > 0) {
            parentDirectory();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace harrow::gui
