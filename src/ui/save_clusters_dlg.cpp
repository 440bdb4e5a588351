#include "ui/save_clusters_dlg.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTimer>
#include <QVBoxLayout>

#include "document/drive.h"
#include "ui/drive_select_dlg.h"
#include "ui/gui_icons.h"
#include "ui/gui_text.h"
#include "ui/job.h"

namespace harrow::gui {
namespace {

constexpr UiText kCaption{"保存簇", "Save clusters"};
constexpr UiText kFileSystem{"文件系统:", "File system:"};
constexpr UiText kDrive{"驱动器:", "Drive:"};
constexpr UiText kMinimum{"最小簇:", "Minimum cluster:"};
constexpr UiText kMaximum{"最大簇:", "Maximum cluster:"};
constexpr UiText kFirst{"起始簇:", "First cluster:"};
constexpr UiText kLast{"结束簇:", "Last cluster:"};
constexpr UiText kSkipBad{"跳过坏簇", "Skip bad clusters"};
constexpr UiText kCurrent{"当前簇:", "Current cluster:"};
constexpr UiText kElapsed{"已用时间:", "Elapsed time:"};
constexpr UiText kRemaining{"剩余时间:", "Remaining time:"};
constexpr UiText kDskFilter{"镜像文件 (*.dsk)", "Image files (*.dsk)"};

QString clusterText(std::uint64_t c) { return QString::asprintf("%lu", static_cast<unsigned long>(c)); }

std::optional<std::uint32_t> clusterOf(const QLineEdit* edit) {
    bool ok = false;
    const qulonglong v = edit->text().trimmed().toULongLong(&ok);
    if (!ok || v > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<std::uint32_t>(v);
}

// Hears the save on the worker: hands its progress to the dialog, and its stop to the job.
class TickingObserver : public SaveClustersObserver {
public:
    TickingObserver(const JobObserver& job, SaveClustersTicker& ticker) : job_(job), ticker_(ticker) {}
    void step(const SaveClustersProgress& p) override { ticker_.take(p); }
    bool cancelled() override { return job_.stopRequested(); }

private:
    const JobObserver& job_;
    SaveClustersTicker& ticker_;
};

}  // namespace

QString clockText(std::int64_t seconds) {
    if (seconds < 0) return {};
    return QString::asprintf("%d:%02d:%02d", static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                             static_cast<int>(seconds % 60));
}

CSaveClustersDlg::CSaveClustersDlg(const DriveTable& table, bool skipBadClusters, Probe probe, Prompts& prompts,
                                   QWidget* parent)
    : QDialog(parent),
      probe_(std::move(probe)),
      prompts_(prompts),
      list_(new QListWidget(this)),
      fsLabel_(new QLabel(this)),
      driveLabel_(new QLabel(this)),
      minLabel_(new QLabel(this)),
      maxLabel_(new QLabel(this)),
      first_(new QLineEdit(this)),
      last_(new QLineEdit(this)),
      skipBad_(new QCheckBox(text(kSkipBad), this)) {
    setWindowTitle(text(kCaption));
    list_->setIconSize(QSize(16, 16));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setMinimumSize(260, 180);
    for (const DriveEntry& e : table.entries()) {
        const std::optional<DriveListText> shown = driveListText(e);
        if (!shown) continue;
        new QListWidgetItem(itemIcon(shown->icon), shown->text, list_);
        letters_.push_back(e.letter);
    }
    const auto* digits = new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{1,10}")), this);
    for (QLineEdit* edit : {first_, last_}) {
        edit->setValidator(digits);
        edit->setEnabled(false);
    }
    skipBad_->setChecked(skipBadClusters);

    auto* form = new QFormLayout;
    form->addRow(text(kDrive), driveLabel_);
    form->addRow(text(kFileSystem), fsLabel_);
    form->addRow(text(kMinimum), minLabel_);
    form->addRow(text(kMaximum), maxLabel_);
    form->addRow(text(kFirst), first_);
    form->addRow(text(kLast), last_);
    form->addRow(skipBad_);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(text(uitext::kOk), QDialogButtonBox::AcceptRole)->setDefault(true);
    buttons->addButton(text(uitext::kCancel), QDialogButtonBox::RejectRole);
    auto* top = new QHBoxLayout;
    top->addWidget(list_, 1);
    top->addLayout(form);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);

