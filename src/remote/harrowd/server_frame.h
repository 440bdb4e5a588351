// harrowd's window: the log of the server's events (CServerView), its toolbar and status bar
// (CMainFrame), and the tray icon the window hides into. The server core runs in it exactly as
// under --headless, on this thread's event loop (ServerPump), and tells it what happens through
// ServerObserver.
#pragma once

#include <QMainWindow>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "remote/harrowd/server_pump.h"
#include "remote/server.h"

class QLabel;
class QMenu;
class QPlainTextEdit;
class QSystemTrayIcon;

namespace harrow::remote {

enum ServerCommand : int {
    ID_FILE_NEW = 57600,
    ID_FILE_SAVE = 57603,
    ID_EDIT_COPY = 57634,
    ID_APP_ABOUT = 57664,
    ID_APP_EXIT = 57665,
    ID_VIEW_TOOLBAR = 59392,
    ID_VIEW_STATUS_BAR = 59393,
    ID_TRAY_OPEN = 32773,
    ID_TRAY_MINIMIZE = 32774,
    ID_CONNECTION_INFO = 32775,
};

struct ServerWindowSetup {
    ServerOptions options;
    std::optional<std::string> password;  // for the first start-up; none: asked
    bool minimized = false;               // start with only the tray icon
    std::optional<bool> trayAvailable;    // none: whether the desktop has a notification area
    // Asks for the password (the password dialog); nothing when it was cancelled.
    std::function<std::optional<std::string>(QWidget*)> askPassword;
};

class CServerFrame : public QMainWindow, private ServerObserver {
    Q_OBJECT
public:
    // Lines the log keeps: the oldest go first past this, so that no client fills the memory.
    static constexpr int kMaxLogLines = 200000;
    // Lines added to the view per turn of the event loop: a burst never holds up the window.
    static constexpr int kLinesPerTurn = 2000;
    // Characters of a line that Save writes.
    static constexpr int kSavedLineChars = 256;
    // The tray tip's limit.
    static constexpr int kTipChars = 63;

    CServerFrame(ServerWindowSetup setup, DriveTable& drives, SourceFactory& sources, QWidget* parent = nullptr);
    ~CServerFrame() override;

    enum class StartUp { Started, Cancelled, CannotListen };
    // The password (asked unless given and `askAlways` is false), then the sockets.
    StartUp startServer(bool askAlways);
    // Shows the window, or at "/minimize" only the tray icon.
    void present();
    // The New command: asks whether to save a changed log, ends every connection, empties the
    // log and starts again with a new password.
    void newServer();
    // Writes the log, each line cut to kSavedLineChars and ended by CR LF; false on failure.
    bool saveLog(const QString& path);

    // The log line the core hands over, prefixed with the date and time.
    void logLine(const QString& text);
    // Puts the lines waiting into the view now.
    void flushLog();

    QAction* action(ServerCommand id) const { return actions_.at(id); }
    QPlainTextEdit* logView() const { return log_; }
    QLabel* connectionsPane() const { return connectionsPane_; }
    QSystemTrayIcon* tray() const { return tray_; }
    // The tray's menu as it is now: 139 while the window shows, 140 while it is hidden.
    QMenu* trayMenu() const;
    CServerDoc& server() { return server_; }
    bool busyShown() const { return busyShown_; }
    bool hiddenInTray() const { return hidden_; }
    bool modified() const { return modified_; }
    QString lastError() const { return lastError_; }

    void showFromTray();
    void hideToTray();
    // Tells every client the server is going, waits for them, and closes its sockets.
    void stopServer();

signals:
    // The window was closed for good: the program ends.
    void exited();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // ServerObserver, called on this thread by the core.
    void log(int id, const std::string& text) override;
    void activityChanged(int value) override;
    void connectionsChanged(std::size_t count) override;

    void buildActions();
    void buildStatusBar();
    void buildTray();
    QAction* makeAction(ServerCommand id, int text, std::function<void()> run);
    // stopServer() on the event loop: `next` runs once every client has gone.
    void stopServerThen(std::function<void()> next);
    void finishStopWhenDone();
    // The framework's question before the log is dropped; false: cancelled.
    bool maySaveChanges();
    bool onSave();
    void onConnectionInfo();
    void onAbout();
    void appendPending();
    void showActivity(bool busy, bool force = false);
    void sayNoTray();
    QString hostSuffix() const;

    ServerWindowSetup setup_;
    CServerDoc server_;
    ServerPump pump_;
    bool running_ = false;
    bool stopping_ = false;
    std::function<void()> afterStop_;
    bool trayAvailable_ = false;
    std::map<int, QAction*> actions_;
    QPlainTextEdit* log_ = nullptr;
    QStringList pending_;
    QTimer flush_;
    QLabel* messagePane_ = nullptr;
    QLabel* connectionsPane_ = nullptr;
    QLabel* activityPane_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QMenu* shownMenu_ = nullptr;
    QMenu* hiddenMenu_ = nullptr;
    bool busyShown_ = false;
    bool hidden_ = false;
    bool modified_ = false;
    bool saidNoTray_ = false;
    QString lastError_;
};

}  // namespace harrow::remote
