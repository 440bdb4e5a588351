#include "ui/main_frame.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QUrl>
#include <QRegularExpression>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>

#include "ui/gui_icons.h"
#include "ui/gui_text.h"
#include "ui/scan/skip_ranges_dlg.h"
#include "ui/about_dlg.h"
#include "ui/job.h"
#include "ui/drive_info_dlg.h"
#include "ui/drive_select_dlg.h"
#include "ui/partition_select_dlg.h"
#include "ui/qt_prompts.h"
#include "ui/save_clusters_dlg.h"
#include "ui/connect_dlg.h"
#include "ui/filter_bar.h"
#include "document/find_items.h"
#include "volume/drive_table.h"
#include "volume/image_source.h"

namespace harrow::gui {
namespace {

constexpr UiText kOpening{"正在打开驱动器", "Opening the drive"};
constexpr UiText kImageFilter{"磁盘镜像 (*.img *.dd *.raw *.bin *.ima *.vfd *.dsk);;所有文件 (*)",
                              "Disk images (*.img *.dd *.raw *.bin *.ima *.vfd *.dsk);;All files (*)"};
constexpr UiText kFileDriveCaption{"打开文件驱动器", "Open file drive"};
constexpr UiText kDskFilter{"镜像文件 (*.dsk)", "Image files (*.dsk)"};
constexpr UiText kOpenImageCaption{"打开镜像文件", "Open image file"};

constexpr UiText kConnecting{"正在连接", "Connecting"};
constexpr UiText kSavedOne{"已保存 1 个文件 (%1) 到 %2", "Saved 1 file (%1) to %2"};
constexpr UiText kSavedMany{"已保存 %1 个文件 (%2) 到 %3", "Saved %1 files (%2) to %3"};
constexpr UiText kSearchDisk{"搜索磁盘(&S)...", "&Search disk..."};
constexpr UiText kFindOnVolume{"在卷上查找(&F)...", "&Find on volume..."};
constexpr UiText kFilterRows{"筛选列表(&L)", "Fi&lter the list"};
constexpr UiText kFinding{"正在查找", "Finding"};
constexpr UiText kOpenFolder{"打开文件夹", "Open folder"};
constexpr UiText kStopAndQuit{"仍有工作在进行。停止它并退出吗?", "Harrow is still working. Stop the work and quit?"};

// Whether this machine can make the sockets remote drives need.
bool socketsWork() {
    return UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)).valid();
}

}  // namespace

CMainFrame::CMainFrame(CQUIDNEYDoc& doc, Prompts& prompts, remote::RemoteSources* remote)
    : doc_(doc), prompts_(prompts), remote_(remote), socketsAvailable_(socketsWork()), view_(new CQUIDNEYView(doc, this)) {
    setWindowIcon(appIcon());
    setWindowTitle(message(msg::kTitle));
    buildMenus();
    start_ = new StartPage(action(ID_FILE_OPEN), action(ID_OPEN_RAW_IMAGE), action(ID_OPEN_NETWORK_DRIVE), this);
    start_->setRecent(recentSources());
    connect(start_, &StartPage::openRecent, this, [this](const QString& source) {
        openSource(source);
        updateActions();
    });
    pages_ = new QStackedWidget(this);
    pages_->addWidget(start_);
    pages_->addWidget(view_);
    setCentralWidget(pages_);
    buildToolBar();
    buildStatusBar();
    view_->attachFrame(history_, panes_[1], panes_[2]);
    connect(view_, &CQUIDNEYView::captionChanged, this, [this](const QString& c) { setWindowTitle(captionFor(c)); });
    connect(view_, &CQUIDNEYView::stateChanged, this, &CMainFrame::updateActions);
    resize(960, 640);
    remoteWatch_ = new QTimer(this);
    connect(remoteWatch_, &QTimer::timeout, this, &CMainFrame::updateActions);
    updateActions();
}

