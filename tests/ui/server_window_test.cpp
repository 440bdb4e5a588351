// harrowd's window: its log and the saved log, the status panes and the tray while a client holds
// a drive open, New, "/minimize", and a log of a hundred thousand lines. The server is the real
// core on loopback, serving the sample volume from memory; clients run on threads of their own,
// as harrow would on another machine.
#include <QtTest>

#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTextBlock>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/strings.h"
#include "remote/client.h"
#include "remote/harrowd/server_dialogs.h"
#include "remote/harrowd/server_frame.h"
#include "support/sample_volume.h"
#include "volume/memory_source.h"

using namespace harrow;
using namespace harrow::remote;

namespace {

const QRegularExpression kPrefix(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d -> "));

QString server(ServerMessageId<> id) { return QString::fromUtf8(serverMessageText(id)); }
template <typename... Args>
QString server(ServerMessageId<Args...> id, std::type_identity_t<Args>... args) {
    return QString::fromStdString(formatServerMessage(id, args...));
}

QStringList logLines(const CServerFrame& frame) {
    QStringList lines;
    for (QTextBlock b = frame.logView()->document()->firstBlock(); b.isValid(); b = b.next())
        if (!b.text().isEmpty()) lines << b.text();
    return lines;
}

// A client that logs in, opens F: and then, as told, holds it until released (closing it and
// logging out) or waits for what the server says next.
class Client {
public:
    enum class Then { HoldUntilReleased, AwaitServer };
    Client(std::uint16_t port, std::string password, Then then)
        : thread_([this, port, password, then] { run(port, password, then); }) {}
    ~Client() {
        release();
        // The server it talks to runs on this thread's event loop.
        while (!done) QTest::qWait(10);
        thread_.join();
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        wanted_.notify_all();
    }
    std::atomic<int> opened{0};  // 1 open, -1 refused
    std::atomic<int> lastCode{-1};  // what the server said while awaited; 0: it closed
    std::atomic<bool> done{false};

private:
    void run(std::uint16_t port, const std::string& password, Then then) {
        RecordingPrompts prompts;
        ClientConnection c(prompts);
        const bool in = c.connect("127.0.0.1", port) && c.login(password) && c.openDrive("F:\\");
        opened = in ? 1 : -1;
        if (in && then == Then::AwaitServer) {
            const auto reply = c.receiveMessage();
            lastCode = reply ? reply->code : 0;
        } else if (in) {
            std::unique_lock lock(mutex_);
            wanted_.wait(lock, [&] { return released_; });
            lock.unlock();
            c.closeDrive();
            c.disconnect();
        }
        done = true;
    }
    std::mutex mutex_;
    std::condition_variable wanted_;
    bool released_ = false;
    std::thread thread_;
};

// A client that logs in, opens F: and reads it over and over, checking every byte, until told to
// stop.
class Reader {
public:
    Reader(std::uint16_t port, const std::vector<std::uint8_t>& volume, std::atomic<std::uint64_t>& reads,
           const std::atomic<bool>& stop)
        : thread_([this, port, &volume, &reads, &stop] {
              RecordingPrompts prompts;
              ClientConnection c(prompts);
              opened = c.connect("127.0.0.1", port) && c.login("first-password") && c.openDrive("F:\\");
              std::vector<std::uint8_t> out(8 * 512);
              const std::uint64_t sectors = volume.size() / 512 - 8;
              for (std::uint64_t at = 0; opened && !stop; at = (at + 37) % sectors, ++reads)
                  if (c.readSectors(at, 512, out) != ReadResult::Done ||
                      !std::equal(out.begin(), out.end(), volume.begin() + static_cast<std::ptrdiff_t>(at * 512)))
                      wrong = true;
              done = true;
          }) {}
    ~Reader() {
        while (!done) QTest::qWait(10);
        thread_.join();
    }
    std::atomic<bool> opened{false}, wrong{false}, done{false};

private:
    std::thread thread_;
};

struct Window {
    explicit Window(bool minimized = false, std::optional<bool> tray = false) {
        table.set(test::driveEntry('F', DriveType::Removable, "SAMPLE", "memory"));
        ServerWindowSetup setup;
        setup.options.bindAddress = "127.0.0.1";
        setup.options.port = 0;
        setup.options.maxPerAddress = 64;
        setup.password = "first-password";
        setup.minimized = minimized;
        setup.trayAvailable = tray;
        setup.askPassword = [this](QWidget*) {
            ++asked;
            return nextPassword;
        };
        frame = std::make_unique<CServerFrame>(setup, table, sources);
    }
    std::uint16_t port() { return frame->server().port(); }

    DriveTable table;
    MemorySources sources{test::makeSampleFat().bytes};
    int asked = 0;
    std::optional<std::string> nextPassword;
    std::unique_ptr<CServerFrame> frame;
};

}  // namespace

class ServerWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { setLanguage(Lang::Zh); }

