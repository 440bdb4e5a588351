// Long work of the window (opening a drive, listing a directory, saving, reading for a viewer)
// runs as a job on a worker thread. The window keeps painting; a wait dialog with Cancel shows
// only when the work takes longer than about half a second, so quick work never flashes one.
// Cancel is a request: the job sees it between blocks and ends itself, and the dialog closes when
// the job has finished. Nothing on the GUI thread ever waits for the worker thread.
#pragma once

#include <QDialog>
#include <QString>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stop_token>

class QDialog;

#include "items/file_item.h"

namespace harrow::gui {

// How long a job runs before its wait dialog shows.
inline constexpr std::chrono::milliseconds kWaitDialogDelay{500};

// What the work of a job is handed: where to report how far it has come, and whether the user
// asked it to stop. Engines take it as their list observer; others ask stopRequested().
class JobObserver : public ListObserver {
public:
    explicit JobObserver(std::stop_token stop) : stop_(std::move(stop)) {}
    void progress(std::size_t itemsSoFar) override { count_.store(itemsSoFar, std::memory_order_relaxed); }
    bool cancelled() override { return stopRequested(); }
    bool stopRequested() const { return stop_.stop_requested(); }
    std::size_t count() const { return count_.load(std::memory_order_relaxed); }

private:
    std::stop_token stop_;
    std::atomic<std::size_t> count_{0};
};

// What a job's wait dialog shows between its text and Cancel, where a busy bar and a count do
// not say enough (a save run: the file, its share, the time left).
class JobPanel {
public:
    virtual ~JobPanel() = default;
    // Made once, when the dialog shows.
    virtual QWidget* makeWidget(QWidget* parent) = 0;
    // A few times a second, on the GUI thread, while the dialog shows.
    virtual void refresh() = 0;
};

// Runs `work` as a job and returns once it has finished; false when the user asked it to stop.
// Until the wait dialog shows, user input to the windows is held back. Jobs run one at a time: a
// job asked for while another runs (a viewer's read while a save finishes) starts when that one
// has finished. Must be called on the GUI thread.
bool runJob(QWidget* parent, const QString& caption, const QString& text, const std::function<void(JobObserver&)>& work,
            JobPanel* panel = nullptr);
// The same with a dialog of the job's own in place of the wait dialog, made when the wait dialog
// would show. Its Cancel and close box must only ask the job to stop (jobs::requestStop); it is
// closed (accepted) when the job has finished.
using JobDialogFactory = std::function<std::unique_ptr<QDialog>(QWidget* parent, const JobObserver& observer)>;
bool runJob(QWidget* parent, const JobDialogFactory& dialog, const std::function<void(JobObserver&)>& work);

// The wait dialog a job with `panel` shows, for a picture of it: it stands for no job.
std::unique_ptr<QDialog> makeWaitDialog(QWidget* parent, const QString& caption, const QString& text, JobPanel* panel);

// The job that runs now, for the window and the prompts.
namespace jobs {
// Whether a job runs.
bool busy();
// Asks the running job to stop, as its Cancel does; questions it asks from now on are answered
// "cancel" at once, and one on the screen is closed so.
void requestStop();
// Whether the running job was asked to stop (false when none runs). Any thread may ask.
bool stopPending();
// Closes `window` once no job runs: at once when none does, else when the running one ends.
void closeWhenIdle(QWidget* window);
// Whether `window` was asked to close while a job ran: what comes after that job (a summary)
// is not to be shown.
bool closePending(const QWidget* window);
}  // namespace jobs

}  // namespace harrow::gui
