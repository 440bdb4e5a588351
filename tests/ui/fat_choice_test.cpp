// The FAT-copy choice (Part 5.3): CSaveWithFatDlg, CInvalidFatDlg and CDirFatDlg.
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

#include "common/gui_icons.h"
#include "saving/fat_choice_dlg.h"
#include "support/fat_image.h"
#include "support/ntfs_image.h"

using namespace harrow;
using namespace harrow::gui;
using test::FatImage;

namespace {

constexpr std::uint32_t kLive = 10;     // 1024 bytes; its chain fits in FAT1 only
constexpr std::uint32_t kDeleted = 20;  // deleted: free in both copies

QImage picture(const QIcon& icon) { return icon.pixmap(16, 16).toImage(); }

void clickOk(QDialog& dlg) {
    dlg.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
}

}  // namespace

class FatChoiceTest : public QObject {
    Q_OBJECT
    std::unique_ptr<test::OpenedImage> opened;
    FileItem live, deleted;
    CQUIDNEYDoc& doc() { return opened->doc; }

private slots:
    void initTestCase() {
        setLanguage(Lang::Zh);
        FatImage img = FatImage::make(16, 4096, 1);
        img.putEntry(img.rootOffset(), "LIVE    BIN", 0x20, kLive, 1024);
        img.putEntry(img.rootOffset() + 32, "\xE5" "ELETED BIN", 0x20, kDeleted, 1024);
        img.chain({kLive, kLive + 1}, 0);
        img.chain({kLive}, 1);
        opened = std::make_unique<test::OpenedImage>(img);
        QVERIFY(opened->opened);
        for (const FileItem& item : doc().rootList) (item.firstCluster() == kLive ? live : deleted) = item;
        QVERIFY(deleted.deleted);
        QCOMPARE(doc().drive().fat().copies(), 2);
    }

    void aVolumeWithoutFatCopiesAsksNothing() {
        test::NtfsImage img;
        test::OpenedNtfs ntfs(img);
        QCOMPARE(ntfs.doc.drive().fat().copies(), 0);
        ntfs.doc.saveFat = 1;
        ntfs.doc.dirFat = 1;
        QVERIFY(runSaveWithFat(nullptr, ntfs.doc, live));
        QCOMPARE(ntfs.doc.saveFat, kNoFat);
        QVERIFY(runDirFat(nullptr, ntfs.doc));
        QCOMPARE(ntfs.doc.dirFat, 1);
    }

    void okWithoutASelectionKeepsTheDialogOpen() {
        doc().saveFat = 0;
        CFatChoiceDlg dlg(CFatChoiceDlg::Kind::SaveWith, doc(), &live);
        QCOMPARE(doc().saveFat, kNoFat);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QCOMPARE(dlg.list()->count(), 3);
        QCOMPARE(dlg.list()->item(0)->text(), QStringLiteral("无 FAT"));
        QCOMPARE(dlg.list()->item(2)->text(), QStringLiteral("FAT2"));
        QVERIFY(dlg.list()->selectedItems().isEmpty());
        clickOk(dlg);
        QVERIFY(dlg.isVisible());
        dlg.list()->item(2)->setSelected(true);
        clickOk(dlg);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(doc().saveFat, 1);
    }

    void iconsTellUsableCopies() {
        CFatChoiceDlg forLive(CFatChoiceDlg::Kind::SaveWith, doc(), &live);
        QCOMPARE(picture(forLive.list()->item(0)->icon()), picture(itemIcon(162)));
        QCOMPARE(picture(forLive.list()->item(1)->icon()), picture(itemIcon(197)));
        QCOMPARE(picture(forLive.list()->item(2)->icon()), picture(itemIcon(199)));
        // The deleted file's chain is gone, but its first cluster is free: usable in both copies.
        CFatChoiceDlg forDeleted(CFatChoiceDlg::Kind::SaveWith, doc(), &deleted);
        QCOMPARE(picture(forDeleted.list()->item(1)->icon()), picture(itemIcon(197)));
        QCOMPARE(picture(forDeleted.list()->item(2)->icon()), picture(itemIcon(197)));
    }

    void invalidFatNamesTheCopyThatFailed() {
        doc().saveFat = 1;
        CFatChoiceDlg dlg(CFatChoiceDlg::Kind::InvalidFat, doc(), &live);
        QCOMPARE(dlg.label()->text(), QStringLiteral(" FAT2 是无效的\n 选择另一个 FAT"));
        QCOMPARE(doc().saveFat, kNoFat);
        dlg.reject();
        QCOMPARE(doc().saveFat, kNoFat);
    }

    void dirFatStartsOnTheCurrentCopy() {
        doc().dirFat = 1;
        CFatChoiceDlg dlg(CFatChoiceDlg::Kind::DirFat, doc(), nullptr);
        QCOMPARE(dlg.list()->selectedItems(), QList<QListWidgetItem*>{dlg.list()->item(2)});
        dlg.list()->item(0)->setSelected(true);
        dlg.choose();
        QCOMPARE(doc().dirFat, kNoFat);
    }
};

QTEST_MAIN(FatChoiceTest)
#include "fat_choice_test.moc"
