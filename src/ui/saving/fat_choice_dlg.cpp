#include "ui/saving/fat_choice_dlg.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/gui_icons.h"
#include "ui/gui_text.h"
#include "document/document.h"
#include "document/file_reader.h"

namespace harrow::gui {
namespace {

constexpr UiText kSaveWithCaption{"保存以", "Save with"};
constexpr UiText kDirFatCaption{"恢复目录以", "Restore directories with"};

// Icons of the rows: no FAT, a usable copy, a copy that does not describe the file.
constexpr int kIconNoFat = 162;
constexpr int kIconUsable = 197;
constexpr int kIconUnusable = 199;

}  // namespace

bool fatCopyUsable(CQUIDNEYDoc& doc, const FileItem& item, FatIndex copy) {
    // Begin read needs no open drive on FAT: the copies stay in memory while it is closed.
    FileReader reader(doc.drive(), item, copy);
    if (!reader.ok()) return false;
    const FatTable& fat = doc.drive().fat();
    return fat.chainMatchesSize(copy, item.firstCluster(), item.size) || fat.firstClusterFree(copy, item.firstCluster());
}

CFatChoiceDlg::CFatChoiceDlg(Kind kind, CQUIDNEYDoc& doc, const FileItem* item, QWidget* parent)
    : QDialog(parent), kind_(kind), doc_(doc) {
    setWindowTitle(gui::text(kind == Kind::DirFat ? kDirFatCaption : kSaveWithCaption));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    if (kind == Kind::InvalidFat) {
        label_ = new QLabel(message(msg::kFatInvalid, doc.saveFat + 1), this);
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

    if (kind != Kind::DirFat) doc.saveFat = kNoFat;
    const int copies = doc.drive().fat().copies();
    if (copies == 0) {
        closesAtOnce_ = true;
        return;
    }
    // Row r stands for FatIndex r - 1.
    auto addRow = [&](const QString& text, int icon) { new QListWidgetItem(itemIcon(icon), text, list_); };
    addRow(message(msg::kNoFat), kIconNoFat);
    for (int k = 1; k <= copies; ++k) {
        const bool usable = kind == Kind::DirFat || (item && fatCopyUsable(doc, *item, k - 1));
        addRow(QStringLiteral("FAT%1").arg(k), usable ? kIconUsable : kIconUnusable);
    }
    if (kind == Kind::DirFat && doc.dirFat + 1 >= 0 && doc.dirFat + 1 < list_->count()) {
        list_->setCurrentRow(doc.dirFat + 1, QItemSelectionModel::ClearAndSelect);
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
    const FatIndex choice = list_->row(selected.first()) - 1;
    (kind_ == Kind::DirFat ? doc_.dirFat : doc_.saveFat) = choice;
    accept();
}

bool runSaveWithFat(QWidget* parent, CQUIDNEYDoc& doc, const FileItem& item) {
    CFatChoiceDlg dlg(CFatChoiceDlg::Kind::SaveWith, doc, &item, parent);
    return dlg.run() == QDialog::Accepted;
}

bool runInvalidFat(QWidget* parent, CQUIDNEYDoc& doc, const FileItem& item) {
    CFatChoiceDlg dlg(CFatChoiceDlg::Kind::InvalidFat, doc, &item, parent);
    return dlg.run() == QDialog::Accepted;
}

bool runDirFat(QWidget* parent, CQUIDNEYDoc& doc) {
    CFatChoiceDlg dlg(CFatChoiceDlg::Kind::DirFat, doc, nullptr, parent);
    return dlg.run() == QDialog::Accepted;
}

}  // namespace harrow::gui
