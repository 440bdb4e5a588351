#include "ui/background_job.h"

#include <QApplication>
#include <QEventLoop>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <memory>

#include "ui/gui_text.h"

namespace harrow::gui {
namespace {

class JobObserver : public ListObserver {
public:
    void progress(std::size_t n) override { count.store(n, std::memory_order_relaxed); }
    bool cancelled() override { return cancel.load(std::memory_order_relaxed); }
    std::atomic<std::size_t> count{0};
    std::atomic<bool> cancel{false};
};

}  // namespace

bool runInBackground(QWidget* parent, const QString& caption, const QString& text,
                     const std::function<void(ListObserver&)>& work) {
    JobObserver observer;
    std::unique_ptr<QThread> thread(QThread::create([&] { work(observer); }));
    QApplication::setOverrideCursor(Qt::WaitCursor);

    QEventLoop loop;
    QObject::connect(thread.get(), &QThread::finished, &loop, &QEventLoop::quit);
    QTimer delay;
    delay.setSingleShot(true);
    QObject::connect(&delay, &QTimer::timeout, &loop, &QEventLoop::quit);
    thread->start();
    delay.start(kWaitDialogDelay);
    if (!thread->isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);

    if (!thread->isFinished()) {
        QProgressDialog dialog(text, gui::text(uitext::kCancel), 0, 0, parent);
        dialog.setWindowTitle(caption);
        dialog.setWindowModality(Qt::WindowModal);
        dialog.setMinimumDuration(0);
        dialog.setAutoReset(false);
        dialog.setAutoClose(false);
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, &dialog, [&] {
            dialog.setLabelText(text + QStringLiteral("\n%1").arg(observer.count.load()));
        });
        tick.start(200);
        QObject::connect(&dialog, &QProgressDialog::canceled, &dialog, [&] { observer.cancel = true; });
        QObject::connect(thread.get(), &QThread::finished, &dialog, &QDialog::accept);
        if (!thread->isFinished()) dialog.exec();
    }
    thread->wait();
    QApplication::restoreOverrideCursor();
    return !observer.cancel.load();
}

}  // namespace harrow::gui
