#include "ui/saving/fat_choice_dlg.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/gui_icons.h"
#include "ui/gui_text.h"

namespace harrow::gui {
namespace {

constexpr UiText kSaveWithCaption{"保存以", "Save with"};
constexpr UiText kDirFatCaption{"恢复目录以", "Restore directories with"};

// Icons of the rows: no FAT, a usable copy, a copy that does not describe the file.
constexpr int kIconNoFat = 162;
constexpr int kIconUsable = 197;
constexpr int kIconUnusable = 199;

}  // namespace

bool fatCopyUsable(const FatTable& fat, const FileItem& item, FatIndex copy) {
    const std::uint32_t first = item.firstCluster();
    return fat.entriesKnown(copy, first, item.size) &&
           (fat.chainMatchesSize(copy, first, item.size) || fat.firstClusterFree(copy, first));
}

CFatChoiceDlg::CFatChoiceDlg(Kind kind, const FatTable& fat, const FileItem* item, FatIndex current, QWidget* parent)
    : QDialog(parent), choice_(kind == Kind::DirFat ? current : kNoFat) {
    setWindowTitle(gui::text(kind == Kind::DirFat ? kDirFatCaption : kSaveWithCaption));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    if (kind == Kind::InvalidFat) {
        label_ = new QLabel(message(msg::kFatInvalid, current + 1), this);
        layout->addWidget(label_);
    }
    list_ = new QListWidget(this);
    list_->setViewMode(QListView::ListMode);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setIconSize(QSize(16, 16));
    layout->addWidget(list_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(gui::text(uitext::kOk));
    buttons->button(QDialogButtonBox::Cancel)->setText(gui::text(uitext::kCancel));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &CFatChoiceDlg::choose);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(list_, &QListWidget::itemDoubleClicked, this, &CFatChoiceDlg::choose);
    resize(260, 220);

    const int copies = fat.copies();
    if (copies == 0) {
        closesAtOnce_ = true;
        return;
    }
    // Row r stands for FatIndex r - 1.
    auto addRow = [&](const QString& text, int icon) { new QListWidgetItem(itemIcon(icon), text, list_); };
    addRow(message(msg::kNoFat), kIconNoFat);
    for (int k = 1; k <= copies; ++k) {
        const bool usable = kind == Kind::DirFat || (item && fatCopyUsable(fat, *item, k - 1));
        addRow(QStringLiteral("FAT%1").arg(k), usable ? kIconUsable : kIconUnusable);
    }
    if (kind == Kind::DirFat && current + 1 >= 0 && current + 1 < list_->count()) {
        list_->setCurrentRow(current + 1, QItemSelectionModel::ClearAndSelect);
        list_->setFocus();
    }
}

int CFatChoiceDlg::run() {
    if (closesAtOnce_) {
        setResult(Accepted);
        return Accepted;
    }
    return exec();
}

void CFatChoiceDlg::choose() {
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    if (selected.isEmpty()) return;
    choice_ = list_->row(selected.first()) - 1;
    accept();
}

namespace {

std::optional<FatIndex> runChoice(CFatChoiceDlg& dlg) {
    if (dlg.run() != QDialog::Accepted) return std::nullopt;
    return dlg.choice();
}

}  // namespace

std::optional<FatIndex> runSaveWithFat(QWidget* parent, const FatTable& fat, const FileItem& item) {
    CFatChoiceDlg dlg(CFatChoiceDlg::Kind::SaveWith, fat, &item, kNoFat, parent);
    return runChoice(dlg);
}

std::optional<FatIndex> runInvalidFat(QWidget* parent, const FatTable& fat, const FileItem& item, FatIndex invalid) {
    CFatChoiceDlg dlg(CFatChoiceDlg::Kind::InvalidFat, fat, &item, invalid, parent);
    return runChoice(dlg);
}

std::optional<FatIndex> runDirFat(QWidget* parent, const FatTable& fat, FatIndex current) {
    CFatChoiceDlg dlg(CFatChoiceDlg::Kind::DirFat, fat, nullptr, current, parent);
    return runChoice(dlg);
}

}  // namespace harrow::gui
