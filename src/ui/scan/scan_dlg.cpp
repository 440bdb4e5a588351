#include "ui/scan/scan_dlg.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <cctype>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

#include "document/document.h"
#include "ui/gui_text.h"
#include "ui/job.h"

namespace harrow::gui {
namespace {

constexpr UiText kCaption{"扫描磁盘", "Scan disk"};
constexpr UiText kDriveName{"驱动器名称 :", "Drive name:"};
constexpr UiText kClusterTotal{"簇/总共 :", "Cluster/total:"};

// The dialog shows at most this many reports a second's worth apart: a scan steps through
// thousands of clusters a second, and an update for each would bury the event queue.
constexpr std::chrono::milliseconds kReportPause{200};

}  // namespace

// What the worker reported since the dialog last looked.
struct ScanReports {
    std::optional<std::uint64_t> total;
    std::optional<ScanProgress> progress;
    QStringList lines;
    bool empty() const { return !total && !progress && lines.isEmpty(); }
};

// The scan's observer, on the worker thread. It keeps the latest progress and the hit lines not
// yet shown, and wakes the dialog once; the dialog takes everything at once and lets itself be
// woken again only after a pause.
class ScanBridge : public ScanObserver {
public:
    ScanBridge(std::atomic<bool>& cancel, std::function<void()> wake) : cancel_(cancel), wake_(std::move(wake)) {}

    void started(const std::string&, bool, std::uint64_t total) override {
        std::lock_guard lock(mutex_);
        reports_.total = total;
        wakeLocked();
    }
    void hit(const std::string& line) override {
        std::lock_guard lock(mutex_);
        reports_.lines << qs(line);
        wakeLocked();
    }
    // What the scan did not search goes in the list with the hits, where the user looks.
    void notice(const std::string& line) override { hit(line); }
    void step(const ScanProgress& p) override {
        std::lock_guard lock(mutex_);
        reports_.progress = p;
        wakeLocked();
    }
    // The dialog's Cancel, or the job that opened the drive asked to stop (the window closes).
    bool cancelled() override { return cancel_.load(std::memory_order_relaxed) || jobs::stopPending(); }

    ScanReports take() {
        std::lock_guard lock(mutex_);
        return std::exchange(reports_, {});
    }
    // After the pause: true when reports came in meanwhile and are to be taken now; otherwise
    // the next report wakes the dialog again.
    bool reportsWaiting() {
        std::lock_guard lock(mutex_);
        if (!reports_.empty()) return true;
        awake_ = false;
        return false;
    }

private:
    void wakeLocked() {
        if (awake_) return;
        awake_ = true;
        wake_();
    }

