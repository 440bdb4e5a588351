// What the opened drive's description record says of the volume: label, file system, geometry
// and clusters.
#pragma once

#include <QDialog>
#include <map>

#include "document/document.h"
#include "volume/drive_info.h"

class QLabel;

namespace harrow::gui {

class CDriveInfoDlg : public QDialog {
    Q_OBJECT
public:
    // The controls of the values, by their ids.
    enum Value : int {
        kLabel = 1040,
        kBytesPerSector = 1041,
        kSectorsPerCluster = 1042,
        kBytesPerCluster = 1043,
        kHeads = 1044,
        kSectorsPerTrack = 1045,
        kClusters = 1046,
        kFileSystem = 1053,
    };

    explicit CDriveInfoDlg(const DriveInfo& info, QWidget* parent = nullptr);

    // The text shown for `value`; empty for an id the dialog does not have.
    QString valueText(int value) const;

private:
    std::map<int, QLabel*> values_;
};

void runDriveInfo(QWidget* parent, CQUIDNEYDoc& doc);

}  // namespace harrow::gui
