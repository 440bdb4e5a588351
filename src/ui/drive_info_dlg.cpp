#include "ui/drive_info_dlg.h"

#include <QBoxLayout>

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/gui_text.h"

namespace harrow::gui {
namespace {

constexpr UiText kCaption{"驱动器信息", "Drive information"};
constexpr UiText kSystemInfo{"系统信息", "System information"};
constexpr UiText kClusterInfo{"簇信息", "Cluster information"};
constexpr UiText kVolumeLabel{"卷标:", "Volume label:"};
constexpr UiText kFileSystemId{"文件系统 ID:", "File system ID:"};
constexpr UiText kBytesPerSectorText{"每扇区字节:", "Bytes per sector:"};
constexpr UiText kHeadsText{"磁头:", "Heads:"};
constexpr UiText kSectorsPerTrackText{"每磁道扇区:", "Sectors per track:"};
constexpr UiText kSectorsPerClusterText{"每簇扇区:", "Sectors per cluster:"};
constexpr UiText kBytesPerClusterText{"每簇字节:", "Bytes per cluster:"};
constexpr UiText kClustersText{"簇:", "Clusters:"};

}  // namespace

CDriveInfoDlg::CDriveInfoDlg(const DriveInfo& info, QWidget* parent) : QDialog(parent) {
    setWindowTitle(text(kCaption));
    // The cluster size as a number, not the boot sector's byte: NTFS volumes with clusters of 128
    // sectors and more keep a power-of-two code there. Products are 64-bit, and the cluster
    // count is shown whole and unsigned, so no large volume shows a wrapped or negative value.
    const std::uint64_t sectorsPerCluster = info.clusterSectors();
    const struct {
        int id;
        const UiText& label;
        QString value;
        bool clusterGroup;
    } rows[] = {
        {kLabel, kVolumeLabel, qs(info.label), false},
        {kFileSystem, kFileSystemId, qs(info.fsName), false},
        {kBytesPerSector, kBytesPerSectorText, QString::number(info.bytesPerSector), false},
        {kHeads, kHeadsText, QString::number(info.heads), false},
        {kSectorsPerTrack, kSectorsPerTrackText, QString::number(info.sectorsPerTrack), false},
        {kSectorsPerCluster, kSectorsPerClusterText, QString::number(sectorsPerCluster), true},
        {kBytesPerCluster, kBytesPerClusterText, QString::number(sectorsPerCluster * info.bytesPerSector), true},
        {kClusters, kClustersText, QString::number(info.clusterCount), true},
    };

    auto* system = new QGroupBox(text(kSystemInfo), this);
    auto* clusters = new QGroupBox(text(kClusterInfo), this);
    auto* systemForm = new QFormLayout(system);
    auto* clusterForm = new QFormLayout(clusters);
    for (const auto& row : rows) {
        auto* value = new QLabel(row.value);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        (row.clusterGroup ? clusterForm : systemForm)->addRow(text(row.label), value);
        values_[row.id] = value;
    }

    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(text(uitext::kOk), QDialogButtonBox::AcceptRole)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(system);
    layout->addWidget(clusters);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString CDriveInfoDlg::valueText(int value) const {
    auto it = values_.find(value);
    return it == values_.end() ? QString() : it->second->text();
}

void runDriveInfo(QWidget* parent, CQUIDNEYDoc& doc) {
    CDriveInfoDlg dlg(doc.drive().info(), parent);
    // A volume read through its backup boot sector says so here too.
    if (const std::uint64_t backup = doc.drive().bootSectorUsed()) {
        auto* note = new QLabel(message(msg::kBackupBootSector, static_cast<unsigned long>(backup)), &dlg);
        note->setWordWrap(true);
        if (auto* box = qobject_cast<QBoxLayout*>(dlg.layout())) box->insertWidget(box->count() - 1, note);
    }
    dlg.exec();
}

}  // namespace harrow::gui
