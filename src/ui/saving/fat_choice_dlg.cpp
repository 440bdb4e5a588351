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

namespace {

// Which copies read `item`; every one for directories (DirFat), which take no item.
std::vector<bool> usableCopies(CFatChoiceDlg::Kind kind, const FatTable& fat, const FileItem* item) {
    std::vector<bool> usable;
    for (FatIndex k = 0; k < fat.copies(); ++k)
        usable.push_back(kind == CFatChoiceDlg::Kind::DirFat || (item && fatCopyUsable(fat, *item, k)));
    return usable;
}

// Every copy holds the file's whole chain, link for link: the choice would change nothing.
bool everyCopyAgrees(const FatTable& fat, const FileItem& item) {
    const std::uint32_t first = item.firstCluster();
    if (fat.copies() == 0 || item.isDirectory() || item.size == 0 || !fat.usable(first) || fat.isEndOfChain(first))
        return false;
    for (FatIndex k = 0; k < fat.copies(); ++k)
        if (!fat.chainMatchesSize(k, first, item.size)) return false;
    std::uint32_t c = first;
    // A chain of the right length was checked in every copy; the cap only guards the walk.
    for (std::uint64_t n = std::uint64_t{fat.lastCluster()} + 1; n > 0 && fat.usable(c) && !fat.isEndOfChain(c); --n) {
        if (!fat.known(0, c)) return false;
        const std::uint32_t link = fat.entry(0, c);
        for (FatIndex k = 1; k < fat.copies(); ++k)
            if (!fat.known(k, c) || fat.entry(k, c) != link) return false;
        c = link;
    }
    return true;
}

}  // namespace

CFatChoiceDlg::CFatChoiceDlg(Kind kind, const FatTable& fat, const FileItem* item, FatIndex current, QWidget* parent)
    : CFatChoiceDlg(kind, usableCopies(kind, fat, item), current, parent) {
    if (item && kind != Kind::DirFat)
        setWindowTitle(QStringLiteral("%1 - %2").arg(gui::text(kSaveWithCaption), qs(item->name)));
}

CFatChoiceDlg::CFatChoiceDlg(Kind kind, const std::vector<bool>& usable, FatIndex current, QWidget* parent)
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

    const int copies = static_cast<int>(usable.size());
    if (copies == 0) {
        closesAtOnce_ = true;
        return;
    }
    // Row r stands for FatIndex r - 1.
    auto addRow = [&](const QString& text, int icon) { new QListWidgetItem(itemIcon(icon), text, list_); };
    addRow(message(msg::kNoFat), kIconNoFat);
    for (int k = 1; k <= copies; ++k) {
        addRow(QStringLiteral("FAT%1").arg(k), usable[static_cast<std::size_t>(k - 1)] ? kIconUsable : kIconUnusable);
    }
    // The row shown as chosen is the one OK takes: the current copy for directories, else the
    // first copy that describes the file (other than the one that failed), else no FAT.
    int row = 0;
    if (kind == Kind::DirFat) {
        row = current + 1 >= 0 && current + 1 < list_->count() ? current + 1 : 0;
    } else {
        for (int k = 0; k < copies && row == 0; ++k)
            if (usable[static_cast<std::size_t>(k)] && !(kind == Kind::InvalidFat && k == current)) row = k + 1;
    }
    list_->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
    list_->setFocus();
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
    // The focused row looks chosen even when a click took its selection away.
    const int row = selected.isEmpty() ? list_->currentRow() : list_->row(selected.first());
    if (row < 0) return;
    choice_ = row - 1;
    accept();
}

namespace {

std::optional<FatIndex> runChoice(CFatChoiceDlg& dlg) {
    if (dlg.run() != QDialog::Accepted) return std::nullopt;
    return dlg.choice();
}

}  // namespace

std::optional<FatIndex> runSaveWithFat(QWidget* parent, const FatTable& fat, const FileItem& item) {
    if (everyCopyAgrees(fat, item)) return FatIndex{0};
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
