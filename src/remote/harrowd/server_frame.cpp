#include "remote/harrowd/server_frame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QStyle>
#include <QTextBlock>
#include <QSystemTrayIcon>
#include <QToolBar>
#include <QVBoxLayout>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/strings.h"
#include "remote/harrowd/server_dialogs.h"
#include "remote/harrowd/server_icons.h"
#include "remote/harrowd/window_start.h"
#include "volume/source_factory.h"

namespace harrow::remote {
namespace {

// A field of the document string (128): 2 the document's name, 3 the filter's name.
QString documentField(int field) {
    const QStringList fields = serverText(servermsg::kDocumentString).split(QLatin1Char('\n'));
    return field < fields.size() ? fields[field] : QString();
}

// The first `chars` characters of `line`, a pair that encodes one character kept whole.
QString cut(const QString& line, int chars) {
    if (line.size() <= chars) return line;
    return line.left(line.at(chars - 1).isHighSurrogate() ? chars - 1 : chars);
}

std::optional<std::string> askWithDialog(QWidget* parent) {
    CPasswordDlg dialog(parent);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.password();
}

}  // namespace

CServerFrame::CServerFrame(ServerWindowSetup setup, DriveTable& drives, SourceFactory& sources, QWidget* parent)
    : QMainWindow(parent), setup_(std::move(setup)), server_(*this, drives, sources), pump_(server_) {
    if (!setup_.askPassword) setup_.askPassword = askWithDialog;
    trayAvailable_ = setup_.trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
    setWindowTitle(serverText(servermsg::kProgramTitle));
    setWindowIcon(trayIcon(false));

    // The view: the log filling the window, inset by a pixel, on white.
    log_ = new QPlainTextEdit;
    log_->setReadOnly(true);
    log_->setUndoRedoEnabled(false);
    log_->setMaximumBlockCount(kMaxLogLines);
    log_->setLineWrapMode(QPlainTextEdit::NoWrap);
    QPalette white = log_->palette();
    white.setColor(QPalette::Base, Qt::white);
    white.setColor(QPalette::Text, Qt::black);
    log_->setPalette(white);
    auto* view = new QWidget;
    auto* layout = new QVBoxLayout(view);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->addWidget(log_);
    setCentralWidget(view);

    flush_.setInterval(0);
    flush_.setSingleShot(true);
    connect(&flush_, &QTimer::timeout, this, [this] {
        appendPending();
        if (!pending_.isEmpty()) flush_.start();
    });

    buildActions();
    buildStatusBar();
    buildTray();
    resize(640, 400);
}

CServerFrame::~CServerFrame() {
    stopServer();
    if (tray_) tray_->hide();
}

QAction* CServerFrame::makeAction(ServerCommand id, int text, std::function<void()> run) {
    auto* a = new QAction(serverText(text), this);
    a->setToolTip(plainServerText(text));
    connect(a, &QAction::triggered, this, [run = std::move(run)] { run(); });
    actions_[id] = a;
    return a;
}

void CServerFrame::buildActions() {
    QStyle* s = style();
    QAction* newServer = makeAction(ID_FILE_NEW, servermsg::kNew, [this] { this->newServer(); });
    newServer->setIcon(s->standardIcon(QStyle::SP_FileIcon));
    newServer->setShortcut(QKeySequence::New);
    QAction* save = makeAction(ID_FILE_SAVE, servermsg::kSave, [this] { onSave(); });
    save->setIcon(s->standardIcon(QStyle::SP_DialogSaveButton));
    save->setShortcut(QKeySequence::Save);
    QAction* exit = makeAction(ID_APP_EXIT, servermsg::kExit, [this] { close(); });
    QAction* copy = makeAction(ID_EDIT_COPY, servermsg::kCopy, [this] { log_->copy(); });
    copy->setIcon(QIcon::fromTheme(QStringLiteral("edit-copy"), s->standardIcon(QStyle::SP_FileDialogDetailedView)));
    copy->setShortcut(QKeySequence::Copy);
    QAction* toolbarShown = makeAction(ID_VIEW_TOOLBAR, servermsg::kToolbar, [] {});
    QAction* statusShown = makeAction(ID_VIEW_STATUS_BAR, servermsg::kStatusBar, [] {});
    QAction* info = makeAction(ID_CONNECTION_INFO, servermsg::kConnectionInfo, [this] { onConnectionInfo(); });
    info->setEnabled(false);
    QAction* about = makeAction(ID_APP_ABOUT, servermsg::kAbout, [this] { onAbout(); });
    about->setIcon(s->standardIcon(QStyle::SP_MessageBoxInformation));
    makeAction(ID_TRAY_OPEN, servermsg::kTrayOpen, [this] { showFromTray(); });
    makeAction(ID_TRAY_MINIMIZE, servermsg::kTrayMinimize, [this] { hideToTray(); });

    QMenu* file = menuBar()->addMenu(serverText(servermsg::kFileMenu));
    file->addAction(newServer);
    file->addAction(save);
    file->addSeparator();
    file->addAction(exit);
    menuBar()->addMenu(serverText(servermsg::kEditMenu))->addAction(copy);
    QMenu* viewMenu = menuBar()->addMenu(serverText(servermsg::kViewMenu));
    viewMenu->addAction(toolbarShown);
    viewMenu->addAction(statusShown);
    viewMenu->addSeparator();
    viewMenu->addAction(info);
    menuBar()->addMenu(serverText(servermsg::kHelpMenu))->addAction(about);

    QToolBar* bar = addToolBar(plainServerText(servermsg::kToolbar));
    bar->setObjectName(QStringLiteral("toolbar"));
    bar->setMovable(false);
    bar->addAction(newServer);
    bar->addAction(save);
    bar->addSeparator();
    bar->addAction(copy);
    bar->addSeparator();
    bar->addAction(about);
    for (QAction* a : {toolbarShown, statusShown}) {
        a->setCheckable(true);
        a->setChecked(true);
    }
    connect(toolbarShown, &QAction::toggled, bar, &QWidget::setVisible);
    connect(statusShown, &QAction::toggled, this, [this](bool on) { statusBar()->setVisible(on); });
}

void CServerFrame::buildStatusBar() {
    messagePane_ = new QLabel(serverText(servermsg::kReady));
    connectionsPane_ = new QLabel(serverText(servermsg::kConnectionsInitial));
    activityPane_ = new QLabel;
    activityPane_->setFixedWidth(12 + 6);
    activityPane_->setAlignment(Qt::AlignCenter);
    QStatusBar* bar = statusBar();
    bar->addWidget(messagePane_, 1);
    bar->addPermanentWidget(connectionsPane_);
    bar->addPermanentWidget(activityPane_);
    showActivity(false, true);
}

void CServerFrame::buildTray() {
    tray_ = new QSystemTrayIcon(this);
    shownMenu_ = new QMenu(this);
    shownMenu_->addAction(action(ID_TRAY_OPEN));
    shownMenu_->addAction(action(ID_TRAY_MINIMIZE));
    shownMenu_->addSeparator();
    // The tray's exit reads as the plain word, not as the menu's "E&xit".
    auto* trayExit = new QAction(serverText(servermsg::kTrayExit), this);
    connect(trayExit, &QAction::triggered, this, [this] { close(); });
    shownMenu_->addAction(trayExit);
    hiddenMenu_ = new QMenu(this);
    hiddenMenu_->addAction(action(ID_TRAY_OPEN));
    hiddenMenu_->addSeparator();
    hiddenMenu_->addAction(trayExit);
    tray_->setContextMenu(shownMenu_);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
        if (why == QSystemTrayIcon::DoubleClick) showFromTray();
    });
    showActivity(false, true);
}

