// A save run in the window: what its wait dialog shows (the file being saved, its size, how far
// the file and the whole run have come, the time gone and left) and the one summary at its end.
#pragma once

#include <QDialog>
#include <chrono>
#include <mutex>
#include <optional>
#include <vector>

#include "saving/save_run.h"
#include "ui/job.h"

class QLabel;
class QListWidget;
class QProgressBar;

namespace harrow::gui {

// Where the run is, as one look at it.
struct SaveProgressState {
    QString name;
    std::uint64_t fileSize = 0;
    std::uint64_t fileDone = 0;
    std::uint64_t runTotal = 0;  // the files known so far: those chosen, then those met in folders
    std::uint64_t runDone = 0;
    std::uint64_t elapsedSeconds = 0;
    std::optional<std::uint64_t> remainingSeconds;  // once there is something to judge by
};

// Hears the run on its thread; the window reads it on its own. Also keeps the names that failed.
class SaveProgress : public SaveObserver, public JobPanel {
public:
    // The items the run was given: the sizes of the files among them make its first total.
    explicit SaveProgress(const std::vector<FileItem>& items);

    void beginItem(const FileItem& item, const std::string& targetPath) override;
    void progress(std::uint64_t bytesDone) override;
    void itemDone(const FileItem& item, const std::string& targetPath, SaveStatus status) override;

    SaveProgressState state() const;
    std::vector<QString> failedNames() const;

    QWidget* makeWidget(QWidget* parent) override;
    void refresh() override;

private:
    mutable std::mutex mutex_;
    SaveProgressState state_;
    // The chosen files not yet begun, counted in the total already.
    std::vector<std::pair<std::uint64_t, std::string>> counted_;
    std::vector<QString> failed_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    class CSaveProgressPanel* panel_ = nullptr;
};

// The panel a save run's wait dialog shows; made alone for a picture of it.
class CSaveProgressPanel : public QWidget {
    Q_OBJECT
public:
    explicit CSaveProgressPanel(QWidget* parent = nullptr);
    void show(const SaveProgressState& s);
    QProgressBar* fileBar() const { return fileBar_; }
    QProgressBar* runBar() const { return runBar_; }
    QLabel* nameLabel() const { return name_; }

private:
    QLabel* name_;
    QLabel* size_;
    QProgressBar* fileBar_;
    QProgressBar* runBar_;
    QLabel* elapsed_;
    QLabel* remaining_;
};

// The end of a save run: saved, skipped, failed; the names that failed one click away.
class CSaveSummaryDlg : public QDialog {
    Q_OBJECT
public:
    CSaveSummaryDlg(const SaveSummary& summary, const std::vector<QString>& failed, QWidget* parent = nullptr);
    QLabel* textLabel() const { return text_; }
    QListWidget* failedList() const { return failed_; }
    QPushButton* failedButton() const { return failedButton_; }

private:
    QLabel* text_;
    QListWidget* failed_;
    QPushButton* failedButton_ = nullptr;
};

}  // namespace harrow::gui
