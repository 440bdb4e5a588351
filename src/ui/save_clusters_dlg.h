// Save clusters from the window: the source dialog (a drive of this machine and the range of its
// clusters) and the progress dialog of the image file being written on a worker thread.
#pragma once

#include <QDialog>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "common/prompts.h"
#include "saving/save_clusters.h"
#include "volume/drive_info.h"
#include "volume/drive_table.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace harrow::gui {

class JobObserver;

// The source dialog: click a drive to see its file system and the clusters a range may take,
// then type the range. OK with a range outside them says 61229 and stays.
class CSaveClustersDlg : public QDialog {
    Q_OBJECT
public:
    // `probe` opens a drive of the table just to describe it (nothing when it cannot be opened,
    // which the open has said); `prompts` says what the dialog refuses.
    using Probe = std::function<std::optional<DriveInfo>(char letter)>;
    CSaveClustersDlg(const DriveTable& table, bool skipBadClusters, Probe probe, Prompts& prompts,
                     QWidget* parent = nullptr);

    // After OK.
    char chosenLetter() const { return letters_.at(static_cast<std::size_t>(chosenRow_)); }
    QString chosenText() const { return chosenText_; }
    ClusterRange range() const { return range_; }
    bool skipBadClusters() const;

    // The parts tests drive.
    QListWidget* driveList() const { return list_; }
    QLineEdit* firstEdit() const { return first_; }
    QLineEdit* lastEdit() const { return last_; }
    QLabel* allowedLabel(bool last) const { return last ? maxLabel_ : minLabel_; }
    QLabel* fileSystemLabel() const { return fsLabel_; }

    void accept() override;

private:
    void driveClicked();

    Probe probe_;
    Prompts& prompts_;
    QListWidget* list_;
    QLabel* fsLabel_;
    QLabel* driveLabel_;
    QLabel* minLabel_;
    QLabel* maxLabel_;
    QLineEdit* first_;
    QLineEdit* last_;
    QCheckBox* skipBad_;
    std::vector<char> letters_;
    int probedRow_ = -1;
    int chosenRow_ = -1;
    std::optional<DriveInfo> probed_;
    QString chosenText_;
    ClusterRange range_;
};

// How far a save has come, written by the worker and read by the progress dialog.
struct SaveClustersTicker {
    std::atomic<std::uint64_t> current{0};
    std::atomic<int> percent{0};
    std::atomic<std::int64_t> elapsed{-1};    // seconds; -1 until the clock has moved
    std::atomic<std::int64_t> remaining{-1};
    void take(const SaveClustersProgress& p);
};

// The progress dialog: the drive, the range, the cluster written last, elapsed and remaining
// time and a bar, shown a few times a second. Cancel only asks the save to stop; the dialog
// closes when the save has.
class CSaveClustersProgressDlg : public QDialog {
    Q_OBJECT
public:
    CSaveClustersProgressDlg(const QString& driveText, ClusterRange range, const SaveClustersTicker& ticker,
                             QWidget* parent = nullptr);
    void reject() override;
    // Shows what the ticker holds now.
    void refresh();

    QProgressBar* bar() const { return bar_; }
    QLabel* currentLabel() const { return current_; }
    QLabel* timeLabel(bool remaining) const { return remaining ? remaining_ : elapsed_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    const SaveClustersTicker& ticker_;
    QLabel* current_;
    QLabel* elapsed_;
    QLabel* remaining_;
    QProgressBar* bar_;
    QPushButton* cancel_;
};

// "%d:%02d:%02d" of a count of seconds.
QString clockText(std::int64_t seconds);

// The save clusters command: the source dialog, the image file's name, then the image written
// on a worker thread under the progress dialog. The drive is opened for the command alone.
void runSaveClusters(QWidget* parent, Prompts& prompts, bool skipBadClusters,
                     const DriveTable& table = DriveTable::global());

}  // namespace harrow::gui
