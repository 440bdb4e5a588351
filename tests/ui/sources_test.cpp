// Every source from the window: clusters of a FAT and an NTFS volume saved into image files
// through the save clusters dialogs, those images opened again in the same window, and a drive
// of harrowd reached through the connect dialog.
#include <QtTest>

#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QTemporaryDir>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>

#include "saving/save_clusters.h"
#include "support/sample_volume.h"
#include "ui/connect_dlg.h"
#include "ui/drive_select_dlg.h"
#include "ui/main_frame.h"
#include "ui/save_clusters_dlg.h"
#include "volume/drive_table.h"

using namespace harrow;
using namespace harrow::gui;
using harrow::test::driveEntry;
using harrow::test::makeSampleFat;

namespace {

// Runs `act` on the next modal window once it shows; it must be a T.
template <typename T>
void whenModal(std::function<void(T*)> act) {
    QTimer::singleShot(0, [act] {
        QWidget* w = QApplication::activeModalWidget();
        if (!w) {
            whenModal<T>(act);
            return;
        }
        auto* dialog = qobject_cast<T*>(w);
        QVERIFY2(dialog, w->metaObject()->className());
        act(dialog);
    });
}

QStringList shownNames(CQUIDNEYView& v) {
    QStringList names;
    for (int r = 0; r < v.model().itemCount(); ++r) names << v.model().shownName(r);
    names.sort();
    return names;
}

QString gunzipSample(const QTemporaryDir& dir) {
    const QString raw = dir.filePath("ntfs.raw");
    QProcess gunzip;
    gunzip.setStandardOutputFile(raw);
    gunzip.start("gzip", {"-dc", QStringLiteral(NTFS_SAMPLE)});
    return gunzip.waitForFinished(60000) && gunzip.exitCode() == 0 ? raw : QString();
}

// Two TCP ports in a row that nothing listens on now: harrowd's and its discovery port.
std::uint16_t freePorts() {
    for (int tries = 0; tries < 20; ++tries) {
        UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
            continue;
        const std::uint16_t port = ntohs(a.sin_port);
        UniqueFd u(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in b = a;
        b.sin_port = htons(static_cast<std::uint16_t>(port + 1));
        if (port < 65535 && ::bind(u.get(), reinterpret_cast<sockaddr*>(&b), sizeof b) == 0) return port;
    }
    return 0;
}

bool listening(std::uint16_t port) {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return ::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

void writeSample(const QString& path) {
    const auto sample = makeSampleFat();
    std::ofstream(path.toStdString(), std::ios::binary)
        .write(reinterpret_cast<const char*>(sample.bytes.data()), static_cast<std::streamsize>(sample.bytes.size()));
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

class SourcesTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { setLanguage(Lang::Zh); }

    // Saves the whole allowed range of a volume from the window, refusing one cluster too many
    // first, and opens the image in the same window: the root lists the volume's root.
    void saveClustersThenOpenTheImage_data() {
        QTest::addColumn<bool>("ntfs");
        QTest::newRow("FAT") << false;
        QTest::newRow("NTFS") << true;
    }
    void saveClustersThenOpenTheImage() {
        QFETCH(bool, ntfs);
        QTemporaryDir dir;
        DriveTable::global().clear();
        if (ntfs) {
            const QString raw = gunzipSample(dir);
            QVERIFY(!raw.isEmpty());
            DriveTable::global().set(driveEntry('S', DriveType::Fixed, "", raw.toStdString(), 65536));
        } else {
            const QString path = dir.filePath("sample.img");
            writeSample(path);
            DriveTable::global().set(driveEntry('S', DriveType::Fixed, "", path.toStdString()));
        }
        RecordingPrompts prompts;
        CQUIDNEYDoc doc(prompts);
        CMainFrame frame(doc, prompts);
        frame.show();
        // NTFS: the index blocks of the root lie before the MFT, where no range may begin; what the
        // range holds is every file record, which the scan finds.
        auto listed = [&] {
            if (ntfs) frame.action(ID_LIST_ALLFILES)->trigger();
            return shownNames(frame.view());
        };
        QVERIFY(frame.openSource("S:"));
        const QStringList volumeRoot = listed();
        QVERIFY(volumeRoot.size() > 2);

        const QString image = dir.filePath("part.dsk");
        ClusterRange allowed;
        bool refused = false;
        whenModal<CSaveClustersDlg>([&](CSaveClustersDlg* d) {
            QCOMPARE(d->driveList()->count(), 1);
            QVERIFY(!d->firstEdit()->isEnabled());
            d->driveList()->setCurrentRow(0);
            QVERIFY(d->firstEdit()->isEnabled());
            allowed = {d->allowedLabel(false)->text().toUInt(), d->allowedLabel(true)->text().toUInt()};
            d->firstEdit()->setText(QString::number(allowed.first));
            d->lastEdit()->setText(QString::number(allowed.last + 1ull));
            d->accept();
            refused = prompts.shown(msg::kInvalidRange) && d->isVisible();
            d->lastEdit()->setText(QString::number(allowed.last));
            whenModal<QFileDialog>([&](QFileDialog* f) {
                f->selectFile(image);
                QMetaObject::invokeMethod(f, "accept");
            });
            d->accept();
        });
        frame.action(ID_SAVE_CLUSTERS)->trigger();
        QVERIFY(refused);

        QVERIFY(frame.openSource(image));
        QCOMPARE(doc.driveKind, DriveKind::Image);
        QCOMPARE(frame.windowTitle(), QStringLiteral("Harrow(%1 : %2-%3)").arg(QFileInfo(image).absoluteFilePath())
                                          .arg(allowed.first).arg(allowed.last));
        QCOMPARE(listed(), volumeRoot);
    }

    // An NTFS image whose range leaves out the root's index blocks says so, not that the index
    // is damaged, and its scan still finds the records the image holds.
    void ntfsImageWithoutTheRootIndexSaysSo() {
        QTemporaryDir dir;
        const QString raw = gunzipSample(dir);
        QVERIFY(!raw.isEmpty());
        DriveTable::global().clear();
        DriveTable::global().set(driveEntry('S', DriveType::Fixed, "", raw.toStdString(), 65536));
        RecordingPrompts prompts;
        CDrive drive(prompts);
        QVERIFY(drive.open("S:\\", DriveKind::Local));
        const ClusterRange allowed = allowedClusters(drive.info());
        // The MFT's first clusters only: the records, not the directories' index blocks.
        const QString image = dir.filePath("mft.dsk");
        SaveClustersObserver quiet;
        QCOMPARE(saveClusters(drive, {image.toStdString(), {allowed.first, allowed.first + 15}}, quiet).result,
                 SaveClustersResult::Done);
        drive.close();

        CQUIDNEYDoc doc(prompts);
        CMainFrame frame(doc, prompts);
        frame.show();
        QVERIFY(frame.openSource(image));
        QVERIFY(prompts.shown(msg::kIndexNotInImage));
        QVERIFY(!prompts.shown(msg::kIndexDamaged));
        frame.action(ID_LIST_ALLFILES)->trigger();
        QVERIFY(shownNames(frame.view()).contains("1.txt"));
    }

    // harrowd on loopback: discovery finds it, a wrong password opens nothing, the right one
    // lists its drives and opens one; a save from it is byte for byte the file; a server gone in
    // the middle says so and leaves a window that opens the drive again.
    void remoteDriveFromTheWindow() {
        QTemporaryDir dir;
        const QString volume = dir.filePath("sample.img");
        writeSample(volume);
        const QString passwordFile = dir.filePath("password");
        std::ofstream(passwordFile.toStdString()) << "secret-pw\n";
        // harrowd takes no password file that others may read.
        QFile::setPermissions(passwordFile, QFile::ReadOwner | QFile::WriteOwner);
        const std::uint16_t port = freePorts();
        QVERIFY(port != 0);
        qputenv("HARROW_DISCOVERY", QByteArray("127.0.0.1:") + QByteArray::number(port + 1));
        auto startServer = [&](QProcess& server) {
            server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            server.start(QStringLiteral(HARROWD), {"--headless", "--bind", "127.0.0.1", "--port", QString::number(port),
                                                   "--password-file", passwordFile, "--drive", "T=" + volume});
            QVERIFY(server.waitForStarted());
            // Listening once a connection is taken.
            QTRY_VERIFY_WITH_TIMEOUT(listening(port), 30000);
        };
        QProcess server;
        startServer(server);

        RecordingPrompts prompts;
        remote::RemoteSources sources(prompts);
        CQUIDNEYDoc doc(prompts, sources);
        CMainFrame frame(doc, prompts, &sources);
        frame.show();
        QVERIFY(frame.action(ID_OPEN_NETWORK_DRIVE)->isEnabled());
        const QString address = QStringLiteral("127.0.0.1:%1").arg(port);
        // `drive`: none when no drive list comes, '-' to cancel it, else the letter to open.
        auto connectWith = [&](const QString& password, char drive) {
            whenModal<CConnectDlg>([=](CConnectDlg* d) {
                QCOMPARE(d->passwordEdit()->echoMode(), QLineEdit::Password);
                // Discovery: the server answers on the port after its own.
                QTRY_VERIFY_WITH_TIMEOUT(d->serverList()->count() == 1, 30000);
                QVERIFY(d->serverList()->item(0)->text().startsWith("127.0.0.1\t"));
                d->serverList()->setCurrentRow(0);
                QCOMPARE(d->addressEdit()->text(), address);
                d->passwordEdit()->setText(password);
                if (drive == '-') whenModal<CDriveSelectDlg>([](CDriveSelectDlg* s) { s->reject(); });
                if (drive == 'T')
                    whenModal<CDriveSelectDlg>([](CDriveSelectDlg* s) {
                        // The server's own drives, and T.
                        const auto& letters = s->letters();
                        const auto t = std::find(letters.begin(), letters.end(), 'T');
                        QVERIFY(t != letters.end());
                        s->driveList()->setCurrentRow(static_cast<int>(t - letters.begin()));
                        s->searchDiskBox()->setChecked(false);
                        s->choose();
                    });
                d->accept();
            });
            frame.action(ID_OPEN_NETWORK_DRIVE)->trigger();
        };

        connectWith("wrong", 0);
        QVERIFY(prompts.shown(msg::kWrongPassword));
        QCOMPARE(doc.driveKind, DriveKind::None);
        QVERIFY(!sources.connection().connected());

        connectWith("secret-pw", '-');  // Cancel in the drive list logs out
        QVERIFY(!sources.connection().connected());
        QCOMPARE(doc.driveKind, DriveKind::None);

        connectWith("secret-pw", 'T');
        QCOMPARE(doc.driveKind, DriveKind::Remote);
        QVERIFY(frame.windowTitle().startsWith("Harrow (T:) - [127.0.0.1-"));
        QVERIFY(shownNames(frame.view()).contains("readme.txt"));

        // The image of the remote volume's clusters, through the engine the dialogs run.
        const QString local = dir.filePath("local.dsk"), remote = dir.filePath("remote.dsk");
        SaveClustersObserver quiet;
        const ClusterRange range{2, 40};
        QCOMPARE(saveClusters(doc.drive(), {remote.toStdString(), range}, quiet).result, SaveClustersResult::Done);
        {
            DriveTable::global().set(driveEntry('L', DriveType::Fixed, "", volume.toStdString()));
            CDrive drive(prompts);
            QVERIFY(drive.open("L:\\", DriveKind::Local));
            QCOMPARE(saveClusters(drive, {local.toStdString(), range}, quiet).result, SaveClustersResult::Done);
        }
        QCOMPARE(fileBytes(remote).mid(512), fileBytes(local).mid(512));  // the headers differ in the label only

        // The server goes away; the next list says so, and the window is usable again.
        server.kill();
        server.waitForFinished();
        prompts.messages.clear();
        CQUIDNEYView& v = frame.view();
        for (int r = 0; r < v.model().itemCount(); ++r)
            if (v.model().shownName(r) == "Documents") v.enterRow(r);
        QVERIFY(prompts.shown(msg::kConnectionReset));
        QTRY_COMPARE_WITH_TIMEOUT(doc.driveKind, DriveKind::None, 30000);
        QCOMPARE(frame.windowTitle(), QStringLiteral("Harrow"));

        QProcess again;
        startServer(again);
        connectWith("secret-pw", 'T');
        QCOMPARE(doc.driveKind, DriveKind::Remote);
        QVERIFY(shownNames(frame.view()).contains("readme.txt"));

        // Named as a source, as on the command line: the connect dialog asks for the password
        // of that server, and the drive opens without the drive list.
        whenModal<CConnectDlg>([=](CConnectDlg* d) {
            QCOMPARE(d->addressEdit()->text(), address);
            d->passwordEdit()->setText("secret-pw");
            d->accept();
        });
        QVERIFY(frame.openSource("harrowd://" + address + "/t"));
        QCOMPARE(doc.driveKind, DriveKind::Remote);
        QCOMPARE(doc.rootPath, std::string("T:\\"));
        QVERIFY(shownNames(frame.view()).contains("readme.txt"));
        again.terminate();
        again.waitForFinished();
        qunsetenv("HARROW_DISCOVERY");
    }
};

QTEST_MAIN(SourcesTest)
#include "sources_test.moc"