    void logLinesAreDatedAndSavedCutTo256Characters() {
        Window w;
        const QString longLine(300, QChar(u'日'));
        w.frame->logLine(QStringLiteral("[10.0.0.1] first"));
        w.frame->logLine(longLine);
        QTRY_COMPARE(logLines(*w.frame).size(), 2);
        const QStringList lines = logLines(*w.frame);
        for (const QString& line : lines) QVERIFY2(kPrefix.match(line).hasMatch(), qPrintable(line));
        QVERIFY(lines[0].endsWith(QStringLiteral(" -> [10.0.0.1] first")));
        QVERIFY(w.frame->modified());

        QTemporaryDir dir;
        const QString path = dir.filePath("log.txt");
        QVERIFY(w.frame->saveLog(path));
        QVERIFY(!w.frame->modified());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString saved = QString::fromUtf8(file.readAll());
        QCOMPARE(saved, lines[0] + "\r\n" + lines[1].left(256) + "\r\n");
    }

    void aClientWithADriveOpenShowsOnlineAndInTheConnectionList() {
        Window w;
        QCOMPARE(w.frame->startServer(false), CServerFrame::StartUp::Started);
        const std::string address = w.frame->server().hostText().address;
        const std::string name = w.frame->server().hostText().computerName;
        QCOMPARE(w.frame->windowTitle(), QStringLiteral("Harrowd [%1-%2]").arg(QString::fromStdString(address), QString::fromStdString(name)));
        QCOMPARE(w.frame->tray()->toolTip(), server(servermsg::kTipOffline, address, name).left(63));
        QVERIFY(!w.frame->action(ID_CONNECTION_INFO)->isEnabled());
        QCOMPARE(w.frame->connectionsPane()->text(), server(servermsg::kConnectionsInitial));
        {
            Client holding(w.port(), "first-password", Client::Then::HoldUntilReleased);
            Client refused(w.port(), "wrong-password", Client::Then::HoldUntilReleased);
            QTRY_COMPARE_WITH_TIMEOUT(holding.opened.load(), 1, 60000);
            QTRY_COMPARE_WITH_TIMEOUT(refused.opened.load(), -1, 60000);
            QTRY_COMPARE(w.frame->connectionsPane()->text(), server(servermsg::kConnections, 1));
            QVERIFY(w.frame->busyShown());
            QCOMPARE(w.frame->tray()->toolTip(), server(servermsg::kTipOnline, address, name).left(63));
            QVERIFY(w.frame->action(ID_CONNECTION_INFO)->isEnabled());
            CConnectionInfoDlg info(w.frame->server());
            QCOMPARE(info.lines().size(), 1);
            QVERIFY2(info.lines()[0].startsWith("127.0.0.1\t") && info.lines()[0].endsWith("\tF:\\"),
                     qPrintable(info.lines()[0]));
            QCOMPARE(info.findChild<QLabel*>("address")->text(), QString::fromStdString(address));
            QTRY_VERIFY(logLines(*w.frame).join('\n').contains(server(servermsg::kOpenDrive, "127.0.0.1", "F:\\")));
            QVERIFY(logLines(*w.frame).join('\n').contains(QStringLiteral("] 非法登录(端口:")));
            holding.release();
            QTRY_VERIFY_WITH_TIMEOUT(holding.done.load(), 60000);
        }
        QTRY_COMPARE(w.frame->connectionsPane()->text(), server(servermsg::kConnections, 0));
        QVERIFY(!w.frame->busyShown());
        QCOMPARE(w.frame->tray()->toolTip(), server(servermsg::kTipOffline, address, name).left(63));
        QVERIFY(!w.frame->action(ID_CONNECTION_INFO)->isEnabled());
    }

