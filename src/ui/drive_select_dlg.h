// The drive selection dialog: the drives that can be read sector by sector, and the two scan
// options that go with opening one. It serves this machine's drive table and, filled from a
// server's answers, a remote one alike.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <functional>
#include <optional>
#include <vector>

#include "document/document.h"
#include "volume/drive_table.h"

class QCheckBox;
class QListWidget;
class QPushButton;

namespace harrow::gui {

// How the drive lists show a drive of the table: its line and its icon number; nothing for a
// drive that is not read sector by sector (a CD-ROM, a network drive).
struct DriveListText {
    QString text;
    int icon = 0;
};
std::optional<DriveListText> driveListText(const DriveEntry& e);
// The line beneath it in the drive dialog: file system, size and path, as far as they are known.
QString driveDetails(const DriveEntry& e);

class CDriveSelectDlg : public QDialog {
    Q_OBJECT
public:
    // `onSkipClusters` opens the cluster skip ranges of the document; the dialog only calls it.
    CDriveSelectDlg(const DriveTable& table, bool searchDisk, bool skipBadClusters,
                    std::function<void()> onSkipClusters, QWidget* parent = nullptr);

    // Set once the dialog closed with OK.
    std::optional<char> chosenLetter() const { return chosen_; }
    bool searchDisk() const { return searchBox_->isChecked(); }
    bool skipBadClusters() const { return skipBadBox_->isChecked(); }

    // The parts tests drive.
    QListWidget* driveList() const { return list_; }
    QCheckBox* searchDiskBox() const { return searchBox_; }
    QCheckBox* skipBadBox() const { return skipBadBox_; }
    QPushButton* skipClustersButton() const { return skipButton_; }
    // The letters of the listed drives, in list order. A row's text is the drive's line, a line
    // break, and its details.
    const std::vector<char>& letters() const { return letters_; }

    // OK and a double click: choose the selected drive, if there is one.
    void choose();
    // What to do with a drive the user may not open: true when it may be opened now after all.
    // Without one the dialog says how to get access, and stays.
    void setUnreadableHandler(std::function<bool(const DriveEntry&)> handler) { onUnreadable_ = std::move(handler); }

private:
    void onSearchDiskToggled(bool on);
    void fillList(const DriveTable& table);

    QListWidget* list_;
    QCheckBox* searchBox_;
    QCheckBox* skipBadBox_;
    QPushButton* skipButton_;
    std::function<void()> onSkipClusters_;
    std::function<bool(const DriveEntry&)> onUnreadable_;
    std::vector<DriveEntry> entries_;  // parallel to the list rows
    std::vector<char> letters_;
    std::optional<char> chosen_;
};

// Runs the dialog on `table` (this machine's by default) with the document's options, and on OK
// writes the options back into the document and returns the chosen letter. A drive the user may
// not open is refused in the dialog with the message that says how to get access.
std::optional<char> runDriveSelect(QWidget* parent, CQUIDNEYDoc& doc, std::function<void()> onSkipClusters);
std::optional<char> runDriveSelect(QWidget* parent, CQUIDNEYDoc& doc, const DriveTable& table,
                                   std::function<void()> onSkipClusters,
                                   std::function<bool(const DriveEntry&)> onUnreadable = {});

}  // namespace harrow::gui
