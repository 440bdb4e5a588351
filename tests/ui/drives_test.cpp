// Choosing what to open: the partitions of a whole-disk image, and the drive dialog's details.
#include <QtTest>

#include <QListWidget>
#include <QProcess>
#include <QTemporaryDir>
#include <QTreeWidget>

#include "common/prompts.h"
#include "ui/drive_select_dlg.h"
#include "ui/gui_text.h"
#include "ui/main_frame.h"
#include "ui/partition_select_dlg.h"
#include "volume/drive_table.h"

using namespace harrow;
using namespace harrow::gui;

namespace {

constexpr std::uint64_t kMiB = 1 << 20;

// Runs `act` on the next modal dialog, a T, once it shows.
template <typename T>
void onModal(std::function<void(T*)> act) {
    QTimer::singleShot(0, [act] {
        auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
        if (!dialog) return onModal<T>(act);
        act(dialog);
    });
}

// A 40 MiB disk as sfdisk lays it out: a FAT16 volume "PHOTOS" at 1 MiB, and a Linux partition
// with nothing this program reads.
QString makeDisk(const QTemporaryDir& dir) {
    const QString disk = dir.filePath("disk.raw");
    QProcess sh;
    sh.start("sh", {"-ec", "truncate -s 40M \"$0\"; printf 'label: dos\\nstart=1MiB, size=16MiB, type=6\\n"
                           "start=20MiB, size=8MiB, type=83\\n' | sfdisk -q --no-reread --no-tell-kernel \"$0\"; "
                           "mkfs.fat -F 16 -n PHOTOS --offset 2048 \"$0\" 16384",
                    disk});
    return sh.waitForFinished(60000) && sh.exitCode() == 0 ? disk : QString();
}

}  // namespace

class DrivesTest : public QObject {
    Q_OBJECT
private slots:
    void aWholeDiskOpensThePartitionChosen() {
        QTemporaryDir dir;
        const QString disk = makeDisk(dir);
        if (disk.isEmpty()) QSKIP("needs sfdisk and mkfs.fat");
        RecordingPrompts prompts;
        CQUIDNEYDoc doc(prompts);
        CMainFrame frame(doc, prompts);

        QStringList seen;
        bool secondOpens = true;
        onModal<CPartitionSelectDlg>([&](CPartitionSelectDlg* d) {
            QTreeWidget* list = d->partitionList();
            for (int r = 0; r < list->topLevelItemCount(); ++r) {
                const QTreeWidgetItem* row = list->topLevelItem(r);
                seen << QStringList{row->text(0), row->text(1), row->text(2), row->text(3)}.join('|');
            }
            // The Linux partition holds nothing to open; the FAT one is offered first.
            secondOpens = list->topLevelItem(1)->flags() & Qt::ItemIsEnabled;
            QCOMPARE(list->currentItem(), list->topLevelItem(0));
            d->choose();
        });
        QVERIFY(frame.openSource(disk));
        QVERIFY(!secondOpens);
        QCOMPARE(seen, (QStringList{"1|FAT16|16 MiB|PHOTOS", QStringLiteral("2|%1|8 MiB|").arg(text({"(无 FAT 或 NTFS)", "(no FAT or NTFS)"}))}));
        QVERIFY(prompts.messages.empty());
        const auto& all = DriveTable::global().entries();
        const auto opened = std::find_if(all.begin(), all.end(), [&](const DriveEntry& e) { return e.path == ss(disk); });
        QVERIFY(opened != all.end() && opened->offset == kMiB && opened->length == 16 * kMiB && opened->partition == 1);
    }

    void theDriveDialogSaysWhatEachDriveIs() {
        QTemporaryDir dir;
        const QString disk = makeDisk(dir);
        if (disk.isEmpty()) QSKIP("needs sfdisk and mkfs.fat");
        DriveTable table;
        QVERIFY(table.addAssignments("C=" + disk.toStdString()));
        DriveEntry locked;
        locked.letter = 'D';
        locked.path = dir.filePath("locked").toStdString();
        locked.readable = false;
        locked.model = "SAFE DISK 2000";
        locked.serial = "WD-1234";
        table.set(locked);
        RecordingPrompts prompts;
        CQUIDNEYDoc doc(prompts);
        QStringList rows, tips;
        onModal<CDriveSelectDlg>([&](CDriveSelectDlg* d) {
            for (int r = 0; r < d->driveList()->count(); ++r) {
                rows << d->driveList()->item(r)->text().section('\n', 1);
                tips << d->driveList()->item(r)->toolTip();
            }
            d->reject();
        });
        QVERIFY(!runDriveSelect(nullptr, doc, table, {}));
        QCOMPARE(rows, (QStringList{"FAT16, 16 MiB, " + disk + "@1", qs(locked.path)}));
        QVERIFY(tips[1].contains("SAFE DISK 2000") && tips[1].contains("WD-1234") && tips[1].contains(qs(locked.path)));
    }
};

QTEST_MAIN(DrivesTest)
#include "drives_test.moc"
