#include "ui/drive_select_dlg.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/gui_icons.h"
#include "ui/gui_text.h"

namespace harrow::gui {
namespace {

constexpr UiText kCaption{"选择驱动器", "Select drive"};
constexpr UiText kSearchDisk{"搜索磁盘", "Search disk"};
constexpr UiText kSkipBadClusters{"跳过坏簇", "Skip bad clusters"};
constexpr UiText kSkipClusters{"跳过簇", "Skip clusters..."};
constexpr UiText kNoPermissionMark{" (无权限)", " (no permission)"};

constexpr int kIconRemovable = 132, kIconFixed = 134, kIconRamDisk = 191;

}  // namespace

CDriveSelectDlg::CDriveSelectDlg(const DriveTable& table, bool searchDisk, bool skipBadClusters,
                                 std::function<void()> onSkipClusters, QWidget* parent)
    : QDialog(parent),
      list_(new QListWidget(this)),
      searchBox_(new QCheckBox(text(kSearchDisk), this)),
      skipBadBox_(new QCheckBox(text(kSkipBadClusters), this)),
      skipButton_(new QPushButton(text(kSkipClusters), this)),
      onSkipClusters_(std::move(onSkipClusters)) {
    setWindowTitle(text(kCaption));

    list_->setViewMode(QListView::IconMode);
    list_->setIconSize(QSize(32, 32));
    list_->setMovement(QListView::Static);
    list_->setResizeMode(QListView::Adjust);
    list_->setWordWrap(true);
    // One cell per drive, so names that wrap to more lines do not set their icons out of row.
    const QFontMetrics metrics = list_->fontMetrics();
    list_->setGridSize(QSize(std::max(110, metrics.horizontalAdvance(QStringLiteral("Removable disk")) + 16),
                             32 + 3 * metrics.lineSpacing() + 16));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setMinimumSize(380, 200);
    list_->setAccessibleName(QString::fromLatin1(label::kDriveColumn));
    fillList(table);

    searchBox_->setChecked(searchDisk);
    skipBadBox_->setChecked(skipBadClusters);
    onSearchDiskToggled(searchBox_->isChecked());

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(text(uitext::kChoose), QDialogButtonBox::AcceptRole);
    buttons->addButton(text(uitext::kCancel), QDialogButtonBox::RejectRole);
    ok->setDefault(true);

    auto* options = new QHBoxLayout;
    options->addWidget(searchBox_);
    options->addWidget(skipBadBox_);
    options->addStretch();
    options->addWidget(skipButton_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addLayout(options);
    layout->addWidget(buttons);

    connect(searchBox_, &QCheckBox::toggled, this, &CDriveSelectDlg::onSearchDiskToggled);
    connect(skipButton_, &QPushButton::clicked, this, [this] {
        if (onSkipClusters_) onSkipClusters_();
    });
    connect(list_, &QListWidget::itemDoubleClicked, this, &CDriveSelectDlg::choose);
    connect(buttons, &QDialogButtonBox::accepted, this, &CDriveSelectDlg::choose);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

std::optional<DriveListText> driveListText(const DriveEntry& e) {
    switch (e.type) {
    case DriveType::Removable:
        return DriveListText{QString::asprintf(e.letter <= 'B' ? label::kFloppy : label::kRemovableDisk, e.letter),
                             kIconRemovable};
    case DriveType::Fixed:
    case DriveType::RamDisk:
        return DriveListText{QString::asprintf(label::kFixedDisk, e.label.c_str(), e.letter),
                             e.type == DriveType::Fixed ? kIconFixed : kIconRamDisk};
    default:
        return std::nullopt;  // CD-ROMs, network drives and the like are not read sector by sector
    }
}

void CDriveSelectDlg::fillList(const DriveTable& table) {
    for (const DriveEntry& e : table.entries()) {
        const std::optional<DriveListText> shown = driveListText(e);
        if (!shown) continue;
        const QString name = shown->text;
        const int icon = shown->icon;
        auto* item = new QListWidgetItem(itemIcon(icon), name, list_);
        if (!e.readable) {
            // Still listed and selectable: choosing it is how the user learns what to do.
            item->setText(name + text(kNoPermissionMark));
            item->setIcon(QIcon(itemIcon(icon).pixmap(list_->iconSize(), QIcon::Disabled)));
            item->setForeground(list_->palette().brush(QPalette::Disabled, QPalette::Text));
            item->setToolTip(message(msg::kNoPermission, e.path));
        }
        entries_.push_back(e);
        letters_.push_back(e.letter);
    }
}

void CDriveSelectDlg::onSearchDiskToggled(bool on) {
    skipButton_->setEnabled(on);
    skipBadBox_->setEnabled(on);
}

void CDriveSelectDlg::choose() {
    const int row = list_->currentRow();
    if (row < 0 || !list_->item(row)->isSelected()) return;
    const DriveEntry& e = entries_[static_cast<std::size_t>(row)];
    if (!e.readable) {
        if (onUnreadable_) {
            if (!onUnreadable_(e)) return;
        } else {
            QMessageBox::warning(this, message(msg::kTitle), message(msg::kNoPermission, e.path));
            return;
        }
    }
    chosen_ = e.letter;
    accept();
}

std::optional<char> runDriveSelect(QWidget* parent, CQUIDNEYDoc& doc, const DriveTable& table,
                                   std::function<void()> onSkipClusters, std::function<bool(const DriveEntry&)> onUnreadable) {
    CDriveSelectDlg dlg(table, doc.options.searchDisk, doc.options.skipBadClusters, std::move(onSkipClusters), parent);
    dlg.setUnreadableHandler(std::move(onUnreadable));
    if (dlg.exec() != QDialog::Accepted) return std::nullopt;
    doc.options.searchDisk = dlg.searchDisk();
    doc.options.skipBadClusters = dlg.skipBadClusters();
    return dlg.chosenLetter();
}

std::optional<char> runDriveSelect(QWidget* parent, CQUIDNEYDoc& doc, std::function<void()> onSkipClusters) {
    return runDriveSelect(parent, doc, DriveTable::global(), std::move(onSkipClusters));
}

}  // namespace harrow::gui
