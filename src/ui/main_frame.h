// CMainFrame: the main window around the file list: menus, the toolbar with the directory
// history, the status bar, and the commands that open a drive or show the application's
// dialogs. Commands carry their resource ids, so tests and the toolbar find them by number.
#pragma once

#include <QAction>
#include <QComboBox>
#include <QHash>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QToolBar>
#include <functional>

#include "ui/gui_text.h"
#include "document/document.h"
#include "ui/gui_host.h"
#include "remote/remote_address.h"
#include "remote/remote_source.h"
#include "ui/device_authorisation.h"
#include "ui/quidney_view.h"
#include "ui/start_page.h"

namespace harrow::gui {

// Command ids of the frame beyond the view's.
enum FrameCommand : int {
    ID_FILE_OPEN = 57601,
    ID_FILE_SAVE = 57603,
    ID_APP_EXIT = 57665,
    ID_APP_ABOUT = 57664,
    ID_HELP_FINDER = 57667,
    ID_VIEW_TOOLBAR = 59392,
    ID_VIEW_STATUS_BAR = 59393,
    ID_PREFERENCES = 32771,
    ID_DRIVE_INFO = 32794,
    ID_SELECT_ALL = 32795,
    ID_SELECT_DELETED = 32806,
    ID_SELECT_UNSAVED = 32797,
    ID_INVERT_SELECTION = 32796,
    ID_RENAME = 32807,
    ID_SORT_NAME = 32800,
    ID_SORT_DATE = 32801,
    ID_SORT_CLUSTER = 32802,
    ID_SORT_SIZE = 32803,
    ID_PARENT_DIR = 32793,
    ID_DIR_FAT = 32808,
    ID_VIEW_HEX = 32785,
    ID_VIEW_TEXT = 32786,
    ID_OPEN_ITEM = 61240,
    ID_HISTORY = 61204,
    ID_SAVE_CLUSTERS = 32811,
    ID_OPEN_FILE_DRIVE = 32812,
    ID_OPEN_NETWORK_DRIVE = 32813,
    // Harrow's own: a raw image file, as harrow-cli opens it.
    ID_OPEN_RAW_IMAGE = 33001,
    // The disk scan on the drive that is open, for a drive opened without it.
    ID_SEARCH_DISK = 33002,
    // A search of the whole volume by name, kind, state, size and date; and the filter bar's text.
    ID_FIND_ON_VOLUME = 33003,
    ID_FILTER = 33004,
};

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    // `remote`, the factory the document opens its drives through where it can reach servers,
    // gives the window its remote drives; without it the command is disabled.
    CMainFrame(CQUIDNEYDoc& doc, Prompts& prompts, remote::RemoteSources* remote = nullptr);

    // Opens a device, a raw image file, an image file (by its signature, whatever its name), a
    // drive letter ("E:") or a server's drive (harrowd://HOST[:PORT]/X), as at start-up.
    bool openSource(const QString& source);
    // Opens through `open` (one of the document's open commands) off the GUI thread, then shows
    // the root level.
    bool openWith(const std::function<bool(GuiHost&)>& open);

    // How a device the user may not read is opened through the desktop's authorisation; without
    // one the drive list says how to get access.
    void setDeviceAuthorisation(DeviceAuthorisation* auth) { authorisation_ = auth; }

    CQUIDNEYView& view() { return *view_; }
    // What the window shows while no drive is open.
    StartPage* startPage() const { return start_; }
    QAction* action(int id) const { return actions_.value(id); }
    QComboBox* history() const { return history_; }
    QToolBar* toolBar() const { return toolBar_; }
    QLabel* pane(int n) const { return panes_[n]; }
    // After a save: what was saved where, and the button that opens the folder.
    QLabel* savedNote() const { return savedNote_; }
    QPushButton* openSavedFolder() const { return openSavedFolder_; }
    // Sets every command's enabled and checked state from the document and the view.
    void updateActions();

protected:
    // The window closes at any moment: when a job runs the user is asked whether to stop it;
    // then it is asked to stop, and the window closes when it has.
    void closeEvent(QCloseEvent* event) override;

private:
    bool askStopAndQuit();
    QAction* makeAction(int id, const UiText& label, const std::function<void()>& run,
                        const QKeySequence& key = {}, bool checkable = false);
    void buildMenus();
    void buildToolBar();
    void buildStatusBar();
    void openDriveCommand();
    void openRawImageCommand();
    void openFileDriveCommand();
    void saveClustersCommand();
    void searchDiskCommand();
    void findOnVolumeCommand();
    void openNetworkDriveCommand();
    // A remote drive whose connection has ended is closed: the window shows no drive, and the
    // command opens one again.
    void dropLostRemoteDrive();
    void forgetRemoteDrive();
    // Connects to `address` and logs in with `password` (cleared), under a wait dialog; with
    // `drives`, lists the server's drives there. False (said) when it cannot.
    bool logInToServer(const QString& address, std::string& password, DriveTable* drives);
    // Opens drive `letter` of the server logged in to at `address`.
    bool openRemoteDrive(const QString& address, char letter);
    bool openRemoteSource(const remote::RemoteDriveAddress& drive);
    QString captionFor(QString caption) const;
    // Puts an opened source at the top of the recent list: `path`, or the drive of `letter`.
    void remember(const QString& path);
    void rememberDrive(char letter);
    void driveInfoCommand();
    void aboutCommand();
    void helpCommand();

    CQUIDNEYDoc& doc_;
    Prompts& prompts_;
    remote::RemoteSources* remote_;
    remote::Protocol protocol_ = remote::Protocol::Tcp;  // as the connect dialog last had it
    bool socketsAvailable_ = false;
    DeviceAuthorisation* authorisation_ = nullptr;
    // Looks at the connection of an open remote drive now and then: whatever ended it (a list,
    // a viewer, a save), the window is left without the drive once that work is over.
    QTimer* remoteWatch_ = nullptr;
    CQUIDNEYView* view_;
    QStackedWidget* pages_ = nullptr;
    StartPage* start_ = nullptr;
    QHash<int, QAction*> actions_;
    QToolBar* toolBar_ = nullptr;
    QComboBox* history_ = nullptr;
    QLabel* panes_[3] = {};
    QLabel* savedNote_ = nullptr;
    QPushButton* openSavedFolder_ = nullptr;
    QString savedFolder_;
    QString lastImageFolder_;
};

}  // namespace harrow::gui
