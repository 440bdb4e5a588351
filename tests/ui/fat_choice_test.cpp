// The FAT-copy choice: CSaveWithFatDlg, CInvalidFatDlg and CDirFatDlg.
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

#include "ui/gui_icons.h"
#include "ui/saving/fat_choice_dlg.h"
#include "support/fat_image.h"
#include "support/ntfs_image.h"

using namespace harrow;
using namespace harrow::gui;

namespace {

constexpr std::uint32_t kLive = 10;     // 1024 bytes; its chain fits in FAT1 only
constexpr std::uint32_t kDeleted = 20;  // deleted: free in both copies
constexpr std::uint32_t kSecond = 30;   // 1024 bytes; its chain fits in FAT2 only
constexpr std::uint32_t kAlike = 40;    // 1024 bytes; both copies give the same chain

QImage picture(const QListWidgetItem* row) { return row->icon().pixmap(16, 16).toImage(); }
QImage picture(int icon) { return itemIcon(icon).pixmap(16, 16).toImage(); }

}  // namespace

class FatChoiceTest : public QObject {
    Q_OBJECT
    std::unique_ptr<test::OpenedImage> opened;
    FileItem live, deleted, second, alike;
    CQUIDNEYDoc& doc() { return opened->doc; }

private slots:
    void initTestCase() {
        setLanguage(Lang::Zh);
        test::FatImage img = test::FatImage::make(16, 4096, 1);
        img.putEntry(img.rootOffset(), "LIVE    BIN", 0x20, kLive, 1024);
        img.putEntry(img.rootOffset() + 32, "\xE5" "ELETED BIN", 0x20, kDeleted, 1024);
        img.chain({kLive, kLive + 1}, 0);
        img.chain({kLive}, 1);
        img.putEntry(img.rootOffset() + 64, "SECOND  BIN", 0x20, kSecond, 1024);
        img.chain({kSecond}, 0);
        img.chain({kSecond, kSecond + 1}, 1);
        img.putEntry(img.rootOffset() + 96, "ALIKE   BIN", 0x20, kAlike, 1024);
        img.chain({kAlike, kAlike + 1}, 0);
        img.chain({kAlike, kAlike + 1}, 1);
        opened = std::make_unique<test::OpenedImage>(img);
        QVERIFY(opened->opened);
        for (const FileItem& item : doc().rootList) {
            if (item.firstCluster() == kLive) live = item;
            if (item.firstCluster() == kDeleted) deleted = item;
            if (item.firstCluster() == kSecond) second = item;
            if (item.firstCluster() == kAlike) alike = item;
        }
        QCOMPARE(alike.firstCluster(), kAlike);
    }

    void aVolumeWithoutFatCopiesAsksNothing() {
        test::NtfsImage img;
        test::OpenedNtfs ntfs(img);
        const FatTable& none = ntfs.doc.drive().fat();
        QCOMPARE(none.copies(), 0);
        QCOMPARE(runSaveWithFat(nullptr, none, live), std::optional<FatIndex>(kNoFat));
        QCOMPARE(runDirFat(nullptr, none, 1), std::optional<FatIndex>(1));
    }

    // OK takes the row shown chosen: the first copy that describes the file, else no FAT.
    void okTakesTheCopyTheVerdictNames() {
        struct Case {
            const FileItem* item;
            FatIndex expected;
        };
        for (const Case& c : {Case{&live, 0}, Case{&second, 1}, Case{&deleted, 0}}) {
            CFatChoiceDlg dlg(CFatChoiceDlg::Kind::SaveWith, doc().drive().fat(), c.item);
            QCOMPARE(dlg.choice(), kNoFat);
            QVERIFY(dlg.windowTitle().endsWith(QString::fromStdString(c.item->name)));
            dlg.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dlg));
            dlg.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
            QCOMPARE(dlg.result(), int(QDialog::Accepted));
            QCOMPARE(dlg.choice(), c.expected);
        }
        // The failed copy is not offered as the choice.
        CFatChoiceDlg invalid(CFatChoiceDlg::Kind::InvalidFat, doc().drive().fat(), &deleted, 0);
        invalid.choose();
        QCOMPARE(invalid.choice(), 1);
    }

    void noQuestionWhereEveryCopyGivesTheSameChain() {
        bool asked = false;
        QTimer::singleShot(0, [&] {
            if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                asked = true;
                d->reject();
            }
        });
        QCOMPARE(runSaveWithFat(nullptr, doc().drive().fat(), alike), std::optional<FatIndex>(0));
        QVERIFY(!asked);
        QTimer::singleShot(0, [&] {
            if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                asked = true;
                d->reject();
            }
        });
        QCOMPARE(runSaveWithFat(nullptr, doc().drive().fat(), live), std::nullopt);
        QVERIFY(asked);
    }

    // A deleted file's chain is gone, but its first cluster is free: usable in both copies.
    void iconsTellWhichCopiesDescribeTheFile() {
        CFatChoiceDlg forLive(CFatChoiceDlg::Kind::SaveWith, doc().drive().fat(), &live);
        CFatChoiceDlg forDeleted(CFatChoiceDlg::Kind::SaveWith, doc().drive().fat(), &deleted);
        QCOMPARE(picture(forLive.list()->item(0)), picture(162));
        QCOMPARE(picture(forLive.list()->item(1)), picture(197));
        QCOMPARE(picture(forLive.list()->item(2)), picture(199));
        QCOMPARE(picture(forDeleted.list()->item(1)), picture(197));
        QCOMPARE(picture(forDeleted.list()->item(2)), picture(197));
    }

    void invalidFatNamesTheFailedCopyAndDirFatStartsOnTheCurrentOne() {
        CFatChoiceDlg invalid(CFatChoiceDlg::Kind::InvalidFat, doc().drive().fat(), &live, 1);
        QCOMPARE(invalid.label()->text(), QStringLiteral(" FAT2 是无效的\n 选择另一个 FAT"));
        QCOMPARE(invalid.choice(), kNoFat);
        CFatChoiceDlg dir(CFatChoiceDlg::Kind::DirFat, doc().drive().fat(), nullptr, 1);
        QCOMPARE(dir.list()->selectedItems(), QList<QListWidgetItem*>{dir.list()->item(2)});
        dir.list()->item(0)->setSelected(true);
        dir.choose();
        QCOMPARE(dir.choice(), kNoFat);
    }
};

QTEST_MAIN(FatChoiceTest)
#include "fat_choice_test.moc"