QAction* CMainFrame::makeAction(int id, const UiText& label, const std::function<void()>& run, const QKeySequence& key,
                                bool checkable) {
    auto* a = new QAction(text(label), this);
    a->setData(id);
    if (!key.isEmpty()) a->setShortcut(key);
    a->setCheckable(checkable);
    QString tip = text(label);
    tip.remove(QRegularExpression(QStringLiteral("\\(&.\\)|&")));
    a->setStatusTip(tip);
    if (tip.endsWith(QLatin1String("..."))) tip.chop(3);
    // A toolbar button says what it does and the key that does the same.
    if (!a->shortcut().isEmpty())
        tip += QStringLiteral(" (%1)").arg(a->shortcut().toString(QKeySequence::NativeText));
    a->setToolTip(tip);
    connect(a, &QAction::triggered, this, [this, run] {
        run();
        updateActions();
    });
    actions_.insert(id, a);
    return a;
}

void CMainFrame::buildMenus() {
    CQUIDNEYView& v = *view_;
    QMenu* file = menuBar()->addMenu(text(uitext::kFileMenu));
    file->addAction(makeAction(ID_FILE_OPEN, uitext::kOpenDrive, [this] { openDriveCommand(); }, QKeySequence::Open));
    file->addAction(makeAction(ID_OPEN_FILE_DRIVE, uitext::kOpenFileDrive, [this] { openFileDriveCommand(); }));
    file->addAction(makeAction(ID_OPEN_RAW_IMAGE, uitext::kOpenImage, [this] { openRawImageCommand(); }));
    file->addAction(makeAction(ID_OPEN_NETWORK_DRIVE, uitext::kOpenNetworkDrive, [this] { openNetworkDriveCommand(); }));
    file->addSeparator();
    file->addAction(makeAction(ID_FILE_SAVE, uitext::kSave, [&v] { v.save(); }, QKeySequence::Save));
    file->addAction(makeAction(ID_SAVE_CLUSTERS, uitext::kSaveClusters, [this] { saveClustersCommand(); }));
    file->addSeparator();
    file->addAction(makeAction(ID_DRIVE_INFO, uitext::kDriveInformation, [this] { driveInfoCommand(); }));
    file->addSeparator();
    file->addAction(makeAction(ID_APP_EXIT, uitext::kExit, [this] { close(); }, QKeySequence::Quit));
    // Ctrl+Q also while the menus are off (a scan runs).
    addAction(action(ID_APP_EXIT));

    QMenu* edit = menuBar()->addMenu(text(uitext::kEditMenu));
    edit->addAction(makeAction(ID_SELECT_ALL, uitext::kSelectAll, [&v] { v.selectAll(); }, QKeySequence::SelectAll));
    edit->addAction(makeAction(ID_SELECT_DELETED, uitext::kSelectDeleted, [&v] { v.selectDeleted(); }));
    edit->addAction(makeAction(ID_SELECT_UNSAVED, uitext::kSelectUnsaved, [&v] { v.selectUnsaved(); }));
    edit->addAction(makeAction(ID_INVERT_SELECTION, uitext::kInvertSelection, [&v] { v.invertSelection(); }));
    edit->addSeparator();
    edit->addAction(makeAction(ID_RENAME, uitext::kRename, [&v] { v.renameFocused(); }, Qt::Key_F2));
    edit->addSeparator();
    edit->addAction(makeAction(ID_FILTER, kFilterRows, [&v] {
        v.filterBar()->edit()->setFocus();
        v.filterBar()->edit()->selectAll();
    }, QKeySequence::Find));

    QMenu* viewMenu = menuBar()->addMenu(text(uitext::kViewMenu));
    QAction* toolbar = makeAction(ID_VIEW_TOOLBAR, uitext::kToolbar, [this] { toolBar_->setVisible(!toolBar_->isVisible()); }, {}, true);
    QAction* status = makeAction(ID_VIEW_STATUS_BAR, uitext::kStatusBar, [this] { statusBar()->setVisible(!statusBar()->isVisible()); }, {}, true);
    viewMenu->addAction(toolbar);
    viewMenu->addAction(status);
    viewMenu->addSeparator();
    auto* styles = new QActionGroup(this);
    const std::pair<int, UiText> styleItems[] = {{ID_VIEW_LARGEICON, uitext::kLargeIcons},
                                                 {ID_VIEW_SMALLICON, uitext::kSmallIcons},
                                                 {ID_VIEW_LIST, uitext::kListStyle},
                                                 {ID_VIEW_DETAILS, uitext::kDetails}};
    for (const auto& [id, label] : styleItems) {
        QAction* a = makeAction(id, label, [&v, id = id] { v.setViewStyle(id); }, {}, true);
        a->setIcon(commandIcon(id));
        styles->addAction(a);
        viewMenu->addAction(a);
    }
    QMenu* sort = viewMenu->addMenu(text(uitext::kArrangeIcons));
    const std::pair<int, UiText> sortItems[] = {{ID_SORT_NAME, uitext::kSortByName},
                                                {ID_SORT_DATE, uitext::kSortByDate},
                                                {ID_SORT_CLUSTER, uitext::kSortByCluster},
                                                {ID_SORT_SIZE, uitext::kSortBySize}};
    for (const auto& [id, label] : sortItems)
        sort->addAction(makeAction(id, label, [&v, key = id - ID_SORT_NAME] { v.setSortKey(key); }));
    viewMenu->addSeparator();
    QAction* parent = makeAction(ID_PARENT_DIR, uitext::kParentDirectory, [&v] { v.parentDirectory(); }, Qt::ALT | Qt::Key_Up);
    parent->setIcon(commandIcon(ID_PARENT_DIR));
    viewMenu->addAction(parent);
    viewMenu->addSeparator();
    QAction* prefs = makeAction(ID_PREFERENCES, uitext::kPreferences, [&v] { v.preferences(); });
    prefs->setIcon(commandIcon(ID_PREFERENCES));
    viewMenu->addAction(prefs);
    // Right-clicking the list off its rows offers the same commands.
    auto* stylesMenu = new QMenu(text(uitext::kViewMenu), this);
    stylesMenu->addActions(styles->actions());
    v.setBackgroundMenus(stylesMenu, sort, prefs);

    QMenu* lists = menuBar()->addMenu(text(uitext::kListMenu));
    auto* modes = new QActionGroup(this);
    const std::pair<ListMode, UiText> modeItems[] = {{ID_LIST_BASICROOT, uitext::kModeBasicRoot},
                                                     {ID_LIST_SEARCHROOT, uitext::kModeSearchRoot},
                                                     {ID_LIST_LOSTDIRS, uitext::kModeLostDirs},
                                                     {ID_LIST_ALLDIRS, uitext::kModeAllDirs},
                                                     {ID_LIST_ALLFILES, uitext::kModeAllFiles}};
    for (const auto& [mode, label] : modeItems) {
        QAction* a = makeAction(mode, label, [&v, mode = mode] { v.setListMode(mode); }, {}, true);
        a->setIcon(commandIcon(mode));
        modes->addAction(a);
        lists->addAction(a);
    }

    QMenu* tools = menuBar()->addMenu(text(uitext::kToolsMenu));
    tools->addAction(makeAction(ID_VIEW_HEX, uitext::kViewHex, [&v] { v.viewHex(); }));
    tools->addAction(makeAction(ID_VIEW_TEXT, uitext::kViewText, [&v] { v.viewText(); }));
    tools->addSeparator();
    tools->addAction(makeAction(ID_DIR_FAT, uitext::kDirFat, [&v] { v.chooseDirFat(); }));
    tools->addSeparator();
    tools->addAction(makeAction(ID_SEARCH_DISK, kSearchDisk, [this] { searchDiskCommand(); }));
    tools->addAction(makeAction(ID_FIND_ON_VOLUME, kFindOnVolume, [this] { findOnVolumeCommand(); },
                                QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F)));

    QMenu* help = menuBar()->addMenu(text(uitext::kHelpMenu));
    QAction* finder = makeAction(ID_HELP_FINDER, uitext::kHelpContents, [this] { helpCommand(); }, QKeySequence::HelpContents);
    finder->setIcon(commandIcon(ID_HELP_FINDER));
    help->addAction(finder);
    help->addSeparator();
    QAction* about = makeAction(ID_APP_ABOUT, uitext::kAbout, [this] { aboutCommand(); });
    about->setIcon(commandIcon(ID_APP_ABOUT));
    help->addAction(about);

    action(ID_FILE_OPEN)->setIcon(commandIcon(ID_FILE_OPEN));
    action(ID_FILE_SAVE)->setIcon(commandIcon(ID_FILE_SAVE));
}

