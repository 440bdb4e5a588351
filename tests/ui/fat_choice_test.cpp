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

QImage picture(const QListWidgetItem* row) { return row->icon().pixmap(16, 16).toImage(); }
QImage picture(int icon) { return itemIcon(icon).pixmap(16, 16).toImage(); }

}  // namespace

class FatChoiceTest : public QObject {
    Q_OBJECT
    std::unique_ptr<test::OpenedImage> opened;
    FileItem live, deleted;
    CQUIDNEYDoc& doc() { return opened->doc; }

private slots:
    void initTestCase() {
        setLanguage(Lang::Zh);
        test::FatImage img = test::FatImage::make(16, 4096, 1);
        img.putEntry(img.rootOffset(), "LIVE    BIN", 0x20, kLive, 1024);
        img.putEntry(img.rootOffset() + 32, "\xE5" "ELETED BIN", 0x20, kDeleted, 1024);
        img.chain({kLive, kLive + 1}, 0);
        img.chain({kLive}, 1);
        opened = std::make_unique<test::OpenedImage>(img);
        QVERIFY(opened->opened);
        for (const FileItem& item : doc().rootList) (item.firstCluster() == kLive ? live : deleted) = item;
    }

    void aVolumeWithoutFatCopiesAsksNothing() {
        test::NtfsImage img;
        test::OpenedNtfs ntfs(img);
        const FatTable& none = ntfs.doc.drive().fat();
        QCOMPARE(none.copies(), 0);
        QCOMPARE(runSaveWithFat(nullptr, none, live), std::optional<FatIndex>(kNoFat));
        QCOMPARE(runDirFat(nullptr, none, 1), std::optional<FatIndex>(1));
    }

    void okWithoutASelectionKeepsTheDialogOpen() {
        CFatChoiceDlg dlg(CFatChoiceDlg::Kind::SaveWith, doc().drive().fat(), &live);
        QCOMPARE(dlg.choice(), kNoFat);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QPushButton* ok = dlg.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
        ok->click();
        QVERIFY(dlg.isVisible());
        dlg.list()->item(2)->setSelected(true);
        ok->click();
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.choice(), 1);
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
