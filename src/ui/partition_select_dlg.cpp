#include "ui/partition_select_dlg.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/gui_text.h"
#include "volume/partition_table.h"

namespace harrow::gui {
namespace {

constexpr UiText kCaption{"选择分区", "Select partition"};
constexpr UiText kIntro{"%1 是一个已分区的磁盘。请选择要打开的分区：", "%1 is a partitioned disk. Choose the partition to open:"};
constexpr UiText kPartition{"分区", "Partition"};
constexpr UiText kFileSystem{"文件系统", "File system"};
constexpr UiText kSize{"大小", "Size"};
constexpr UiText kLabel{"卷标", "Label"};
constexpr UiText kNoVolume{"(无 FAT 或 NTFS)", "(no FAT or NTFS)"};
constexpr UiText kNoneToOpen{"%1 是一个已分区的磁盘，但其中没有 FAT 或 NTFS 分区。",
                             "%1 is a partitioned disk, but none of its partitions holds FAT or NTFS."};

}  // namespace

CPartitionSelectDlg::CPartitionSelectDlg(const QString& disk, std::vector<DriveEntry> partitions, QWidget* parent)
    : QDialog(parent), list_(new QTreeWidget(this)), partitions_(std::move(partitions)) {
    setWindowTitle(text(kCaption));
    auto* intro = new QLabel(text(kIntro).arg(disk), this);
    intro->setWordWrap(true);

    list_->setRootIsDecorated(false);
    list_->setHeaderLabels({text(kPartition), text(kFileSystem), text(kSize), text(kLabel)});
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    QTreeWidgetItem* first = nullptr;
    for (const DriveEntry& p : partitions_) {
        auto* row = new QTreeWidgetItem(list_, {QString::number(p.partition),
                                                p.fileSystem.empty() ? text(kNoVolume) : qs(p.fileSystem),
                                                qs(sizeText(p.length.value_or(0))), qs(p.label)});
        row->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
        // Listed so the disk is seen whole, but there is nothing in it this program reads.
        if (p.fileSystem.empty()) row->setFlags(row->flags() & ~(Qt::ItemIsEnabled | Qt::ItemIsSelectable));
        else if (!first) first = row;
    }
    if (first) list_->setCurrentItem(first);
    for (int c = 0; c < list_->columnCount(); ++c) list_->resizeColumnToContents(c);
    list_->setMinimumSize(420, 160);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(text(uitext::kChoose), QDialogButtonBox::AcceptRole);
    buttons->addButton(text(uitext::kCancel), QDialogButtonBox::RejectRole);
    ok->setDefault(true);
    ok->setEnabled(first != nullptr);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(list_);
    layout->addWidget(buttons);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, &CPartitionSelectDlg::choose);
    connect(buttons, &QDialogButtonBox::accepted, this, &CPartitionSelectDlg::choose);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void CPartitionSelectDlg::choose() {
    QTreeWidgetItem* row = list_->currentItem();
    if (!row || !(row->flags() & Qt::ItemIsEnabled)) return;
    const int index = list_->indexOfTopLevelItem(row);
    if (index < 0) return;
    chosen_ = partitions_[static_cast<std::size_t>(index)];
    accept();
}

DiskOpen choosePartition(QWidget* parent, const std::string& path, DriveTable& table) {
    auto parts = partitionEntries(path);
    if (!parts) return {};
    const bool any = std::any_of(parts->begin(), parts->end(), [](const DriveEntry& p) { return !p.fileSystem.empty(); });
    if (!any) {
        QMessageBox::warning(parent, message(msg::kTitle), text(kNoneToOpen).arg(qs(path)));
        return {true, std::nullopt};
    }
    CPartitionSelectDlg dlg(qs(path), std::move(*parts), parent);
    if (dlg.exec() != QDialog::Accepted || !dlg.chosen()) return {true, std::nullopt};
    const DriveEntry& p = *dlg.chosen();
    const std::optional<char> letter = table.registerPath(p.path, p.offset, p.length);
    if (!letter) {
        QMessageBox::warning(parent, message(msg::kTitle), message(msg::kCannotOpenDrive));
        return {true, std::nullopt};
    }
    // Listed from now on as what it is: PATH@N with its label, not the whole disk.
    DriveEntry registered = p;
    registered.letter = *letter;
    table.set(std::move(registered));
    return {true, letter};
}

}  // namespace harrow::gui