QMenu* CServerFrame::trayMenu() const { return hidden_ ? hiddenMenu_ : shownMenu_; }

QString CServerFrame::hostSuffix() const {
    const ServerEntry& host = server_.hostText();
    return QStringLiteral(" [%1-%2]").arg(QString::fromStdString(host.address), QString::fromStdString(host.computerName));
}

CServerFrame::StartUp CServerFrame::startServer(bool askAlways) {
    std::optional<std::string> password = askAlways ? std::nullopt : setup_.password;
    if (!password) password = setup_.askPassword(this);
    if (!password) return StartUp::Cancelled;
    ServerOptions options = setup_.options;
    options.password = *password;
    if (!server_.startUp(options)) {
        const int error = errno;
        lastError_ = QString::fromStdString(formatServerMessage(servermsg::kCannotListen, options.port, std::strerror(error)));
        logLine(lastError_);
        return StartUp::CannotListen;
    }
    running_ = true;
    pump_.start();
    setWindowTitle(serverText(servermsg::kProgramTitle) + hostSuffix());
    showActivity(server_.activity() != 0, true);
    return StartUp::Started;
}

void CServerFrame::stopServer() {
    if (!running_) return;
    running_ = false;
    stopping_ = false;
    afterStop_ = {};
    pump_.stop();
    server_.shutdown();
}

