// A device the user may not read, opened by the window through the desktop's disk service. A
// stand-in for the service answers on a private bus of the test's own, handing out a descriptor
// of a sample volume for the device, which nothing could open directly.
#include <QtTest>

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QListWidget>
#include <QProcess>
#include <QTemporaryDir>
#include <fcntl.h>

#include <fstream>

#include "support/sample_volume.h"
#include "ui/device_authorisation.h"
#include "ui/drive_select_dlg.h"
#include "ui/main_frame.h"

using namespace harrow;
using namespace harrow::gui;
using harrow::test::driveEntry;
using harrow::test::makeSampleFat;

// The disk service as the window asks it: every device resolves to one block object, whose
// OpenDevice hands out a descriptor of `volume`.
class FakeManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UDisks2.Manager")
public:
    QStringList asked;
public slots:
    QList<QDBusObjectPath> ResolveDevice(const QVariantMap& device, const QVariantMap&) {
        asked << device.value("path").toString();
        return {QDBusObjectPath("/org/freedesktop/UDisks2/block_devices/fake")};
    }
};

class FakeBlock : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UDisks2.Block")
public:
    QString volume;
    QStringList modes;
public slots:
    QDBusUnixFileDescriptor OpenDevice(const QString& mode, const QVariantMap&) {
        modes << mode;
        const int fd = ::open(volume.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
        QDBusUnixFileDescriptor d(fd);
        ::close(fd);
        return d;
    }
};

class AuthorisationTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { setLanguage(Lang::Zh); }

    void opensADeviceItCouldNotOpenDirectly() {
        QProcess daemon;
        daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        if (!daemon.waitForStarted(10000)) QSKIP("no dbus-daemon here");
        QTRY_VERIFY_WITH_TIMEOUT(daemon.canReadLine(), 30000);
        const QString address = QString::fromLatin1(daemon.readLine()).trimmed();
        QDBusConnection service = QDBusConnection::connectToBus(address, "service");
        QDBusConnection client = QDBusConnection::connectToBus(address, "client");
        QVERIFY(service.isConnected() && client.isConnected());

        QTemporaryDir dir;
        const QString volume = dir.filePath("sample.img");
        const auto sample = makeSampleFat();
        std::ofstream(volume.toStdString(), std::ios::binary)
            .write(reinterpret_cast<const char*>(sample.bytes.data()), static_cast<std::streamsize>(sample.bytes.size()));
        // A device nobody may open: the window learns of it only as a drive it may not read.
        const std::string device = dir.filePath("no-such-device").toStdString();
        DriveTable::global().clear();
        DriveEntry entry = driveEntry('U', DriveType::Fixed, "", device);
        entry.readable = false;
        DriveTable::global().set(entry);

        RecordingPrompts prompts;
        CQUIDNEYDoc doc(prompts);
        CMainFrame frame(doc, prompts);
        frame.show();
        UDisks2Authorisation udisks(client);
        frame.setDeviceAuthorisation(&udisks);
        FakeManager manager;
        FakeBlock block;
        block.volume = volume;
        QVERIFY(service.registerObject("/org/freedesktop/UDisks2/Manager", &manager, QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerObject("/org/freedesktop/UDisks2/block_devices/fake", &block, QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService(UDisks2Authorisation::kService));
        QVERIFY(udisks.available());

        prompts.yesNoAnswers = {true};
        QTimer::singleShot(0, [] {
            auto* d = qobject_cast<CDriveSelectDlg*>(QApplication::activeModalWidget());
            QVERIFY(d);
            d->driveList()->setCurrentRow(0);
            d->searchDiskBox()->setChecked(false);
            d->choose();
            if (d->isVisible()) d->reject();
        });
        frame.action(ID_FILE_OPEN)->trigger();
        QVERIFY(prompts.shown(msg::kOpenThroughAuthorisation));
        QCOMPARE(manager.asked, QStringList{QString::fromStdString(device)});
        QCOMPARE(block.modes, QStringList{"r"});
        QCOMPARE(doc.driveKind, DriveKind::Local);
        QVERIFY(frame.view().driveOpen());
        QCOMPARE(frame.windowTitle(), QStringLiteral("Harrow (U:)"));
        QStringList names;
        for (int r = 0; r < frame.view().model().itemCount(); ++r) names << frame.view().model().shownName(r);
        QVERIFY(names.contains("readme.txt"));

        service.unregisterService(UDisks2Authorisation::kService);
        QDBusConnection::disconnectFromBus("service");
        QDBusConnection::disconnectFromBus("client");
        daemon.terminate();
        daemon.waitForFinished();
    }
};

QTEST_MAIN(AuthorisationTest)
#include "authorisation_test.moc"