void CMainFrame::buildToolBar() {
    toolBar_ = addToolBar(text(uitext::kToolbar));
    toolBar_->setObjectName(QStringLiteral("toolbar"));
    toolBar_->setIconSize(QSize(24, 24));
    toolBar_->setMovable(true);
    // The buttons in their order; 0 is a separator.
    static constexpr int kButtons[] = {ID_FILE_OPEN, ID_FILE_SAVE, 0, ID_PREFERENCES, 0, ID_LIST_BASICROOT,
                                       ID_LIST_SEARCHROOT, ID_LIST_LOSTDIRS, ID_LIST_ALLDIRS, ID_LIST_ALLFILES, 0,
                                       ID_VIEW_LARGEICON, ID_VIEW_SMALLICON, ID_VIEW_LIST, ID_VIEW_DETAILS, 0,
                                       ID_HISTORY, 0, ID_PARENT_DIR, 0, ID_APP_ABOUT, ID_HELP_FINDER};
    for (int id : kButtons) {
        if (id == 0) {
            toolBar_->addSeparator();
        } else if (id == ID_HISTORY) {
            history_ = new QComboBox(toolBar_);
            history_->setObjectName(QStringLiteral("history"));
            history_->setMinimumWidth(200);
            history_->setMaxVisibleItems(12);
            history_->setToolTip(text(uitext::kHistory));
            toolBar_->addWidget(history_);
        } else {
            toolBar_->addAction(action(id));
        }
    }
}

