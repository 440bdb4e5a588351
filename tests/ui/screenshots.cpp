// Renders the windows a user sees into PNG files, in Chinese and in English, so that a person can
// look at every one of them: `make screenshots` writes them to build/screenshots/.
//
// usage: harrow_screenshots OUTDIR NTFS_SAMPLE.raw.gz
#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

#include "ui/gui_text.h"
#include "ui/scan/scan_dlg.h"
#include "ui/scan/skip_ranges_dlg.h"
#include "support/sample_volume.h"
#include "ui/qt_prompts.h"
#include "ui/about_dlg.h"
#include "ui/drive_info_dlg.h"
#include "ui/drive_select_dlg.h"
#include "ui/main_frame.h"
#include "ui/preferences_dlg.h"
#include "ui/viewers.h"
#include "volume/drive_table.h"

using namespace harrow;
using namespace harrow::gui;
using harrow::test::driveEntry;

namespace {


QDir out;
QString suffix;

void settle() {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

void shoot(QWidget& w, const QString& name) {
    w.show();
    settle();
    const QString path = out.filePath(name + suffix + ".png");
    if (!w.grab().save(path)) std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
    else std::printf("%s\n", qPrintable(path));
}

int rowOf(CQUIDNEYView& v, const QString& name) {
    for (int r = 0; r < v.model().itemCount(); ++r)
        if (v.model().shownName(r) == name) return r;
    return -1;
}

void selectRow(CQUIDNEYView& v, int row) {
    v.listView()->selectionModel()->select(v.model().index(row, 0),
                                           QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    v.listView()->selectionModel()->setCurrentIndex(v.model().index(row, 0), QItemSelectionModel::NoUpdate);
}

void fatWindows() {
    RecordingPrompts prompts;
    MemorySources sources(test::makeSampleFat().bytes);
    CQUIDNEYDoc doc(prompts, sources);
    CMainFrame frame(doc, prompts);
    frame.resize(960, 600);
    frame.show();
    frame.openWith([&](GuiHost& host) { return doc.openDrive('E', host); });
    CQUIDNEYView& v = frame.view();

    frame.action(ID_VIEW_DETAILS)->trigger();
    selectRow(v, rowOf(v, "#EPORT.TXT"));
    shoot(frame, "main-details-fat");

    v.enterRow(rowOf(v, "Documents"));
    frame.action(ID_SELECT_DELETED)->trigger();
    shoot(frame, "main-directory-fat");

    frame.action(ID_LIST_ALLDIRS)->trigger();
    frame.action(ID_VIEW_LARGEICON)->trigger();
    shoot(frame, "main-icons-alldirs");

    frame.action(ID_LIST_BASICROOT)->trigger();
    frame.action(ID_VIEW_LIST)->trigger();
    shoot(frame, "main-list-fat");

    frame.action(ID_VIEW_DETAILS)->trigger();
    const FileItem readme = v.model().itemAt(rowOf(v, "readme.txt"));
    v.enterRow(rowOf(v, "Documents"));
    const FileItem report = v.model().itemAt(rowOf(v, "Report 2024.txt"));
    {
        CViewHexDlg hex(doc, report, 0, &frame);
        hex.resize(680, 420);
        shoot(hex, "hex-viewer");
        CViewTextDlg text(doc, readme, 0, &frame);
        text.resize(560, 360);
        shoot(text, "text-viewer");
    }

    CPreferencesDlg preferences(doc.options.showDeleted, doc.options.fatPrompt, &frame);
    shoot(preferences, "preferences");
    CDriveInfoDlg info(doc.drive().info(), &frame);
    shoot(info, "drive-information");
    CAboutDlg about(&frame);
    shoot(about, "about");

    doc.skipRanges = {{100, 150}, {300, 400}};
    CSkipRangesDlg skip(doc, &frame);
    shoot(skip, "skip-ranges");

    CScanDlg scan(doc, &frame);
    scan.setStartWhenShown(false);
    ScanProgress p;
    p.current = 41230;
    p.total = 130000;
    p.hits = 3;
    p.percent = 31;
    p.elapsedSeconds = 74;
    p.remainingSeconds = 160;
    scan.showProgress(p);
    scan.addHitLines({"3 => Documents", "4 => PHOTOS", "40 => #LD"});
    shoot(scan, "scan-dialog");
}

void driveSelection() {
    DriveTable table;
    table.set(driveEntry('A', DriveType::Removable, "", "/dev/fd0", 0));
    table.set(driveEntry('C', DriveType::Fixed, "SYSTEM", "/dev/sda1", 0));
    table.set(driveEntry('D', DriveType::Fixed, "DATA", "/dev/sda2", 0));
    table.set(driveEntry('E', DriveType::Removable, "CAMERA", "/dev/sdb1", 0));
    table.set(driveEntry('F', DriveType::RamDisk, "", "/dev/ram0", 0));
    RecordingPrompts prompts;
    CQUIDNEYDoc doc(prompts);
    CDriveSelectDlg select(table, doc.options.searchDisk, doc.options.skipBadClusters, [] {});
    shoot(select, "drive-selection");
}

void ntfsWindow(const QString& sampleGz) {
    QTemporaryDir dir;
    const QString raw = dir.filePath("ntfs.raw");
    QProcess gunzip;
    gunzip.setStandardOutputFile(raw);
    gunzip.start("gzip", {"-dc", sampleGz});
    if (!gunzip.waitForFinished(120000) || gunzip.exitCode() != 0) {
        std::fprintf(stderr, "screenshots: cannot unpack %s\n", qPrintable(sampleGz));
        return;
    }
    DriveTable::global().set(driveEntry('N', DriveType::Fixed, "", ss(raw), 65536));
    QtPrompts prompts;
    CQUIDNEYDoc doc(prompts);
    CMainFrame frame(doc, prompts);
    prompts.setWindow(&frame);
    frame.resize(960, 600);
    frame.show();
    doc.options.listMode = ID_LIST_ALLFILES;
    frame.openWith([&](GuiHost& host) { return doc.openDrive('N', host); });
    frame.action(ID_VIEW_DETAILS)->trigger();
    shoot(frame, "main-ntfs-allfiles");
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUTDIR NTFS_SAMPLE.raw.gz\n", argv[0]);
        return 2;
    }
    out = QDir(QString::fromLocal8Bit(argv[1]));
    out.mkpath(".");
    for (Lang lang : {Lang::Zh, Lang::En}) {
        setLanguage(lang);
        suffix = lang == Lang::Zh ? "-zh" : "-en";
        fatWindows();
        driveSelection();
        ntfsWindow(QString::fromLocal8Bit(argv[2]));
    }
    return 0;
}
