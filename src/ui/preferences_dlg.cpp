#include "ui/preferences_dlg.h"

#include <QDialogButtonBox>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "ui/gui_text.h"

namespace harrow::gui {
namespace {

constexpr UiText kCaption{"参数选择", "Preferences"};
constexpr UiText kFolderOptions{"文件夹选项", "Folder options"};
constexpr UiText kShowDeleted{"显示已删除的文件夹", "Show deleted folders"};
constexpr UiText kHideDeleted{"隐藏已删除的文件夹", "Hide deleted folders"};
constexpr UiText kFatChoice{"FAT 选择", "FAT choice"};
constexpr UiText kPromptOnDamage{"FAT 损坏时提示", "Prompt when the FAT is damaged"};
constexpr UiText kForceChosenFat{"强迫以选定的 FAT 保存", "Force saving with the chosen FAT"};

QGroupBox* group(const UiText& title, QRadioButton* a, QRadioButton* b, QWidget* parent) {
    auto* box = new QGroupBox(text(title), parent);
    auto* layout = new QVBoxLayout(box);
    layout->addWidget(a);
    layout->addWidget(b);
    return box;
}

}  // namespace

CPreferencesDlg::CPreferencesDlg(bool showDeleted, FatPromptMode fatPrompt, QWidget* parent)
    : QDialog(parent),
      show_(new QRadioButton(text(kShowDeleted))),
      hide_(new QRadioButton(text(kHideDeleted))),
      prompt_(new QRadioButton(text(kPromptOnDamage))),
      force_(new QRadioButton(text(kForceChosenFat))),
      showDeleted_(showDeleted),
      fatPrompt_(fatPrompt) {
    setWindowTitle(text(kCaption));
    show_->setChecked(showDeleted);
    hide_->setChecked(!showDeleted);
    prompt_->setChecked(fatPrompt == FatPromptMode::Ask);
    force_->setChecked(fatPrompt == FatPromptMode::Force);

    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(text(uitext::kOk), QDialogButtonBox::AcceptRole)->setDefault(true);
    buttons->addButton(text(uitext::kCancel), QDialogButtonBox::RejectRole);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group(kFolderOptions, show_, hide_, this));
    layout->addWidget(group(kFatChoice, prompt_, force_, this));
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(show_, &QRadioButton::clicked, this, [this] { showDeleted_ = true; });
    connect(hide_, &QRadioButton::clicked, this, [this] { showDeleted_ = false; });
    connect(prompt_, &QRadioButton::clicked, this, [this] { fatPrompt_ = FatPromptMode::Ask; });
    connect(force_, &QRadioButton::clicked, this, [this] { fatPrompt_ = FatPromptMode::Force; });
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

bool runPreferences(QWidget* parent, CQUIDNEYDoc& doc) {
    CPreferencesDlg dlg(doc.options.showDeleted, doc.options.fatPrompt, parent);
    if (dlg.exec() != QDialog::Accepted) return false;
    doc.options.showDeleted = dlg.showDeleted();
    doc.options.fatPrompt = dlg.fatPrompt();
    return true;
}

}  // namespace harrow::gui