void CMainFrame::buildStatusBar() {
    QStatusBar* bar = statusBar();
    for (int i = 0; i < 3; ++i) {
        panes_[i] = new QLabel(this);
        panes_[i]->setObjectName(QStringLiteral("pane%1").arg(i));
        bar->addWidget(panes_[i], i == 0 ? 2 : 1);
    }
    // What the last save wrote, until another drive opens.
    savedNote_ = new QLabel(this);
    savedNote_->setObjectName(QStringLiteral("savedNote"));
    openSavedFolder_ = new QPushButton(text(kOpenFolder), this);
    openSavedFolder_->setObjectName(QStringLiteral("openSavedFolder"));
    openSavedFolder_->setFlat(true);
    bar->addPermanentWidget(savedNote_);
    bar->addPermanentWidget(openSavedFolder_);
    savedNote_->hide();
    openSavedFolder_->hide();
    connect(openSavedFolder_, &QPushButton::clicked, this,
            [this] { QDesktopServices::openUrl(QUrl::fromLocalFile(savedFolder_)); });
    connect(view_, &CQUIDNEYView::filesSaved, this, [this](int count, quint64 bytes, const QString& folder) {
        savedFolder_ = folder;
        const QString size = sizeText(bytes);
        savedNote_->setText(count == 1 ? text(kSavedOne).arg(size, folder)
                                       : text(kSavedMany).arg(QString::number(count), size, folder));
        savedNote_->show();
        openSavedFolder_->show();
    });
    panes_[0]->setText(text(uitext::kReady));
    // Menu help goes to pane 0, as the frame's messages do.
    connect(bar, &QStatusBar::messageChanged, this, [this](const QString& m) {
        panes_[0]->setText(m.isEmpty() ? text(uitext::kReady) : m);
    });
}

void CMainFrame::updateActions() {
    dropLostRemoteDrive();
    const bool open = view_->driveOpen();
    const bool searched = doc_.options.searchDisk;
    const bool ntfs = open && view_->showsNtfs();
    auto enable = [&](int id, bool on) {
        if (QAction* a = action(id)) a->setEnabled(on);
    };
    enable(ID_FILE_SAVE, open && view_->canSave());  // a file, or a directory other than "." and ".."
    enable(ID_LIST_BASICROOT, searched);
    for (int id : {ID_LIST_SEARCHROOT, ID_LIST_LOSTDIRS, ID_LIST_ALLDIRS}) enable(id, searched && open && !ntfs);
    enable(ID_LIST_ALLFILES, searched && open && ntfs);
    for (int id : {ID_SELECT_ALL, ID_SELECT_UNSAVED, ID_INVERT_SELECTION, ID_DRIVE_INFO}) enable(id, open);
    enable(ID_SELECT_DELETED, open);
    enable(ID_RENAME, open && view_->focusedRow() >= 0);
    enable(ID_PARENT_DIR, view_->dirDepth() > 0 || view_->showsFindResults());
    enable(ID_DIR_FAT, open && !ntfs);
    enable(ID_SEARCH_DISK, open);
    enable(ID_FIND_ON_VOLUME, open);
    enable(ID_FILTER, open);
    view_->filterBar()->setEnabled(open);
    const bool selected = view_->canSave();
    enable(ID_VIEW_HEX, open && selected);
    enable(ID_VIEW_TEXT, open && selected);
    history_->setEnabled(open);
    pages_->setCurrentWidget(open ? static_cast<QWidget*>(view_) : start_);
    enable(ID_OPEN_NETWORK_DRIVE, remote_ && socketsAvailable_);
    if (QAction* a = action(doc_.options.listMode)) a->setChecked(true);
    if (QAction* a = action(view_->viewStyle())) a->setChecked(true);
    action(ID_VIEW_TOOLBAR)->setChecked(!toolBar_->isHidden());
    action(ID_VIEW_STATUS_BAR)->setChecked(!statusBar()->isHidden());
}