    std::atomic<bool>& cancel_;
    std::function<void()> wake_;
    std::mutex mutex_;
    ScanReports reports_;
    bool awake_ = false;
};

QString scanDriveName(DriveKind kind, const std::string& label, const std::string& rootPath) {
    if (kind != DriveKind::Image) return qs(rootPath);
    if (rootPath.size() >= 2 && rootPath[1] == ':' && std::isalpha(static_cast<unsigned char>(rootPath[0])))
        return QStringLiteral("%1 (%2:)").arg(qs(label), QChar(rootPath[0]));
    // An image path here has no drive letter to show: the file's name tells the user more.
    return QStringLiteral("%1 (%2)").arg(qs(label), QFileInfo(qs(rootPath)).fileName());
}

CScanDlg::CScanDlg(CQUIDNEYDoc& doc, QWidget* parent) : QDialog(parent), doc_(doc) {
    setWindowTitle(text(kCaption));
    setModal(true);
    // Quitting is the window's to decide: it asks whether to stop the scan first.
    auto* quit = new QShortcut(QKeySequence::Quit, this);
    connect(quit, &QShortcut::activated, this, [this] {
        if (parentWidget()) parentWidget()->window()->close();
    });
    setMinimumWidth(460);

    auto value = [this](const char* name, const QString& s = {}) {
        auto* label = new QLabel(s, this);
        label->setObjectName(QLatin1String(name));
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        return label;
    };
    driveName_ = value("driveName", scanDriveName(doc.driveKind, doc.drive().info().label, doc.rootPath));
    current_ = value("current");
    total_ = value("total");
    foundLabel_ = new QLabel(doc.isFat() ? message(msg::kDirsFoundLabel) : message(msg::kFilesFoundLabel), this);
    hits_ = value("hits", QStringLiteral("0"));
    elapsed_ = value("elapsed");
    remaining_ = value("remaining");

    auto* position = new QHBoxLayout;
    position->addWidget(current_);
    position->addWidget(new QLabel(QStringLiteral("/"), this));
    position->addWidget(total_);
    position->addStretch();

    auto* form = new QFormLayout;
    form->addRow(text(kDriveName), driveName_);
    form->addRow(text(kClusterTotal), position);
    form->addRow(foundLabel_, hits_);
    form->addRow(text(uitext::kElapsed), elapsed_);
    form->addRow(text(uitext::kRemaining), remaining_);

    progress_ = new QProgressBar(this);
    progress_->setRange(0, 100);
    progress_->setValue(0);

    hitList_ = new QListWidget(this);
    hitList_->setUniformItemSizes(true);
    hitList_->setMinimumHeight(160);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* cancel = buttons->addButton(text(uitext::kCancel), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cancel"));
    connect(buttons, &QDialogButtonBox::rejected, this, &CScanDlg::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(progress_);
    layout->addWidget(hitList_, 1);
    layout->addWidget(buttons);

    bridge_ = std::make_unique<ScanBridge>(cancel_, [this] {
        QMetaObject::invokeMethod(this, &CScanDlg::takeReports, Qt::QueuedConnection);
    });
}

CScanDlg::~CScanDlg() {
    if (!worker_ || worker_->isFinished()) return;
    // Only when the dialog goes away mid-scan without having been cancelled. The worker may be
    // waiting for this thread to answer a question, so keep answering while it stops.
    cancel_ = true;
    worker_->disconnect(this);
    while (!worker_->wait(QDeadlineTimer(10))) QCoreApplication::processEvents();
}

bool CScanDlg::scanning() const { return worker_ && !ended_; }

void CScanDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (startWhenShown_ && !worker_) QTimer::singleShot(0, this, &CScanDlg::startScan);
}

void CScanDlg::startScan() {
    if (worker_ || cancel_ || !isVisible()) return;
    worker_.reset(QThread::create([this] { result_ = runDiskScan(doc_, *bridge_).result; }));
    connect(worker_.get(), &QThread::finished, this, &CScanDlg::scanEnded);
    worker_->start();
}

void CScanDlg::reject() {
    cancel_ = true;
    if (!scanning()) {
        QDialog::reject();
        return;
    }
    if (auto* cancel = findChild<QPushButton*>(QStringLiteral("cancel"))) cancel->setEnabled(false);
}

void CScanDlg::takeReports() {
    ScanReports r = bridge_->take();
    if (r.total) total_->setText(QString::number(*r.total));
    if (r.progress) showProgress(*r.progress);
    addHitLines(r.lines);
    if (!ended_) QTimer::singleShot(kReportPause, this, &CScanDlg::reportsPaused);
}

void CScanDlg::reportsPaused() {
    if (bridge_->reportsWaiting()) takeReports();
}

void CScanDlg::scanEnded() {
    worker_->wait();
    ended_ = true;
    takeReports();
    done(result_ == ScanResult::Finished ? QDialog::Accepted : QDialog::Rejected);
}

void CScanDlg::showProgress(const ScanProgress& p) {
    current_->setText(QString::number(p.current));
    total_->setText(QString::number(p.total));
    hits_->setText(QString::number(p.hits));
    progress_->setValue(p.percent);
    // Until the clock has moved on these keep what they showed.
    if (p.elapsedSeconds) elapsed_->setText(qs(formatDuration(*p.elapsedSeconds)));
    if (p.remainingSeconds) remaining_->setText(qs(formatDuration(*p.remainingSeconds)));
}

void CScanDlg::addHitLines(const QStringList& lines) {
    if (lines.isEmpty()) return;
    hitList_->addItems(lines);
    hitList_->setCurrentRow(hitList_->count() - 1);
    hitList_->scrollToBottom();
}

bool runScanDialog(QWidget* parent, CQUIDNEYDoc& doc) {
    CScanDlg dialog(doc, parent);
    // Not modal: a modal dialog holds back the window's close box and its Ctrl+Q until the scan
    // ends. The window's menus, toolbar and list are off instead while the scan runs.
    dialog.setWindowModality(Qt::NonModal);
    std::vector<QPointer<QWidget>> disabled;
    if (parent)
        for (QWidget* w : parent->window()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (!w->isWindow() && w->isEnabled()) {
                w->setEnabled(false);
                disabled.emplace_back(w);
            }
    QEventLoop loop;
    QObject::connect(&dialog, &QDialog::finished, &loop, &QEventLoop::quit);
    dialog.show();
    if (dialog.isVisible()) loop.exec();
    for (const QPointer<QWidget>& w : disabled)
        if (w) w->setEnabled(true);
    return dialog.result() == QDialog::Accepted;
}

}  // namespace harrow::gui
