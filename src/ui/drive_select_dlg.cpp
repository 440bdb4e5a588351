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
#include "volume/partition_table.h"

namespace harrow::gui {
namespace {

constexpr UiText kCaption{"选择驱动器", "Select drive"};
constexpr UiText kSearchDisk{"搜索磁盘", "Search disk"};
constexpr UiText kSkipBadClusters{"跳过坏簇", "Skip bad clusters"};
constexpr UiText kSkipClusters{"跳过簇", "Skip clusters..."};
constexpr UiText kNoPermissionMark{" (无权限)", " (no permission)"};
constexpr UiText kModel{"型号：%1", "Model: %1"};
constexpr UiText kSerial{"序列号：%1", "Serial number: %1"};

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

    // One drive a row: its name, and beneath it what tells drives of the same name apart.
    list_->setViewMode(QListView::ListMode);
    list_->setIconSize(QSize(32, 32));
    list_->setSpacing(2);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setMinimumSize(460, 240);
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

QString driveDetails(const DriveEntry& e) {
    QStringList parts;
    if (!e.fileSystem.empty()) parts << qs(e.fileSystem);
    if (e.bytes != 0) parts << qs(sizeText(e.bytes));
    parts << qs(e.partition ? e.path + "@" + std::to_string(e.partition) : e.path);
    return parts.join(QStringLiteral(", "));
}

void CDriveSelectDlg::fillList(const DriveTable& table) {
    for (const DriveEntry& e : table.entries()) {
        const std::optional<DriveListText> shown = driveListText(e);
        if (!shown) continue;
        const QString name = shown->text + (e.readable ? QString() : text(kNoPermissionMark));
        const int icon = shown->icon;
        auto* item = new QListWidgetItem(itemIcon(icon), name + QLatin1Char('\n') + driveDetails(e), list_);
        QStringList tip;
        if (!e.model.empty()) tip << text(kModel).arg(qs(e.model));
        if (!e.serial.empty()) tip << text(kSerial).arg(qs(e.serial));
        if (!e.readable) {
            // Still listed and selectable: choosing it is how the user learns what to do.
            item->setIcon(QIcon(itemIcon(icon).pixmap(list_->iconSize(), QIcon::Disabled)));
            item->setForeground(list_->palette().brush(QPalette::Disabled, QPalette::Text));
            tip << message(noPermissionMessage(e.path), e.path);
        }
        item->setToolTip(tip.join(QLatin1Char('\n')));
        // As tall as both lines in the fonts that draw them: the view's own guess let a Chinese
        // first line push the second out of the row.
        const QRect lines = list_->fontMetrics().boundingRect(QRect(0, 0, 2000, 2000), Qt::AlignLeft, item->text());
        item->setSizeHint(QSize(lines.width() + list_->iconSize().width() + 16,
                                std::max(lines.height(), list_->iconSize().height()) + 8));
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
            QMessageBox::warning(this, message(msg::kTitle), message(noPermissionMessage(e.path), e.path));
            return;
        }
    }
    chosen_ = e.letter;
    accept();
}

std::optional<char> runDriveSelect(QWidget* parent, CQUIDNEYDoc& doc, const DriveTable& table,
                                   std::function<void()> onSkipClusters, std::function<bool(const DriveEntry&)> onUnreadable) {
    // What each drive holds and how large it is, on a copy: the table keeps what it knew.
    DriveTable shown = table;
    shown.probeFileSystems();
    CDriveSelectDlg dlg(shown, doc.options.searchDisk, doc.options.skipBadClusters, std::move(onSkipClusters), parent);
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
