#include "ui/saving/save_progress.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "scan/disk_scan.h"
#include "ui/gui_text.h"

namespace harrow::gui {
namespace {

constexpr UiText kFileShare{"文件 :", "File:"};
constexpr UiText kRunShare{"全部 :", "All:"};
constexpr UiText kSummaryCaption{"保存文件", "Save file"};
constexpr UiText kFailedNames{"失败的文件(&F) ...", "&Failed files ..."};

int percentOf(std::uint64_t part, std::uint64_t whole) {
    return whole == 0 ? 0 : static_cast<int>(std::min<std::uint64_t>(part, whole) * 100 / whole);
}

}  // namespace

SaveProgress::SaveProgress(const std::vector<FileItem>& items) {
    for (const FileItem& item : items) {
        if (item.isDirectory()) continue;
        state_.runTotal += item.size;
        counted_.emplace_back(item.cluster, item.name);
    }
}

void SaveProgress::beginItem(const FileItem& item, const std::string&) {
    std::lock_guard lock(mutex_);
    state_.runDone += state_.fileDone;
    auto known = std::find(counted_.begin(), counted_.end(), std::pair<std::uint64_t, std::string>{item.cluster, item.name});
    if (known != counted_.end()) counted_.erase(known);
    else state_.runTotal += item.size;
    state_.name = qs(item.name);
    state_.fileSize = item.size;
    state_.fileDone = 0;
}

void SaveProgress::progress(std::uint64_t bytesDone) {
    std::lock_guard lock(mutex_);
    state_.fileDone = bytesDone;
}

void SaveProgress::itemDone(const FileItem&, const std::string& targetPath, SaveStatus status) {
    if (status != SaveStatus::Failed) return;
    std::lock_guard lock(mutex_);
    failed_.push_back(qs(targetPath));
}

SaveProgressState SaveProgress::state() const {
    std::lock_guard lock(mutex_);
    SaveProgressState s = state_;
    s.elapsedSeconds = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start_).count());
    const std::uint64_t done = s.runDone + s.fileDone;
    // Judged only once a second and some bytes have gone: earlier guesses swing wildly.
    if (done > 0 && s.elapsedSeconds > 0 && s.runTotal >= done)
        s.remainingSeconds = (s.runTotal - done) * s.elapsedSeconds / done;
    return s;
}

std::vector<QString> SaveProgress::failedNames() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

QWidget* SaveProgress::makeWidget(QWidget* parent) {
    panel_ = new CSaveProgressPanel(parent);
    return panel_;
}

void SaveProgress::refresh() {
    if (panel_) panel_->show(state());
}

CSaveProgressPanel::CSaveProgressPanel(QWidget* parent)
    : QWidget(parent), name_(new QLabel(this)), size_(new QLabel(this)), fileBar_(new QProgressBar(this)),
      runBar_(new QProgressBar(this)), elapsed_(new QLabel(this)), remaining_(new QLabel(this)) {
    name_->setObjectName(QStringLiteral("name"));
    size_->setObjectName(QStringLiteral("size"));
    name_->setMinimumWidth(360);
    for (QProgressBar* bar : {fileBar_, runBar_}) bar->setRange(0, 100);
    auto* form = new QFormLayout(this);
    form->setContentsMargins(0, 0, 0, 0);
    form->addRow(name_);
    form->addRow(size_);
    form->addRow(text(kFileShare), fileBar_);
    form->addRow(text(kRunShare), runBar_);
    form->addRow(text(uitext::kElapsed), elapsed_);
    form->addRow(text(uitext::kRemaining), remaining_);
}

void CSaveProgressPanel::show(const SaveProgressState& s) {
    name_->setText(s.name);
    size_->setText(QString::number(s.fileSize));
    fileBar_->setValue(percentOf(s.fileDone, s.fileSize));
    runBar_->setValue(percentOf(s.runDone + s.fileDone, s.runTotal));
    elapsed_->setText(qs(formatDuration(s.elapsedSeconds)));
    remaining_->setText(s.remainingSeconds ? qs(formatDuration(*s.remainingSeconds)) : QString());
}

CSaveSummaryDlg::CSaveSummaryDlg(const SaveSummary& summary, const std::vector<QString>& failed, QWidget* parent)
    : QDialog(parent), text_(new QLabel(message(msg::kSaveSummary, summary.saved, summary.skipped, summary.failed), this)),
      failed_(new QListWidget(this)) {
    setWindowTitle(text(kSummaryCaption));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text_);
    for (const QString& name : failed) failed_->addItem(name);
    failed_->setVisible(false);
    failed_->setMinimumWidth(420);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    buttons->button(QDialogButtonBox::Ok)->setText(text(uitext::kOk));
    if (!failed.empty()) {
        failedButton_ = buttons->addButton(text(kFailedNames), QDialogButtonBox::ActionRole);
        failedButton_->setCheckable(true);
        connect(failedButton_, &QPushButton::toggled, failed_, &QWidget::setVisible);
    }
    layout->addWidget(failed_);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
}

}  // namespace harrow::gui
