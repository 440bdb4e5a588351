// The drive selection, preferences, drive information, splash and help windows.
#include <QtTest>

#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTextBrowser>

#include "ui/gui_icons.h"
#include "ui/gui_text.h"
#include "support/fat_image.h"
#include "ui/about_dlg.h"
#include "ui/drive_info_dlg.h"
#include "ui/drive_select_dlg.h"
#include "ui/preferences_dlg.h"

using namespace harrow;
using namespace harrow::gui;

namespace {

DriveTable sampleTable() {
    DriveTable t;
    auto add = [&](char letter, DriveType type, const char* label, bool readable = true) {
        DriveEntry e;
        e.letter = letter;
        e.type = type;
        e.label = label;
        e.path = std::string("/dev/x") + letter;
        e.readable = readable;
        t.set(e);
    };
    add('A', DriveType::Removable, "");
    add('C', DriveType::Fixed, "DATA");
    add('D', DriveType::RamDisk, "");
    add('E', DriveType::CdRom, "CD");
    add('F', DriveType::Removable, "STICK");
    add('G', DriveType::Remote, "NET");
    add('H', DriveType::Fixed, "LOCKED", false);
    return t;
}

QImage iconImage(const QIcon& icon) { return icon.pixmap(32, 32).toImage(); }

// Runs `drive` on the modal dialog of type T once the event loop has shown it.
template <typename T>
void whenModal(std::function<void(T*)> drive) {
    QTimer::singleShot(0, [drive] {
        auto* dlg = qobject_cast<T*>(QApplication::activeModalWidget());
        QVERIFY(dlg);
        drive(dlg);
    });
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { setLanguage(Lang::Zh); }

    void driveSelectionListsReadableKindsWithTheirIcons() {
        DriveTable table = sampleTable();
        CDriveSelectDlg dlg(table, true, true, {});
        QVERIFY(dlg.letters() == (std::vector<char>{'A', 'C', 'D', 'F', 'H'}));  // no CD-ROM, no network drive
        const QStringList texts{"Floppy (A:)", "DATA (C:)", " (D:)", "Removable disk (F:)", "LOCKED (H:) (无权限)"};
        const int icons[] = {132, 134, 191, 132};
        for (int row = 0; row < texts.size(); ++row)
            QCOMPARE(dlg.driveList()->item(row)->text().section('\n', 0, 0), texts[row]);
        for (int row = 0; row < 4; ++row)
            QVERIFY2(iconImage(dlg.driveList()->item(row)->icon()) == iconImage(itemIcon(icons[row])), qPrintable(texts[row]));
        QVERIFY(dlg.driveList()->item(4)->toolTip().contains("/dev/xH"));
    }

    void driveSelectionChoosesOnlyASelectedDrive() {
        DriveTable table = sampleTable();
        int skipCalls = 0;
        CDriveSelectDlg dlg(table, true, true, [&] { ++skipCalls; });
        dlg.show();
        dlg.choose();
        QVERIFY(dlg.isVisible());
        QVERIFY(!dlg.chosenLetter());

        dlg.skipClustersButton()->click();
        QCOMPARE(skipCalls, 1);
        dlg.searchDiskBox()->click();
        QVERIFY(!dlg.skipClustersButton()->isEnabled());
        QVERIFY(!dlg.skipBadBox()->isEnabled());
        QCOMPARE(dlg.searchDisk(), false);
        dlg.searchDiskBox()->click();
        QVERIFY(dlg.skipClustersButton()->isEnabled() && dlg.skipBadBox()->isEnabled());

        // A drive the user may not open is refused with the way to get access, and the choice stays open.
        QString refusal;
        whenModal<QMessageBox>([&](QMessageBox* box) {
            refusal = box->text();
            box->accept();
        });
        dlg.driveList()->setCurrentRow(4);
        dlg.choose();
        QCOMPARE(refusal, message(noPermissionMessage("/dev/xH"), "/dev/xH"));
        QVERIFY(dlg.isVisible() && !dlg.chosenLetter());

        dlg.driveList()->setCurrentRow(1);
        dlg.choose();
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QVERIFY(dlg.chosenLetter() == 'C');

        CDriveSelectDlg off(table, false, true, {});
        QVERIFY(!off.searchDiskBox()->isChecked() && !off.skipClustersButton()->isEnabled() && !off.skipBadBox()->isEnabled());
    }

    void driveSelectionWritesTheOptionsOnlyOnOk() {
        DriveTable table = sampleTable();
        RecordingPrompts prompts;
        MemorySources sources({});
        CQUIDNEYDoc doc(prompts, sources);
        auto changeAndPress = [](bool ok) {
            return [ok](CDriveSelectDlg* dlg) {
                dlg->searchDiskBox()->click();
                dlg->skipBadBox()->setChecked(false);
                dlg->driveList()->setCurrentRow(2);
                ok ? dlg->choose() : dlg->reject();
            };
        };
        whenModal<CDriveSelectDlg>(changeAndPress(false));
        QVERIFY(!runDriveSelect(nullptr, doc, table, {}));
        QCOMPARE(doc.options.searchDisk, true);
        QCOMPARE(doc.options.skipBadClusters, true);

        whenModal<CDriveSelectDlg>(changeAndPress(true));
        QVERIFY(runDriveSelect(nullptr, doc, table, {}) == 'D');
        QCOMPARE(doc.options.searchDisk, false);
        QCOMPARE(doc.options.skipBadClusters, false);
    }

    void preferencesChangeTheDocumentOnlyOnOk() {
        RecordingPrompts prompts;
        MemorySources sources({});
        CQUIDNEYDoc doc(prompts, sources);
        auto clickAndPress = [](bool ok) {
            return [ok](CPreferencesDlg* dlg) {
                QVERIFY(dlg->showDeletedButton()->isChecked() && dlg->promptButton()->isChecked());
                dlg->hideDeletedButton()->click();
                dlg->forceButton()->click();
                ok ? dlg->accept() : dlg->reject();
            };
        };
        whenModal<CPreferencesDlg>(clickAndPress(false));
        QVERIFY(!runPreferences(nullptr, doc));
        QCOMPARE(doc.options.showDeleted, true);
        QCOMPARE(doc.options.fatPrompt, FatPromptMode::Ask);

        whenModal<CPreferencesDlg>(clickAndPress(true));
        QVERIFY(runPreferences(nullptr, doc));
        QCOMPARE(doc.options.showDeleted, false);
        QCOMPARE(doc.options.fatPrompt, FatPromptMode::Force);
    }

    void driveInformationOfAFatVolume() {
        test::OpenedImage img(test::FatImage::make(16, 16384, 4));
        QVERIFY(img.opened);
        CDriveInfoDlg dlg(img.doc.drive().info());
        QCOMPARE(dlg.valueText(CDriveInfoDlg::kBytesPerSector), QString("512"));
        QCOMPARE(dlg.valueText(CDriveInfoDlg::kSectorsPerCluster), QString("4"));
        QCOMPARE(dlg.valueText(CDriveInfoDlg::kBytesPerCluster), QString("2048"));
        QCOMPARE(dlg.valueText(CDriveInfoDlg::kFileSystem), QString("FAT16"));
        QCOMPARE(dlg.valueText(CDriveInfoDlg::kClusters), QString::number(img.doc.drive().info().clusterCount));

        // 2 MiB NTFS clusters keep a power-of-two code in the boot byte; a count past 2^31 stays whole.
        DriveInfo big;
        big.fsType = FsType::Ntfs;
        big.bytesPerSector = 512;
        big.sectorsPerCluster = 0xF4;
        big.clusterCount = 5'000'000'000;
        CDriveInfoDlg ntfs(big);
        QCOMPARE(ntfs.valueText(CDriveInfoDlg::kSectorsPerCluster), QString("4096"));
        QCOMPARE(ntfs.valueText(CDriveInfoDlg::kBytesPerCluster), QString("2097152"));
        QCOMPARE(ntfs.valueText(CDriveInfoDlg::kClusters), QString("5000000000"));
    }

    void splashClosesItselfAfterSeventeenTicks() {
        CSplashDlg splash;
        QElapsedTimer clock;
        clock.start();
        splash.show();
        QTRY_VERIFY_WITH_TIMEOUT(!splash.isVisible(), 5000);
        QCOMPARE(splash.ticks(), 17);
        QVERIFY(clock.elapsed() >= 16 * CSplashDlg::kTickMs);
    }

    // The help lives in the resources of a static library, which are easily left unregistered.
    void helpShowsItsPage() {
        showHelp(nullptr);
        QTextBrowser* help = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* b = qobject_cast<QTextBrowser*>(w); b && b->isVisible()) help = b;
        QVERIFY(help);
        QVERIFY(help->toPlainText().contains("Harrow 帮助"));
        help->close();
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
