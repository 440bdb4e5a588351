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
#include "ui/job.h"
#include "ui/saving/fat_choice_dlg.h"
#include "ui/saving/replace_file_dlg.h"
#include "ui/saving/save_progress.h"
#include "ui/saving/save_target_dlg.h"
#include <QFile>
#include <QPushButton>
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

// Shows fixed figures, so that the picture need not wait for a run.
class FixedSaveProgress : public JobPanel {
public:
    QWidget* makeWidget(QWidget* parent) override { return panel_ = new CSaveProgressPanel(parent); }
    void refresh() override {
        SaveProgressState s;
        s.name = QStringLiteral("IMG_0001.JPG");
        s.fileSize = 5000;
        s.fileDone = 2048;
        s.runTotal = 48000;
        s.runDone = 20000;
        s.elapsedSeconds = 12;
        s.remainingSeconds = 16;
        panel_->show(s);
    }

private:
    CSaveProgressPanel* panel_ = nullptr;
};

void savingWindows(CMainFrame& frame, CQUIDNEYDoc& doc, const FileItem& half) {
    QTemporaryDir dir;
    for (const char* sub : {"photos", "letters", "2024"}) QDir(dir.path()).mkdir(QLatin1String(sub));
    for (const char* file : {"readme.txt", "HALF.DAT"}) {
        QFile f(QDir(dir.path()).filePath(QLatin1String(file)));
        f.open(QIODevice::WriteOnly);
    }
    CSaveTargetDlg target(dir.path(), doc.drive().sharedFat()->copies(), &frame);
    shoot(target, "save-target");

    OverwriteQuestion q{"HALF.DAT", "2021-12-01  14:30:10", 4000, "2024-03-15  09:02:44", 3977};
    CReplaceFileDlg replace(q, &frame);
    shoot(replace, "save-overwrite");

    CFatChoiceDlg invalid(CFatChoiceDlg::Kind::InvalidFat, *doc.drive().sharedFat(), &half, 1, &frame);
    shoot(invalid, "save-invalid-fat");

    FixedSaveProgress progress;
    std::unique_ptr<QDialog> wait = makeWaitDialog(&frame, text(UiText{"保存文件", "Save file"}),
                                                   text(UiText{"正在保存 ...", "Saving ..."}), &progress);
    shoot(*wait, "save-progress");

    SaveSummary summary;
    summary.saved = 11;
    summary.skipped = 2;
    summary.failed = 1;
    CSaveSummaryDlg done(summary, {QStringLiteral("/home/user/rescued/BROKEN.DAT")}, &frame);
    done.failedButton()->setChecked(true);
    shoot(done, "save-summary");
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
    const FileItem half = v.model().itemAt(rowOf(v, "HALF.DAT"));
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

    savingWindows(frame, doc, half);
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
