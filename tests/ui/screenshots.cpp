// Renders the windows a user sees into PNG files, in Chinese and in English, so that a person can
// look at every one of them: `make screenshots` writes them to build/screenshots/.
//
// usage: harrow_screenshots OUTDIR NTFS_SAMPLE.raw.gz [HARROWD]
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <tuple>
#include <QProcess>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

#include "ui/gui_text.h"
#include "ui/scan/scan_dlg.h"
#include "ui/scan/skip_ranges_dlg.h"
#include "support/sample_volume.h"
#include "ui/qt_prompts.h"
#include "ui/about_dlg.h"
#include "ui/drive_info_dlg.h"
#include "ui/drive_select_dlg.h"
#include "ui/partition_select_dlg.h"
#include "ui/main_frame.h"
#include "ui/start_page.h"
#include "ui/preferences_dlg.h"
#include "ui/connect_dlg.h"
#include "ui/save_clusters_dlg.h"
#include "saving/save_clusters.h"
#include "ui/viewers.h"
#include "ui/job.h"
#include "ui/saving/fat_choice_dlg.h"
#include "ui/saving/replace_file_dlg.h"
#include "ui/saving/save_progress.h"
#include "ui/saving/save_target_dlg.h"
#include <QFile>
#include <QPushButton>
#include "volume/drive_table.h"
#include "document/drive.h"
#include "remote/remote_source.h"
#include "remote/harrowd/server_dialogs.h"
#include "remote/harrowd/server_frame.h"
#include <QMenu>
#include <QThread>

using namespace harrow;
using namespace harrow::gui;
using harrow::test::driveEntry;