void CServerFrame::stopServerThen(std::function<void()> next) {
    if (!running_) {
        next();
        return;
    }
    if (stopping_) return;
    // The clients are told, and then awaited on the event loop: one that does not read for a
    // while must not hold up the window as well.
    stopping_ = true;
    afterStop_ = std::move(next);
    server_.beginShutdown();
    pump_.start();
    finishStopWhenDone();
}

void CServerFrame::finishStopWhenDone() {
    if (!stopping_ || server_.connectionCount() > 0) return;
    // Not inside the core's handle(), which may still be walking its connections.
    QTimer::singleShot(0, this, [this] {
        if (!stopping_ || server_.connectionCount() > 0) return;
        stopping_ = false;
        running_ = false;
        pump_.stop();
        server_.finishShutdown();
        if (auto next = std::exchange(afterStop_, {})) next();
    });
}

void CServerFrame::present() {
    hidden_ = setup_.minimized;
    if (trayAvailable_) tray_->show();
    if (!setup_.minimized) {
        show();
    } else if (!trayAvailable_) {
        // Nowhere to hide into: the window starts minimised instead.
        hidden_ = false;
        showMinimized();
        sayNoTray();
    }
    tray_->setContextMenu(trayMenu());
}

void CServerFrame::showFromTray() {
    if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    showActivity(busyShown_, true);
    hidden_ = false;
    tray_->setContextMenu(trayMenu());
}

void CServerFrame::hideToTray() {
    if (!trayAvailable_) {
        // Hidden without a tray icon, the window could not be brought back.
        sayNoTray();
        return;
    }
    hide();
    hidden_ = true;
    tray_->setContextMenu(trayMenu());
}

void CServerFrame::sayNoTray() {
    if (saidNoTray_) return;
    saidNoTray_ = true;
    messagePane_->setText(serverText(servermsg::kNoTray));
    logLine(serverText(servermsg::kNoTray));
}

void CServerFrame::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized()) return;
    if (trayAvailable_)
        // Not while the window manager is still minimising it.
        QTimer::singleShot(0, this, [this] {
            if (isMinimized()) hideToTray();
        });
    else
        sayNoTray();
}

void CServerFrame::log(int, const std::string& text) {
    // One event, one line: texts written for message boxes break theirs.
    QString line = QString::fromStdString(text);
    line.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    logLine(line);
}

void CServerFrame::logLine(const QString& text) {
    const QDateTime now = QDateTime::currentDateTime();
    pending_ << now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss -> ")) + text;
    // The view keeps no more; neither need the lines on their way to it.
    if (pending_.size() > kMaxLogLines) pending_.remove(0, pending_.size() - kMaxLogLines);
    modified_ = true;
    if (!flush_.isActive()) flush_.start();
}

void CServerFrame::appendPending() {
    // One block of lines at a time: the view lays out only what it shows, and the caret and the
    // scroll bar move once.
    const int n = std::min<int>(static_cast<int>(pending_.size()), kLinesPerTurn);
    if (n == 0) return;
    log_->appendPlainText(pending_.mid(0, n).join(QLatin1Char('\n')));
    pending_.remove(0, n);
    log_->verticalScrollBar()->setValue(log_->verticalScrollBar()->maximum());
}

void CServerFrame::flushLog() {
    flush_.stop();
    while (!pending_.isEmpty()) appendPending();
}

void CServerFrame::activityChanged(int value) { showActivity(value != 0); }

void CServerFrame::showActivity(bool busy, bool force) {
    // The core says so twice a request: the pictures change only when the state does.
    if (busy == busyShown_ && !force) return;
    busyShown_ = busy;
    if (activityPane_) activityPane_->setPixmap(activityPicture(busy));
    if (!tray_) return;
    const ServerEntry& host = server_.hostText();
    const std::string tip = busy ? formatServerMessage(servermsg::kTipOnline, host.address, host.computerName)
                                 : formatServerMessage(servermsg::kTipOffline, host.address, host.computerName);
    tray_->setIcon(trayIcon(busy));
    tray_->setToolTip(cut(QString::fromStdString(tip), kTipChars));
}

void CServerFrame::connectionsChanged(std::size_t count) {
    connectionsPane_->setText(QString::fromStdString(formatServerMessage(servermsg::kConnections, static_cast<int>(count))));
    action(ID_CONNECTION_INFO)->setEnabled(count > 0);
    finishStopWhenDone();
}