bool CMainFrame::openWith(const std::function<bool(GuiHost&)>& open) {
    view_->detach();
    savedNote_->hide();
    openSavedFolder_->hide();
    GuiHost host(this);
    bool ok = false;
    runJob(this, text(kOpening), text(uitext::kWaitAMoment), [&](JobObserver& observer) {
        host.setObserver(&observer);
        ok = open(host);
    });
    view_->setScanPartial(ok && host.scanCancelled());
    if (!ok && !doc_.drive().isOpen()) {
        // Nothing is open: the title must not name the drive that failed.
        doc_.driveKind = DriveKind::None;
        doc_.driveLetter = -1;
        doc_.rootPath.clear();
    }
    view_->refreshIfStale();
    updateActions();
    return ok;
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (!jobs::busy()) {
        QMainWindow::closeEvent(event);
        return;
    }
    event->ignore();
    if (jobs::closePending(this) || !askStopAndQuit()) return;
    jobs::closeWhenIdle(this);
}

bool CMainFrame::askStopAndQuit() {
    QMessageBox box(QMessageBox::Question, message(msg::kTitle), text(kStopAndQuit), QMessageBox::NoButton, this);
    box.setObjectName(QStringLiteral("stopAndQuit"));
    QPushButton* yes = box.addButton(text(uitext::kYes), QMessageBox::YesRole);
    box.addButton(text(uitext::kNo), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    box.exec();
    return box.clickedButton() == yes;
}

void CMainFrame::openDriveCommand() {
    const std::optional<char> letter =
        runDriveSelect(this, doc_, DriveTable::global(), [this] { runSkipRangesDialog(this, doc_); },
                       [this](const DriveEntry& e) { return offerAuthorisedOpen(this, prompts_, authorisation_, e); });
    if (!letter) return;
    if (openWith([&](GuiHost& host) { return doc_.openDrive(*letter, host); })) rememberDrive(*letter);
}

bool CMainFrame::openSource(const QString& source) {
    const std::string path = ss(source);
    if (remote::isRemoteSource(path)) {
        const auto drive = remote::parseRemoteSource(path);
        if (drive) return openRemoteSource(*drive);
        prompts_.showMessage(msg::kCannotOpenItem, formatMessage(msg::kCannotOpenItem, path), MsgIcon::Error);
        return false;
    }
    if (auto letter = letterOfRootPath(path); letter && path.size() <= 3) {
        const bool ok = openWith([&](GuiHost& host) { return doc_.openDrive(*letter, host); });
        if (ok) rememberDrive(*letter);
        return ok;
    }
    if (!QFileInfo::exists(source)) {
        prompts_.showMessage(msg::kCannotOpenItem, formatMessage(msg::kCannotOpenItem, path), MsgIcon::Error);
        return false;
    }
    const std::string absolute = ss(QFileInfo(source).absoluteFilePath());
    bool ok = false;
    if (ImageSource::isImageFile(absolute)) {
        ok = openWith([&](GuiHost& host) { return doc_.openFileDrive(absolute, host); });
    } else if (const DiskOpen disk = choosePartition(this, absolute); disk.disk) {
        ok = disk.letter && openWith([&](GuiHost& host) { return doc_.openDrive(*disk.letter, host); });
    } else if (const std::optional<char> letter = DriveTable::global().registerPath(absolute)) {
        ok = openWith([&](GuiHost& host) { return doc_.openDrive(*letter, host); });
    } else {
        prompts_.showMessage(msg::kCannotOpenDrive, messageText(msg::kCannotOpenDrive), MsgIcon::Error);
    }
    // A disk image is remembered whole: opened again, it offers its partitions again.
    if (ok) remember(qs(absolute));
    return ok;
}

void CMainFrame::remember(const QString& path) {
    rememberSource(path);
    start_->setRecent(recentSources());
}

void CMainFrame::rememberDrive(char letter) {
    if (const DriveEntry* e = DriveTable::global().find(letter); e && !e->path.empty()) remember(qs(e->path));
}

void CMainFrame::openRawImageCommand() {
    // Where the last image was, not wherever a file dialog was last used (the save target).
    const QString start = lastImageFolder_.isEmpty() ? QDir::currentPath() : lastImageFolder_;
    const QString path = QFileDialog::getOpenFileName(this, text(kOpenImageCaption), start, text(kImageFilter));
    if (path.isEmpty()) return;
    lastImageFolder_ = QFileInfo(path).absolutePath();
    openSource(path);
}

void CMainFrame::openFileDriveCommand() {
    QFileDialog dialog(this, text(kFileDriveCaption), QString(), text(kDskFilter));
    dialog.setObjectName(QStringLiteral("openFileDrive"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(QStringLiteral("dsk"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    openSource(dialog.selectedFiles().front());
}

void CMainFrame::searchDiskCommand() {
    if (!view_->driveOpen() || !runSkipRangesDialog(this, doc_)) return;
    doc_.options.searchDisk = true;
    // The open flow again on the same drive: its lists start afresh, and what was saved from
    // it stays marked.
    view_->keepSavedMarks();
    openWith([this](GuiHost& host) { return doc_.openCurrentDrive(host); });
}

namespace {

// A search in a job: what it finds becomes rows of the results list, each saying where it lies.
class FindInJob : public FindObserver {
public:
    FindInJob(JobObserver& job, std::vector<Row>& rows) : job_(job), rows_(rows) {}
    void progress(std::size_t examined) override { job_.progress(examined); }
    bool cancelled() override { return job_.stopRequested(); }
    bool found(const FileItem& item, const std::string& path, unsigned states) override {
        const std::size_t slash = path.rfind('/');
        // "/A/B" lies in "/A", "/B" in "/"; what only the scan found ("@N") lies in no folder.
        QString folder = slash == std::string::npos ? QString() : qs(slash == 0 ? std::string("/") : path.substr(0, slash));
        rows_.push_back({item, qs(item.name), std::move(folder), states ? states : unsigned{STATE_LIVE}});
        return true;
    }

private:
    JobObserver& job_;
    std::vector<Row>& rows_;
};

}  // namespace

void CMainFrame::findOnVolumeCommand() {
    if (!view_->driveOpen()) return;
    CFindDlg dialog(view_->filterBar()->fields(), doc_.isFat(), this);
    if (dialog.exec() != QDialog::Accepted) return;
    std::vector<Row> rows;
    runJob(this, text(kFinding), text(uitext::kWaitAMoment), [&](JobObserver& job) {
        FindInJob observer(job, rows);
        findItems(doc_, dialog.filter(), observer);
    });
    // What was found before a Cancel is shown too: the search went in path order.
    view_->showFindResults(std::move(rows));
    updateActions();
}

void CMainFrame::saveClustersCommand() { runSaveClusters(this, prompts_, doc_.options.skipBadClusters); }

QString CMainFrame::captionFor(QString caption) const {
    if (doc_.driveKind == DriveKind::Remote && remote_) {
        const remote::ServerEntry& server = remote_->connection().server();
        caption += QStringLiteral(" - [%1-%2]").arg(qs(server.address), qs(server.computerName));
    }
    return caption;
}

void CMainFrame::dropLostRemoteDrive() {
    if (!remote_ || doc_.driveKind != DriveKind::Remote) {
        remoteWatch_->stop();
        return;
    }
    // Not under a dialog that may still hold items of the drive (a viewer): once it has closed.
    if (remote_->connection().connected() || jobs::busy() || QApplication::activeModalWidget()) return;
    forgetRemoteDrive();
}

void CMainFrame::forgetRemoteDrive() {
    remoteWatch_->stop();
    doc_.closeDrive();
    doc_.driveKind = DriveKind::None;
    doc_.driveLetter = -1;
    doc_.rootPath.clear();
    doc_.listsStale = true;
    view_->detach();
    view_->refreshIfStale();
}

void CMainFrame::openNetworkDriveCommand() {
    if (!remote_ || !socketsAvailable_) return;
    std::string password;
    QString address;
    {
        CConnectDlg dialog(protocol_, prompts_, this);
        if (dialog.exec() != QDialog::Accepted) return;
        protocol_ = dialog.protocol();
        address = dialog.address();
        password = dialog.takePassword();
    }
    DriveTable drives;
    if (!logInToServer(address, password, &drives)) return;
    const std::optional<char> letter = runDriveSelect(this, doc_, drives, [this] { runSkipRangesDialog(this, doc_); });
    if (!letter) {
        // Cancel logs out.
        runJob(this, text(kConnecting), text(uitext::kWaitAMoment), [&](JobObserver&) { remote_->connection().disconnect(); });
        updateActions();
        return;
    }
    openRemoteDrive(address, *letter);
}

bool CMainFrame::openRemoteSource(const remote::RemoteDriveAddress& drive) {
    if (!remote_ || !socketsAvailable_) {
        prompts_.showMessage(msg::kConnectFailed, messageText(msg::kConnectFailed), MsgIcon::Error);
        return false;
    }
    const QString address = qs(drive.server.name());
    // The password as harrow-cli takes it in a terminal, else from the connect dialog.
    std::string password;
    if (const char* given = std::getenv("HARROW_PASSWORD")) {
        password = given;
    } else {
        CConnectDlg dialog(protocol_, prompts_, this);
        dialog.addressEdit()->setText(address);
        dialog.passwordEdit()->setFocus();
        if (dialog.exec() != QDialog::Accepted) return false;
        password = dialog.takePassword();
    }
    return logInToServer(address, password, nullptr) && openRemoteDrive(address, drive.letter);
}

bool CMainFrame::logInToServer(const QString& address, std::string& password, DriveTable* drives) {
    // The drive of the old connection goes with it.
    if (doc_.driveKind == DriveKind::Remote) forgetRemoteDrive();
    remote::ClientConnection& connection = remote_->connection();
    const auto server = remote::parseServerAddress(ss(address));
    bool loggedIn = false;
    runJob(this, text(kConnecting), text(uitext::kWaitAMoment), [&](JobObserver& job) {
        const auto dotted = server ? remote::dottedAddress(server->host) : std::nullopt;
        if (!dotted || !connection.connect(*dotted, server->port, protocol_)) {
            prompts_.showMessage(msg::kConnectFailed, messageText(msg::kConnectFailed), MsgIcon::Error);
            return;
        }
        loggedIn = connection.login(password);
        if (!loggedIn || !drives) return;
        // The server's drives, as the drive list shows them.
        for (char letter = 'A'; letter <= 'Z' && connection.connected() && !job.stopRequested(); ++letter) {
            const std::string root = std::string(1, letter) + ":\\";
            const auto type = static_cast<DriveType>(connection.driveType(root));
            if (type != DriveType::Removable && type != DriveType::Fixed && type != DriveType::RamDisk) continue;
            DriveEntry e;
            e.letter = letter;
            e.type = type;
            if (type != DriveType::Removable)
                if (auto v = connection.volumeInformation(root)) e.label = v->name;
            drives->set(std::move(e));
        }
    });
    std::fill(password.begin(), password.end(), '\0');
    password.clear();
    if (!loggedIn || !connection.connected()) {
        updateActions();
        return false;
    }
    return true;
}

bool CMainFrame::openRemoteDrive(const QString& address, char letter) {
    remote_->setServerName(std::string(remote::kRemoteScheme) + ss(address));
    doc_.driveKind = DriveKind::Remote;
    doc_.driveLetter = letter;
    doc_.rootPath = std::string(1, letter) + ":\\";
    const bool ok = openWith([&](GuiHost& host) { return doc_.openCurrentDrive(host); });
    remoteWatch_->start(500);
    return ok;
}

void CMainFrame::driveInfoCommand() {
    if (view_->driveOpen()) runDriveInfo(this, doc_);
}

void CMainFrame::aboutCommand() {
    runAbout(this);
}

void CMainFrame::helpCommand() { showHelp(this); }

}  // namespace harrow::gui