    // New asks whether to save the log, tells the connected client the server is going, and
    // starts again with the new password; cancelled, it leaves no server at all.
    void newRestartsTheServerWithANewPassword() {
        Window w;
        QCOMPARE(w.frame->startServer(false), CServerFrame::StartUp::Started);
        Client client(w.port(), "first-password", Client::Then::AwaitServer);
        QTRY_COMPARE_WITH_TIMEOUT(client.opened.load(), 1, 60000);
        QTRY_VERIFY(w.frame->modified());
        bool asked = false;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            asked = box->text() == server(servermsg::kAskSaveChanges, "Harrd");
            box->button(QMessageBox::No)->click();
        });
        w.nextPassword = "second-password";
        w.frame->newServer();
        QVERIFY(asked);
        // The window goes back to its events while the client is told and leaves.
        QCOMPARE(w.asked, 0);
        QTRY_COMPARE_WITH_TIMEOUT(w.asked, 1, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(client.done.load(), 60000);
        QCOMPARE(client.lastCode.load(), int(MSG_SHUTDOWN));
        QVERIFY(logLines(*w.frame).isEmpty());
        {
            Client old(w.port(), "first-password", Client::Then::HoldUntilReleased);
            Client renewed(w.port(), "second-password", Client::Then::HoldUntilReleased);
            QTRY_COMPARE_WITH_TIMEOUT(old.opened.load(), -1, 60000);
            QTRY_COMPARE_WITH_TIMEOUT(renewed.opened.load(), 1, 60000);
        }

        w.nextPassword.reset();
        QTimer::singleShot(0, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->button(QMessageBox::No)->click();
        });
        const std::uint16_t port = w.port();
        w.frame->newServer();
        QTRY_COMPARE_WITH_TIMEOUT(w.asked, 2, 60000);
        Client none(port, "second-password", Client::Then::HoldUntilReleased);
        QTRY_COMPARE_WITH_TIMEOUT(none.opened.load(), -1, 60000);
    }

    void minimizeStartsInTheTrayOrSaysWhyNot() {
        struct Case {
            bool minimized, tray;
            bool visible, hidden;
            int trayMenuItems;  // 139: open, minimize, -, exit; 140: open, -, exit
        } cases[] = {
            {false, true, true, false, 4},
            {true, true, false, true, 3},
            {true, false, true, false, 4},
        };
        for (const Case& c : cases) {
            Window w(c.minimized, c.tray);
            QCOMPARE(w.frame->startServer(false), CServerFrame::StartUp::Started);
            w.frame->present();
            QCOMPARE(w.frame->isVisible(), c.visible);
            QCOMPARE(w.frame->hiddenInTray(), c.hidden);
            QCOMPARE(w.frame->trayMenu()->actions().size(), c.trayMenuItems);
            const ServerEntry& host = w.frame->server().hostText();
            QCOMPARE(w.frame->tray()->toolTip(), server(servermsg::kTipOffline, host.address, host.computerName).left(63));
            // Minimised by hand, it goes into the tray, or stays and says once why it cannot.
            w.frame->showFromTray();
            QVERIFY(w.frame->isVisible());
            w.frame->showMinimized();
            w.frame->showNormal();
            w.frame->showMinimized();
            if (c.tray) {
                QTRY_VERIFY(!w.frame->isVisible());
                QVERIFY(w.frame->hiddenInTray());
                QCOMPARE(w.frame->trayMenu()->actions().size(), 3);
            } else {
                QTRY_COMPARE(logLines(*w.frame).filter(server(servermsg::kNoTray)).size(), 1);
                QVERIFY(w.frame->isVisible());
            }
        }
    }

    // The lines go into the view a batch per turn of the event loop, so a timer keeps firing
    // while a hundred thousand of them arrive at once.
    void aHundredThousandLinesLeaveTheWindowResponsive() {
        Window w;
        // The line counts the timer saw between the first line shown and the last.
        QSet<int> seen;
        QTimer timer;
        timer.setInterval(0);
        connect(&timer, &QTimer::timeout, [&] {
            const int n = w.frame->logView()->document()->blockCount();
            if (n > 1 && n < 100000) seen.insert(n);
        });
        timer.start();
        for (int i = 0; i < 100000; ++i) w.frame->logLine(QStringLiteral("[10.0.0.%1] line").arg(i % 250));
        QTRY_COMPARE_WITH_TIMEOUT(w.frame->logView()->document()->blockCount(), 100000, 300000);
        QVERIFY2(seen.size() >= 10, qPrintable(QString::number(seen.size())));
        QVERIFY(logLines(*w.frame).last().endsWith(QStringLiteral("[10.0.0.249] line")));
    }

    // Fifty clients reading at once leave the window's event loop turning between their reads:
    // they read until a timer has seen the count of reads move on ten times.
    void fiftyReadingClientsLeaveTheWindowResponsive() {
        Window w;
        QCOMPARE(w.frame->startServer(false), CServerFrame::StartUp::Started);
        const std::vector<std::uint8_t> volume = test::makeSampleFat().bytes;
        std::atomic<std::uint64_t> reads{0};
        std::atomic<bool> stop{false};
        std::vector<std::unique_ptr<Reader>> readers;
        for (int i = 0; i < 50; ++i) readers.push_back(std::make_unique<Reader>(w.port(), volume, reads, stop));
        QSet<std::uint64_t> seen;
        QTimer timer;
        timer.setInterval(0);
        connect(&timer, &QTimer::timeout, [&] {
            if (std::ranges::all_of(readers, [](const auto& r) { return r->opened || r->done; })) seen.insert(reads);
            if (seen.size() >= 10) stop = true;
        });
        timer.start();
        QTRY_VERIFY_WITH_TIMEOUT(std::ranges::all_of(readers, [](const auto& r) { return r->done.load(); }), 120000);
        for (const auto& r : readers) {
            QVERIFY(r->opened);
            QVERIFY(!r->wrong);
        }
        QTRY_COMPARE(w.frame->connectionsPane()->text(), server(servermsg::kConnections, 0));
    }
};

QTEST_MAIN(ServerWindowTest)
#include "server_window_test.moc"