bool CServerFrame::saveLog(const QString& path) {
    flushLog();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    QByteArray bytes;
    for (QTextBlock b = log_->document()->firstBlock(); b.isValid(); b = b.next()) {
        // An empty view still holds one empty block, which is no line of the log.
        if (b == log_->document()->firstBlock() && !b.next().isValid() && b.text().isEmpty()) break;
        bytes += cut(b.text(), kSavedLineChars).toUtf8();
        bytes += "\r\n";
    }
    if (file.write(bytes) != bytes.size() || !file.flush()) return false;
    file.close();
    if (file.error() != QFileDevice::NoError) return false;
    modified_ = false;
    return true;
}

bool CServerFrame::onSave() {
    const QString filter = documentField(3);
    const QString extension = documentField(4);
    QString path = QFileDialog::getSaveFileName(this, plainServerText(servermsg::kSave), QString(), filter);
    if (path.isEmpty()) return false;
    if (!extension.isEmpty() && QFileInfo(path).suffix().isEmpty()) path += extension;
    if (saveLog(path)) return true;
    warn(this, serverText(servermsg::kProgramTitle),
         QString::fromStdString(formatServerMessage(servermsg::kCannotWriteLog, path.toStdString())));
    return false;
}

bool CServerFrame::maySaveChanges() {
    if (!modified_) return true;
    QMessageBox box(QMessageBox::Question, serverText(servermsg::kProgramTitle),
                    QString::fromStdString(formatServerMessage(servermsg::kAskSaveChanges, documentField(2).toStdString())),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, this);
    box.button(QMessageBox::Yes)->setText(serverText(servermsg::kYes));
    box.button(QMessageBox::No)->setText(serverText(servermsg::kNo));
    box.button(QMessageBox::Cancel)->setText(serverText(servermsg::kCancel));
    box.setDefaultButton(QMessageBox::Yes);
    const auto answer = box.exec();
    if (answer == QMessageBox::Cancel) return false;
    return answer == QMessageBox::No || onSave();
}

void CServerFrame::newServer() {
    if (stopping_ || !maySaveChanges()) return;
    stopServerThen([this] {
        pending_.clear();
        log_->clear();
        modified_ = false;
        // As at the start: the pane's text before the first connection.
        connectionsPane_->setText(serverText(servermsg::kConnectionsInitial));
        action(ID_CONNECTION_INFO)->setEnabled(false);
        showActivity(false, true);
        // Cancelled, the window stays with no socket; New tries again.
        startServer(true);
    });
}

void CServerFrame::onConnectionInfo() {
    CConnectionInfoDlg dialog(server_, this);
    dialog.exec();
}

void CServerFrame::onAbout() {
    CServerAboutDlg dialog(QString::fromStdString(server_.hostText().address), this);
    dialog.exec();
}

void CServerFrame::closeEvent(QCloseEvent* event) {
    // Leaving already, or asked to stay.
    if (stopping_ || !maySaveChanges()) {
        event->ignore();
        return;
    }
    // Gone from the screen at once; the program ends when the clients have been told.
    event->ignore();
    hide();
    tray_->hide();
    stopServerThen([this] { emit exited(); });
}

int runServerWindow(int& argc, char** argv, WindowStart start) {
    QApplication app(argc, argv);
    // Hidden in the tray, the window is still the program.
    QApplication::setQuitOnLastWindowClosed(false);
    SystemSources sources(start.drives);
    ServerWindowSetup setup;
    setup.options = start.options;
    setup.password = start.password;
    setup.minimized = start.minimized;
    CServerFrame frame(setup, start.drives, sources);
    // A signal ends the program as Exit does, without the question; while the password dialog is
    // up, it ends that too.
    std::unique_ptr<QSocketNotifier> signalled;
    if (start.signalled >= 0) {
        signalled = std::make_unique<QSocketNotifier>(start.signalled, QSocketNotifier::Read);
        QObject::connect(signalled.get(), &QSocketNotifier::activated, &app, [&] {
            signalled->setEnabled(false);
            frame.stopServer();
            QCoreApplication::exit(0);
        });
    }
    switch (frame.startServer(false)) {
        case CServerFrame::StartUp::Started: break;
        case CServerFrame::StartUp::Cancelled: return 0;
        case CServerFrame::StartUp::CannotListen:
            std::fprintf(stderr, "harrowd: %s\n", frame.lastError().toStdString().c_str());
            return 1;
    }
    QObject::connect(&frame, &CServerFrame::exited, &app, &QCoreApplication::quit);
    frame.present();
    return app.exec();
}

}  // namespace harrow::remote
