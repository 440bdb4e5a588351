#include "ui/job.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QEventLoop>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <memory>
#include <vector>

#include "ui/gui_text.h"
#include "ui/qt_prompts.h"

namespace harrow::gui {
namespace {

constexpr UiText kStopping{"正在停止 ...", "Stopping ..."};

// The job that runs now. Written on the GUI thread only; stopPending is read by the worker too.
struct Running {
    std::stop_source* stop = nullptr;
    std::atomic<bool> stopPending{false};
    std::vector<QPointer<QWidget>> closeAfter;
    // Windows whose close was put off until a job ended, and is now on its way.
    std::vector<QPointer<QWidget>> closing;
};
Running gRunning;

// Tells those waiting to start a job of their own that the running one has finished.
class IdleSignal : public QObject {
    Q_OBJECT
signals:
    void idle();
};
IdleSignal& idleSignal() {
    static IdleSignal s;
    return s;
}

// The wait dialog: its Cancel, its close box and Escape only ask the job to stop. It closes when
// the job has finished, never before: a dialog gone while the job still asks its questions is how
// a window hangs.
class WaitDialog : public QDialog {
public:
    WaitDialog(QWidget* parent, const QString& caption, const QString& text, const JobObserver& observer, JobPanel* panel)
        : QDialog(parent), text_(text), observer_(observer), label_(new QLabel(text, this)),
          cancel_(new QPushButton(gui::text(uitext::kCancel), this)) {
        setWindowTitle(caption);
        setWindowModality(Qt::WindowModal);
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(label_);
        if (panel) {
            layout->addWidget(panel->makeWidget(this));
            panel->refresh();
        } else {
            auto* bar = new QProgressBar(this);
            bar->setRange(0, 0);
            layout->addWidget(bar);
        }
        layout->addWidget(cancel_, 0, Qt::AlignRight);
        cancel_->setObjectName(QStringLiteral("cancel"));
        connect(cancel_, &QPushButton::clicked, this, &WaitDialog::reject);
        // Throttled: the count shows five times a second, however fast it grows.
        connect(&tick_, &QTimer::timeout, this, [this, panel] {
            if (panel) panel->refresh();
            else if (!jobs::stopPending() && observer_.count() > 0)
                label_->setText(text_ + QStringLiteral("\n%1").arg(observer_.count()));
        });
        tick_.start(200);
    }
    void reject() override {
        jobs::requestStop();
        label_->setText(gui::text(kStopping));
        cancel_->setEnabled(false);
    }

protected:
    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        reject();
    }

private:
    QString text_;
    const JobObserver& observer_;
    QLabel* label_;
    QPushButton* cancel_;
    QTimer tick_;
};

}  // namespace

std::unique_ptr<QDialog> makeWaitDialog(QWidget* parent, const QString& caption, const QString& text, JobPanel* panel) {
    static const JobObserver none{std::stop_token{}};
    return std::make_unique<WaitDialog>(parent, caption, text, none, panel);
}

namespace jobs {

bool busy() { return gRunning.stop != nullptr; }

void requestStop() {
    if (!gRunning.stop) return;
    gRunning.stopPending.store(true);
    gRunning.stop->request_stop();
    dismissQuestions();
}

bool stopPending() { return gRunning.stopPending.load(); }

bool closePending(const QWidget* window) {
    for (const auto* list : {&gRunning.closeAfter, &gRunning.closing})
        for (const QPointer<QWidget>& w : *list)
            if (w == window) return true;
    return false;
}

void closeWhenIdle(QWidget* window) {
    if (!busy()) {
        QTimer::singleShot(0, window, &QWidget::close);
        return;
    }
    gRunning.closeAfter.emplace_back(window);
    requestStop();
}

}  // namespace jobs

bool runJob(QWidget* parent, const QString& caption, const QString& text, const std::function<void(JobObserver&)>& work,
            JobPanel* panel) {
    return runJob(
        parent,
        [&](QWidget* p, const JobObserver& observer) -> std::unique_ptr<QDialog> {
            return std::make_unique<WaitDialog>(p, caption, text, observer, panel);
        },
        work);
}

bool runJob(QWidget* parent, const JobDialogFactory& makeDialog, const std::function<void(JobObserver&)>& work) {
    // One at a time: the volume is read by one job, and the questions are one job's.
    while (jobs::busy()) {
        QEventLoop wait;
        QObject::connect(&idleSignal(), &IdleSignal::idle, &wait, &QEventLoop::quit);
        wait.exec(QEventLoop::ExcludeUserInputEvents);
    }
    std::stop_source stop;
    gRunning.stop = &stop;
    gRunning.stopPending.store(false);
    JobObserver observer(stop.get_token());
    // Set by the worker before it signals: a check of it before each wait below can never miss
    // the signal (it either came already, or comes while waiting).
    std::atomic<bool> done{false};
    IdleSignal finished;  // emitted from the worker, taken on this thread
    std::unique_ptr<QThread> thread(QThread::create([&] {
        work(observer);
        done.store(true);
        emit finished.idle();
    }));
    QApplication::setOverrideCursor(Qt::WaitCursor);

    QEventLoop loop;
    QObject::connect(&finished, &IdleSignal::idle, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    QTimer delay;
    delay.setSingleShot(true);
    QObject::connect(&delay, &QTimer::timeout, &loop, &QEventLoop::quit);
    thread->start();
    delay.start(kWaitDialogDelay);
    if (!done.load()) loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!done.load()) {
        const std::unique_ptr<QDialog> dialog = makeDialog(parent, observer);
        QObject::connect(&finished, &IdleSignal::idle, dialog.get(), &QDialog::accept, Qt::QueuedConnection);
        if (!done.load()) dialog->exec();
    }
    // The work is over; the thread only has to return.
    thread->wait();
    QApplication::restoreOverrideCursor();

    const bool stopped = stop.stop_requested();
    gRunning.stop = nullptr;
    gRunning.stopPending.store(false);
    std::vector<QPointer<QWidget>> closing;
    closing.swap(gRunning.closeAfter);
    std::erase_if(gRunning.closing, [](const QPointer<QWidget>& w) { return w.isNull(); });
    gRunning.closing.insert(gRunning.closing.end(), closing.begin(), closing.end());
    emit idleSignal().idle();
    for (const QPointer<QWidget>& w : closing)
        if (w) QTimer::singleShot(0, w.data(), &QWidget::close);
    return !stopped;
}

}  // namespace harrow::gui

#include "job.moc"
