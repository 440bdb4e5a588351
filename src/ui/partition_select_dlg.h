// The partitions of a whole disk (a disk image or a disk device opened by name): which one to
// open, since the disk itself is no volume.
#pragma once

#include <QDialog>
#include <optional>
#include <string>
#include <vector>

#include "volume/drive_table.h"

class QTreeWidget;

namespace harrow::gui {

class CPartitionSelectDlg : public QDialog {
    Q_OBJECT
public:
    CPartitionSelectDlg(const QString& disk, std::vector<DriveEntry> partitions, QWidget* parent = nullptr);

    // Set once the dialog closed with OK.
    const std::optional<DriveEntry>& chosen() const { return chosen_; }
    QTreeWidget* partitionList() const { return list_; }

    // OK and a double click: choose the selected partition, if it holds a volume.
    void choose();

private:
    QTreeWidget* list_;
    std::vector<DriveEntry> partitions_;  // parallel to the rows
    std::optional<DriveEntry> chosen_;
};

// `path` as a whole disk: `disk` is false when it holds no partition table (open it as it is);
// otherwise the user has chosen one of its partitions, registered in `table` under `letter`, or
// none when they cancelled (or no letter is free, said).
struct DiskOpen {
    bool disk = false;
    std::optional<char> letter;
};
DiskOpen choosePartition(QWidget* parent, const std::string& path, DriveTable& table = DriveTable::global());

}  // namespace harrow::gui