namespace {


QDir out;
QString suffix;

void settle() {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

// `titled`: the window's caption drawn above it, as a window manager would (the offscreen
// platform draws none), for the pictures whose point is the caption.
void shoot(QWidget& w, const QString& name, bool titled = false) {
    w.show();
    settle();
    const QString path = out.filePath(name + suffix + ".png");
    QPixmap picture = w.grab();
    if (titled) {
        const int bar = w.fontMetrics().height() + 10;
        QPixmap framed(picture.width(), picture.height() + bar);
        framed.fill(QColor(0x3a, 0x5f, 0x9f));
        QPainter painter(&framed);
        painter.setPen(Qt::white);
        painter.drawText(QRect(0, 0, framed.width(), bar), Qt::AlignCenter, w.windowTitle());
        painter.drawPixmap(0, bar, picture);
        painter.end();
        picture = framed;
    }
    if (!picture.save(path)) std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
    else std::printf("%s\n", qPrintable(path));
}

int rowOf(CQUIDNEYView& v, const QString& name) {
    for (int r = 0; r < v.model().itemCount(); ++r)
        if (v.model().shownName(r) == name) return r;
    return -1;
}

void selectRow(CQUIDNEYView& v, int row) {
    v.listView()->selectionModel()->select(v.model().index(row, 0),
                                           QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    v.listView()->selectionModel()->setCurrentIndex(v.model().index(row, 0), QItemSelectionModel::NoUpdate);
}

// Shows fixed figures, so that the picture need not wait for a run.
class FixedSaveProgress : public JobPanel {
public:
    QWidget* makeWidget(QWidget* parent) override { return panel_ = new CSaveProgressPanel(parent); }
    void refresh() override {
        SaveProgressState s;
        s.name = QStringLiteral("IMG_0001.JPG");
        s.fileSize = 5000;
        s.fileDone = 2048;
        s.runTotal = 48000;
        s.runDone = 20000;
        s.elapsedSeconds = 12;
        s.remainingSeconds = 16;
        panel_->show(s);
    }

private:
    CSaveProgressPanel* panel_ = nullptr;
};

void savingWindows(CMainFrame& frame, CQUIDNEYDoc& doc, const FileItem& half) {
    QTemporaryDir dir;
    for (const char* sub : {"photos", "letters", "2024"}) QDir(dir.path()).mkdir(QLatin1String(sub));
    for (const char* file : {"readme.txt", "HALF.DAT"}) {
        QFile f(QDir(dir.path()).filePath(QLatin1String(file)));
        f.open(QIODevice::WriteOnly);
    }
    CSaveTargetDlg target(dir.path(), doc.drive().sharedFat()->copies(), &frame);
    shoot(target, "save-target");

    OverwriteQuestion q{"HALF.DAT", "2021-12-01  14:30:10", 4000, "2024-03-15  09:02:44", 3977};
    CReplaceFileDlg replace(q, &frame);
    shoot(replace, "save-overwrite");

    CFatChoiceDlg invalid(CFatChoiceDlg::Kind::InvalidFat, *doc.drive().sharedFat(), &half, 1, &frame);
    shoot(invalid, "save-invalid-fat");

    FixedSaveProgress progress;
    std::unique_ptr<QDialog> wait = makeWaitDialog(&frame, text(UiText{"保存文件", "Save file"}),
                                                   text(UiText{"正在保存 ...", "Saving ..."}), &progress);
    shoot(*wait, "save-progress");

    SaveSummary summary;
    summary.saved = 11;
    summary.skipped = 2;
    summary.failed = 1;
    CSaveSummaryDlg done(summary, {QStringLiteral("/home/user/rescued/BROKEN.DAT")}, &frame);
    done.failedButton()->setChecked(true);
    shoot(done, "save-summary");
}

void fatWindows() {
    RecordingPrompts prompts;
    MemorySources sources(test::makeSampleFat().bytes);
    CQUIDNEYDoc doc(prompts, sources);
    CMainFrame frame(doc, prompts);
    frame.resize(960, 600);
    frame.show();
    // What a user meets first: no drive, and what was opened in earlier runs.
    shoot(frame, "start-page");
    frame.openWith([&](GuiHost& host) { return doc.openDrive('E', host); });
    CQUIDNEYView& v = frame.view();

    frame.action(ID_VIEW_DETAILS)->trigger();
    selectRow(v, rowOf(v, "#EPORT.TXT"));
    shoot(frame, "main-details-fat");

    v.enterRow(rowOf(v, "Documents"));
    frame.action(ID_SELECT_DELETED)->trigger();
    shoot(frame, "main-directory-fat");

    frame.action(ID_LIST_ALLDIRS)->trigger();
    frame.action(ID_VIEW_LARGEICON)->trigger();
    shoot(frame, "main-icons-alldirs");

    frame.action(ID_LIST_BASICROOT)->trigger();
    frame.action(ID_VIEW_LIST)->trigger();
    shoot(frame, "main-list-fat");

    frame.action(ID_VIEW_DETAILS)->trigger();
    const FileItem readme = v.model().itemAt(rowOf(v, "readme.txt"));
    const FileItem half = v.model().itemAt(rowOf(v, "HALF.DAT"));
    v.enterRow(rowOf(v, "Documents"));
    const FileItem report = v.model().itemAt(rowOf(v, "Report 2024.txt"));
    {
        CViewHexDlg hex(doc, report, 0, &frame);
        hex.resize(680, 420);
        shoot(hex, "hex-viewer");
        CViewTextDlg text(doc, readme, 0, &frame);
        text.resize(560, 360);
        shoot(text, "text-viewer");
    }

    savingWindows(frame, doc, half);
    CPreferencesDlg preferences(doc.options.showDeleted, doc.options.fatPrompt, &frame);
    shoot(preferences, "preferences");
    CDriveInfoDlg info(doc.drive().info(), &frame);
    shoot(info, "drive-information");
    CAboutDlg about(&frame);
    shoot(about, "about");

    doc.skipRanges = {{100, 150}, {300, 400}};
    CSkipRangesDlg skip(doc, &frame);
    shoot(skip, "skip-ranges");

    CScanDlg scan(doc, &frame);
    scan.setStartWhenShown(false);
    ScanProgress p;
    p.current = 41230;
    p.total = 130000;
    p.hits = 3;
    p.percent = 31;
    p.elapsedSeconds = 74;
    p.remainingSeconds = 160;
    scan.showProgress(p);
    scan.addHitLines({"3 => Documents", "4 => PHOTOS", "40 => #LD"});
    shoot(scan, "scan-dialog");
}

void driveSelection() {
    DriveTable table;
    auto add = [&](char letter, DriveType type, const char* label, const char* path, const char* fs, std::uint64_t bytes,
                   bool readable = true) {
        DriveEntry e = driveEntry(letter, type, label, path, 0);
        e.fileSystem = fs;
        e.bytes = bytes;
        e.readable = readable;
        e.model = "SAFE DISK 2000";
        e.serial = "WD-WCC4E1234567";
        table.set(e);
    };
    add('A', DriveType::Removable, "", "/dev/fd0", "FAT12", 1474560);
    add('C', DriveType::Fixed, "SYSTEM", "/dev/sda1", "NTFS", 120ull << 30);
    add('D', DriveType::Fixed, "DATA", "/dev/sda2", "FAT32", 380ull << 30);
    add('E', DriveType::Removable, "CAMERA", "/dev/sdb1", "FAT32", 30ull << 30, false);
    add('F', DriveType::RamDisk, "", "/dev/ram0", "", 16ull << 20);
    RecordingPrompts prompts;
    CQUIDNEYDoc doc(prompts);
    CDriveSelectDlg select(table, doc.options.searchDisk, doc.options.skipBadClusters, [] {});
    select.driveList()->setCurrentRow(2);
    shoot(select, "drive-selection");

    std::vector<DriveEntry> parts(3);
    const std::tuple<const char*, std::uint64_t, const char*> shown[] = {
        {"FAT32", 100ull << 20, "PHOTOS"}, {"NTFS", 20ull << 30, "Backup"}, {"", 4ull << 30, ""}};
    for (std::size_t i = 0; i < parts.size(); ++i) {
        parts[i].path = "/home/user/disk.raw";
        parts[i].partition = static_cast<int>(i + 1);
        parts[i].fileSystem = std::get<0>(shown[i]);
        parts[i].length = std::get<1>(shown[i]);
        parts[i].label = std::get<2>(shown[i]);
    }
    CPartitionSelectDlg chooser(QStringLiteral("/home/user/disk.raw"), parts);
    shoot(chooser, "partition-selection");
}

void ntfsWindow(const QString& sampleGz) {
    QTemporaryDir dir;
    const QString raw = dir.filePath("ntfs.raw");
    QProcess gunzip;
    gunzip.setStandardOutputFile(raw);
    gunzip.start("gzip", {"-dc", sampleGz});
    if (!gunzip.waitForFinished(120000) || gunzip.exitCode() != 0) {
        std::fprintf(stderr, "screenshots: cannot unpack %s\n", qPrintable(sampleGz));
        return;
    }
    DriveTable::global().set(driveEntry('N', DriveType::Fixed, "", ss(raw), 65536));
    QtPrompts prompts;
    CQUIDNEYDoc doc(prompts);
    CMainFrame frame(doc, prompts);
    prompts.setWindow(&frame);
    frame.resize(960, 600);
    frame.show();
    doc.options.listMode = ID_LIST_ALLFILES;
    frame.openWith([&](GuiHost& host) { return doc.openDrive('N', host); });
    frame.action(ID_VIEW_DETAILS)->trigger();
    shoot(frame, "main-ntfs-allfiles");
}


// A server that answers discovery on loopback, for the connect dialog to list.
class DiscoveryAnswerer {
public:
    DiscoveryAnswerer() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
    }
    std::uint16_t port() const { return port_; }
    void answer() {
        std::uint8_t buf[64];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        while (::recvfrom(fd_.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len) >= 0) {
            const auto reply = remote::discoveryAnswer({"127.0.0.1", "DISKSERVER"});
            ::sendto(fd_.get(), reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }

private:
    UniqueFd fd_;
    std::uint16_t port_ = 0;
};

void sourceWindows(const QString& harrowd) {
    QTemporaryDir dir;
    const QString volume = dir.filePath("sample.img");
    const auto sample = test::makeSampleFat();
    std::ofstream(ss(volume), std::ios::binary)
        .write(reinterpret_cast<const char*>(sample.bytes.data()), static_cast<std::streamsize>(sample.bytes.size()));
    DriveTable table;
    table.set(driveEntry('C', DriveType::Fixed, "SYSTEM", "/dev/sda1", 0));
    table.set(driveEntry('E', DriveType::Removable, "", ss(volume), 0));
    RecordingPrompts prompts;
    {
        auto probe = [&](char) -> std::optional<DriveInfo> {
            CDrive drive(prompts);
            if (!drive.open(ss(volume), DriveKind::Local)) return std::nullopt;
            return drive.info();
        };
        CSaveClustersDlg source(table, true, probe, prompts);
        source.driveList()->setCurrentRow(1);
        source.firstEdit()->setText("2");
        source.lastEdit()->setText(source.allowedLabel(true)->text());
        shoot(source, "save-clusters");
        SaveClustersTicker ticker;
        ticker.take({1234, 31, 74, 160});
        CSaveClustersProgressDlg progress(source.driveList()->item(1)->text(), {2, 4000}, ticker);
        progress.refresh();
        shoot(progress, "save-clusters-progress");
    }

    // The image of the sample volume, opened as a file drive.
    const QString image = dir.filePath("sample.dsk");
    {
        CDrive drive(prompts);
        drive.open(ss(volume), DriveKind::Local);
        SaveClustersObserver quiet;
        saveClusters(drive, {ss(image), {2, 60}}, quiet);
    }
    {
        CQUIDNEYDoc doc(prompts);
        CMainFrame frame(doc, prompts);
        frame.resize(960, 600);
        frame.show();
        doc.options.searchDisk = false;
        frame.openSource(image);
        shoot(frame, "main-image-file", true);
    }

    DiscoveryAnswerer answerer;
    qputenv("HARROW_DISCOVERY", "127.0.0.1:" + QByteArray::number(answerer.port()));
    {
        CConnectDlg connect(remote::Protocol::Tcp, prompts);
        connect.show();
        for (int i = 0; i < 50 && connect.serverList()->count() == 0; ++i) {
            answerer.answer();
            QApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        connect.serverList()->setCurrentRow(0);
        connect.passwordEdit()->setText("password");
        shoot(connect, "connect");
    }
    qunsetenv("HARROW_DISCOVERY");

    {
        QMessageBox offer(QMessageBox::Question, message(msg::kTitle),
                          message(msg::kOpenThroughAuthorisation, "/dev/sdb1"), QMessageBox::NoButton);
        offer.addButton(text(uitext::kYes), QMessageBox::YesRole);
        offer.addButton(text(uitext::kNo), QMessageBox::NoRole);
        shoot(offer, "authorisation-offer");
    }

    if (harrowd.isEmpty()) return;
    // A remote drive: harrowd on loopback serving the sample volume.
    const QString passwordFile = dir.filePath("password");
    std::ofstream(ss(passwordFile)) << "password\n";
    QFile::setPermissions(passwordFile, QFile::ReadOwner | QFile::WriteOwner);
    QProcess server;
    const int port = 20000 + static_cast<int>(QCoreApplication::applicationPid() % 20000);
    server.start(harrowd, {"--headless", "--bind", "127.0.0.1", "--port", QString::number(port), "--password-file",
                           passwordFile, "--drive", "R=" + volume});
    if (!server.waitForStarted()) return;
    remote::RemoteSources sources(prompts);
    bool in = false;
    for (int i = 0; i < 100 && !in; ++i) {
        in = sources.connection().connect("127.0.0.1", static_cast<std::uint16_t>(port)) &&
             sources.connection().login("password");
        if (!in) QThread::msleep(50);
    }
    if (in) {
        CQUIDNEYDoc doc(prompts, sources);
        CMainFrame frame(doc, prompts, &sources);
        frame.resize(960, 600);
        frame.show();
        doc.options.searchDisk = false;
        doc.driveKind = DriveKind::Remote;
        doc.driveLetter = 'R';
        doc.rootPath = "R:\\";
        frame.openWith([&](GuiHost& host) { return doc.openCurrentDrive(host); });
        shoot(frame, "main-remote-drive", true);
        sources.connection().disconnect();
    }
    server.terminate();
    server.waitForFinished();
}

// harrowd's window with two clients logged in, each with a drive open, its connection
// information and its tray menus.
void serverWindows() {
    DriveTable table;
    table.set(driveEntry('F', DriveType::Removable, "SAMPLE", "memory"));
    MemorySources sources(test::makeSampleFat().bytes);
    remote::ServerWindowSetup setup;
    setup.options.bindAddress = "127.0.0.1";
    setup.options.port = 0;
    setup.password = "password";
    setup.trayAvailable = true;
    remote::CServerFrame frame(setup, table, sources);
    if (frame.startServer(false) != remote::CServerFrame::StartUp::Started) return;
    frame.resize(720, 360);
    frame.present();
    std::vector<UniqueFd> clients;
    for (const char* name : {"OFFICE-PC", "LAB-LAPTOP"}) {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in at{AF_INET, htons(frame.server().port()), {htonl(INADDR_LOOPBACK)}, {}};
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) return;
        const auto login = remote::LoginRequest{"password", "127.0.0.1", name}.serialize();
        auto bytes = remote::encodeMessage(remote::MSG_LOGIN, login);
        const auto open = remote::encodeMessage(remote::MSG_OPEN_DRIVE, Bytes(reinterpret_cast<const std::uint8_t*>("F:\\"), 4));
        bytes.insert(bytes.end(), open.begin(), open.end());
        if (::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) return;
        clients.push_back(std::move(fd));
    }
    for (int i = 0; i < 500 && (frame.server().connectionCount() < 2 || frame.server().activity() < 2); ++i) {
        QApplication::processEvents();
        QThread::msleep(10);
    }
    frame.flushLog();
    shoot(frame, "harrowd-window", true);
    remote::CConnectionInfoDlg info(frame.server(), &frame);
    shoot(info, "harrowd-connection-info");
    remote::CServerAboutDlg about(QString::fromStdString(frame.server().hostText().address), &frame);
    shoot(about, "harrowd-about");
    shoot(*frame.trayMenu(), "harrowd-tray-menu");
    frame.trayMenu()->hide();
    frame.hideToTray();
    shoot(*frame.trayMenu(), "harrowd-tray-menu-hidden");
    frame.trayMenu()->hide();
    remote::CPasswordDlg password(&frame);
    password.passwordEdit()->setText("password");
    shoot(password, "harrowd-password");
}

}  // namespace

int main(int argc, char** argv) {
    // The recent sources the start page shows are this run's own, not the user's.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QApplication app(argc, argv);
    for (const char* recent : {"/home/user/card.img", "/dev/sdb1", "/home/user/disk.raw"}) rememberSource(QString::fromLatin1(recent));
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUTDIR NTFS_SAMPLE.raw.gz\n", argv[0]);
        return 2;
    }
    out = QDir(QString::fromLocal8Bit(argv[1]));
    out.mkpath(".");
    for (Lang lang : {Lang::Zh, Lang::En}) {
        setLanguage(lang);
        suffix = lang == Lang::Zh ? "-zh" : "-en";
        fatWindows();
        driveSelection();
        ntfsWindow(QString::fromLocal8Bit(argv[2]));
        sourceWindows(argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString());
        serverWindows();
    }
    return 0;
}