    // A drive is opened to describe it when the user picks it (by mouse or keys), not when the
    // list merely takes the focus.
    connect(list_, &QListWidget::itemSelectionChanged, this, &CSaveClustersDlg::driveClicked);
    connect(buttons, &QDialogButtonBox::accepted, this, &CSaveClustersDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

bool CSaveClustersDlg::skipBadClusters() const { return skipBad_->isChecked(); }

void CSaveClustersDlg::driveClicked() {
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    const int row = selected.isEmpty() ? -1 : list_->row(selected.front());
    if (row < 0 || row == probedRow_) return;
    // A drive that cannot be opened changes nothing: its open has said why.
    std::optional<DriveInfo> info = probe_ ? probe_(letters_[static_cast<std::size_t>(row)]) : std::nullopt;
    if (!info) return;
    probedRow_ = row;
    probed_ = std::move(info);
    const ClusterRange allowed = allowedClusters(*probed_);
    driveLabel_->setText(list_->item(row)->text());
    fsLabel_->setText(qs(probed_->fsName));
    minLabel_->setText(clusterText(allowed.first));
    maxLabel_->setText(clusterText(allowed.last));
    first_->setEnabled(true);
    last_->setEnabled(true);
}

void CSaveClustersDlg::accept() {
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    const int row = selected.isEmpty() ? -1 : list_->row(selected.front());
    if (row < 0 || row != probedRow_ || !probed_) return;
    const std::optional<std::uint32_t> first = clusterOf(first_), last = clusterOf(last_);
    if (!first || !last || !validClusterRange(*probed_, {*first, *last})) {
        prompts_.showMessage(msg::kInvalidRange, messageText(msg::kInvalidRange), MsgIcon::Exclamation);
        return;
    }
    range_ = {*first, *last};
    chosenRow_ = row;
    chosenText_ = list_->item(row)->text();
    QDialog::accept();
}

void SaveClustersTicker::take(const SaveClustersProgress& p) {
    current.store(p.current, std::memory_order_relaxed);
    percent.store(p.percent, std::memory_order_relaxed);
    if (p.elapsedSeconds) elapsed.store(static_cast<std::int64_t>(*p.elapsedSeconds), std::memory_order_relaxed);
    if (p.remainingSeconds) remaining.store(static_cast<std::int64_t>(*p.remainingSeconds), std::memory_order_relaxed);
}

CSaveClustersProgressDlg::CSaveClustersProgressDlg(const QString& driveText, ClusterRange range,
                                                   const SaveClustersTicker& ticker, QWidget* parent)
    : QDialog(parent),
      ticker_(ticker),
      current_(new QLabel(this)),
      elapsed_(new QLabel(this)),
      remaining_(new QLabel(this)),
      bar_(new QProgressBar(this)),
      cancel_(new QPushButton(text(uitext::kCancel), this)) {
    setWindowTitle(text(kCaption));
    setWindowModality(Qt::WindowModal);
    bar_->setRange(0, 100);
    cancel_->setObjectName(QStringLiteral("cancel"));
    auto* form = new QFormLayout;
    form->addRow(text(kDrive), new QLabel(driveText, this));
    form->addRow(text(kFirst), new QLabel(clusterText(range.first), this));
    form->addRow(text(kLast), new QLabel(clusterText(range.last), this));
    form->addRow(text(kCurrent), current_);
    form->addRow(text(kElapsed), elapsed_);
    form->addRow(text(kRemaining), remaining_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(bar_);
    layout->addWidget(cancel_, 0, Qt::AlignRight);
    connect(cancel_, &QPushButton::clicked, this, &CSaveClustersProgressDlg::reject);
    // A few times a second, however fast the clusters go.
    auto* tick = new QTimer(this);
    connect(tick, &QTimer::timeout, this, &CSaveClustersProgressDlg::refresh);
    tick->start(200);
    refresh();
}

void CSaveClustersProgressDlg::refresh() {
    bar_->setValue(ticker_.percent.load(std::memory_order_relaxed));
    current_->setText(clusterText(ticker_.current.load(std::memory_order_relaxed)));
    elapsed_->setText(clockText(ticker_.elapsed.load(std::memory_order_relaxed)));
    remaining_->setText(clockText(ticker_.remaining.load(std::memory_order_relaxed)));
}

void CSaveClustersProgressDlg::reject() {
    jobs::requestStop();
    cancel_->setEnabled(false);
}

void CSaveClustersProgressDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    reject();
}

void runSaveClusters(QWidget* parent, Prompts& prompts, bool skipBadClusters, const DriveTable& table) {
    auto probe = [&prompts](char letter) -> std::optional<DriveInfo> {
        CDrive drive(prompts);
        drive.setLoadMftOnOpen(false);
        if (!drive.open(std::string(1, letter) + ":\\", DriveKind::Local)) return std::nullopt;
        return drive.info();
    };
    CSaveClustersDlg source(table, skipBadClusters, probe, prompts, parent);
    if (source.exec() != QDialog::Accepted) return;

    QFileDialog target(parent, text(kCaption), QString(), text(kDskFilter));
    target.setObjectName(QStringLiteral("saveClustersTarget"));
    target.setAcceptMode(QFileDialog::AcceptSave);
    target.setFileMode(QFileDialog::AnyFile);
    target.setDefaultSuffix(QStringLiteral("dsk"));
    if (target.exec() != QDialog::Accepted || target.selectedFiles().isEmpty()) return;
    const std::string path = ss(target.selectedFiles().front());

    // A drive of the command's own: the document's stays as it is.
    CDrive drive(prompts);
    drive.setLoadMftOnOpen(false);
    SaveClustersTicker ticker;
    const QString driveText = source.chosenText();
    const ClusterRange range = source.range();
    // The file dialog has asked about a file of that name already.
    const SaveClustersOptions options{path, range, source.skipBadClusters(), ReplaceAnswer::YesToAll};
    runJob(
        parent,
        [&](QWidget* p, const JobObserver&) -> std::unique_ptr<QDialog> {
            return std::make_unique<CSaveClustersProgressDlg>(driveText, range, ticker, p);
        },
        [&](JobObserver& job) {
            if (!drive.open(std::string(1, source.chosenLetter()) + ":\\", DriveKind::Local)) return;
            TickingObserver observer(job, ticker);
            saveClusters(drive, options, observer);
            drive.close();
        });
}

}  // namespace harrow::gui
