// The main window driven as a user drives it, on the sample FAT volume and a Windows-made NTFS
// volume: opening, the list modes and styles, directories and the history, sorting, the
// selection commands, renaming, the status bar and the commands' enabled states.
#include <QtTest>

#include <QAbstractButton>
#include <QDesktopServices>
#include <QDialog>
#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <QLineEdit>
#include <QTextBrowser>
#include <QListWidget>
#include <QRadioButton>
#include <QStatusBar>
#include <QProcess>
#include <QTemporaryDir>

#include "ui/gui_text.h"
#include "ui/saving/fat_choice_dlg.h"
#include "ui/saving/replace_file_dlg.h"
#include "ui/saving/save_progress.h"
#include "ui/saving/save_target_dlg.h"
#include "ui/about_dlg.h"
#include "ui/gui_icons.h"
#include "ui/job.h"
#include "ui/drive_info_dlg.h"
#include "ui/preferences_dlg.h"
#include "ui/viewers.h"
#include "support/sample_volume.h"
#include "ui/main_frame.h"
#include "ui/qt_prompts.h"
#include "volume/drive_table.h"

using namespace harrow;
using namespace harrow::gui;
using harrow::test::driveEntry;
using harrow::test::makeSampleFat;

namespace {


// Closes the next modal window once it shows, after checking it is a T and letting `act` work
// on it; false from `act` rejects it.
template <typename T>
void whenModal(std::function<bool(T*)> act) {
    QTimer::singleShot(0, [act] {
        QWidget* w = QApplication::activeModalWidget();
        if (!w) {
            whenModal<T>(act);  // not shown yet
            return;
        }
        auto* dialog = qobject_cast<T*>(w);
        QVERIFY2(dialog, w->metaObject()->className());
        auto* d = qobject_cast<QDialog*>(w);
        if (act(dialog)) d->accept();
        else d->reject();
    });
}

// Like whenModal, for a window that may come after others (a job's wait dialog) shows.
template <typename T>
void whenModalIs(std::function<bool(T*)> act) {
    QTimer::singleShot(0, [act] {
        auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
        if (!dialog) {
            whenModalIs<T>(act);
            return;
        }
        // A dialog that closed itself (a button, a stop request) is left as it closed.
        const bool accept = act(dialog);
        if (!dialog->isVisible()) return;
        if (accept) dialog->accept();
        else dialog->reject();
    });
}

// Answers the save target dialog with `folder` and FAT box row `fatRow`, then the summary
// when the run is to start.
void answerSave(const QString& folder, int fatRow = 1, bool runs = true) {
    whenModalIs<CSaveTargetDlg>([folder, fatRow, runs](CSaveTargetDlg* d) {
        d->folderEdit()->setText(folder);
        d->fatBox()->setCurrentIndex(fatRow);
        if (runs) whenModalIs<CSaveSummaryDlg>([](CSaveSummaryDlg*) { return true; });
        return true;
    });
}

void selectOnly(CQUIDNEYView& v, const QStringList& names);

QImage picture(const QListWidgetItem* row) { return row->icon().pixmap(16, 16).toImage(); }
QImage picture(int icon) { return itemIcon(icon).pixmap(16, 16).toImage(); }

QByteArray contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The sample volume, seen through a device the test names.
class NamedSources : public MemorySources {
public:
    NamedSources(std::vector<std::uint8_t> bytes, std::string device) : MemorySources(std::move(bytes)), device_(std::move(device)) {}
    OpenedSource open(const std::string& path, DriveKind kind) override {
        OpenedSource o = MemorySources::open(path, kind);
        o.devicePath = device_;
        return o;
    }

private:
    std::string device_;
};

QStringList shownNames(CQUIDNEYView& v) {
    QStringList names;
    for (int r = 0; r < v.model().itemCount(); ++r) names << v.model().shownName(r);
    return names;
}

int rowOf(CQUIDNEYView& v, const QString& name) {
    for (int r = 0; r < v.model().itemCount(); ++r)
        if (v.model().shownName(r) == name) return r;
    return -1;
}

void selectOnly(CQUIDNEYView& v, const QStringList& names) {
    v.listView()->selectionModel()->clearSelection();
    for (const QString& n : names)
        v.listView()->selectionModel()->select(v.model().index(rowOf(v, n), 0), QItemSelectionModel::Select);
}

// Catches the files the open action hands to the desktop.
class UrlCatcher : public QObject {
    Q_OBJECT
public slots:
    void open(const QUrl& url) { opened << url; }

public:
    QList<QUrl> opened;
};

}  // namespace

class MainFrameTest : public QObject {
    Q_OBJECT

    struct Fixture {
        // `asks`: the document's questions and messages go to the window's dialogs.
        explicit Fixture(bool scan = true, std::vector<std::uint8_t> bytes = makeSampleFat().bytes, std::string device = {},
                         bool asks = false)
            : sources(std::move(bytes), std::move(device)), doc(asks ? static_cast<Prompts&>(qtPrompts) : prompts, sources),
              frame(doc, qtPrompts) {
            doc.options.searchDisk = scan;
            frame.show();
            opened = frame.openWith([&](GuiHost& host) { return doc.openDrive('T', host); });
        }
        RecordingPrompts prompts;
        QtPrompts qtPrompts;
        NamedSources sources;
        CQUIDNEYDoc doc;
        CMainFrame frame;
        bool opened = false;
        CQUIDNEYView& view() { return frame.view(); }
    };

private slots:
    void initTestCase() { setLanguage(Lang::Zh); }

    void opensWithTheRootAndEveryCommandStateRight() {
        Fixture f;
        QVERIFY(f.opened);
        CQUIDNEYView& v = f.view();
        QCOMPARE(f.frame.windowTitle(), QStringLiteral("Harrow (T:)"));
        QCOMPARE(shownNames(v), (QStringList{"#LD", "Documents", "PHOTOS", "#EPORT.TXT", "BROKEN.DAT", "HALF.DAT",
                                             "readme.txt"}));
        QCOMPARE(f.frame.history()->count(), 1);
        QCOMPARE(f.frame.history()->itemText(0), QStringLiteral("< 基本根目录 >"));
        QVERIFY(!f.frame.action(ID_PARENT_DIR)->isEnabled());
        QVERIFY(!f.frame.action(ID_FILE_SAVE)->isEnabled());
        QVERIFY(f.frame.action(ID_LIST_LOSTDIRS)->isEnabled());
        QVERIFY(!f.frame.action(ID_LIST_ALLFILES)->isEnabled());
        QVERIFY(f.frame.action(ID_LIST_BASICROOT)->isChecked());
        QVERIFY(f.frame.action(ID_VIEW_LIST)->isChecked());

        // Verdict icons: deleted with all clusters free, fits none, fits one copy of two.
        QCOMPARE(v.model().iconNumber(rowOf(v, "#EPORT.TXT")), 202);
        QCOMPARE(v.model().iconNumber(rowOf(v, "BROKEN.DAT")), 200);
        QCOMPARE(v.model().iconNumber(rowOf(v, "HALF.DAT")), 201);
        QCOMPARE(v.model().iconNumber(rowOf(v, "readme.txt")), 147);
        QCOMPARE(v.model().iconNumber(rowOf(v, "Documents")), 140);

        // Without a scan only the basic root list can be chosen.
        Fixture plain(false);
        QVERIFY(!plain.frame.action(ID_LIST_LOSTDIRS)->isEnabled());
        plain.view().setListMode(ID_LIST_ALLDIRS);
        QCOMPARE(plain.doc.options.listMode, ID_LIST_BASICROOT);
    }

    void listModesShowWhatTheScanFound() {
        Fixture f;
        CQUIDNEYView& v = f.view();
        f.frame.action(ID_LIST_SEARCHROOT)->trigger();
        QCOMPARE(shownNames(v), (QStringList{"# 55", "#LD", "Documents", "PHOTOS"}));
        QCOMPARE(f.frame.history()->itemText(0), QStringLiteral("< 搜索根目录 >"));
        QCOMPARE(v.model().iconNumber(rowOf(v, "# 55")), 144);
        f.frame.action(ID_LIST_LOSTDIRS)->trigger();
        QCOMPARE(shownNames(v), (QStringList{"# 50", "Old letters"}));
        QCOMPARE(v.model().iconNumber(0), 145);
        QCOMPARE(v.model().iconNumber(1), 162);
        f.frame.action(ID_LIST_ALLDIRS)->trigger();
        QCOMPARE(v.model().itemCount(), 6);
        QVERIFY(f.frame.action(ID_LIST_ALLDIRS)->isChecked());
        QCOMPARE(f.frame.pane(2)->text(), QStringLiteral("总共 6 个文件 (0 bytes)"));
    }

    void stylesSwitchTheShownView() {
        Fixture f;
        CQUIDNEYView& v = f.view();
        f.frame.action(ID_VIEW_DETAILS)->trigger();
        QCOMPARE(v.currentView(), static_cast<QAbstractItemView*>(v.detailsView()));
        QVERIFY(v.detailsView()->isVisible());
        f.frame.action(ID_VIEW_LARGEICON)->trigger();
        QCOMPARE(v.listView()->viewMode(), QListView::IconMode);
        QVERIFY(v.listView()->isVisible());
        f.frame.action(ID_VIEW_SMALLICON)->trigger();
        QCOMPARE(v.listView()->viewMode(), QListView::ListMode);
        QCOMPARE(v.listView()->flow(), QListView::LeftToRight);
        QVERIFY(f.frame.action(ID_VIEW_SMALLICON)->isChecked());
        QVERIFY(!f.frame.action(ID_VIEW_LARGEICON)->isChecked());
    }

    void directoriesAndTheHistory() {
        Fixture f;
        CQUIDNEYView& v = f.view();
        v.enterRow(rowOf(v, "Documents"));
        QCOMPARE(v.dirDepth(), 1);
        QCOMPARE(shownNames(v).mid(0, 2), (QStringList{".", ".."}));
        QCOMPARE(f.frame.history()->count(), 2);
        QCOMPARE(f.frame.history()->itemText(1), QStringLiteral("Documents"));
        QVERIFY(f.frame.action(ID_PARENT_DIR)->isEnabled());
        // Inside a directory the total leaves out "." and "..".
        QCOMPARE(f.frame.pane(2)->text(), QStringLiteral("总共 5 个文件 (3.9KB)"));

        // "." reads the directory again and changes nothing else.
        v.enterRow(0);
        QCOMPARE(v.dirDepth(), 1);
        QCOMPARE(f.frame.history()->count(), 2);

        // A directory that cannot be listed says so and leaves the list as it was.
        const int before = v.model().itemCount();
        std::vector<Row> rows;
        for (int r = 0; r < v.model().itemCount(); ++r) rows.push_back({v.model().itemAt(r), v.model().shownName(r)});
        for (Row& row : rows)
            if (row.name == "notes.txt") row.item.attributes |= ATTR_DIRECTORY;
        v.model().setRows(rows, RowContext{});
        v.enterRow(rowOf(v, "notes.txt"));
        QVERIFY(f.prompts.shown(0));
        QCOMPARE(f.prompts.messages.back().text, std::string("Can't Change Directory to notes.txt"));
        QCOMPARE(v.model().itemCount(), before);
        QCOMPARE(v.dirDepth(), 1);

        f.frame.action(ID_PARENT_DIR)->trigger();
        QCOMPARE(v.dirDepth(), 0);
        QCOMPARE(f.frame.history()->count(), 1);
        QVERIFY(!f.frame.action(ID_PARENT_DIR)->isEnabled());

        // Two levels down, then history row 1 goes to exactly that directory.
        f.frame.action(ID_LIST_ALLDIRS)->trigger();
        v.enterRow(rowOf(v, "# 50"));
        v.enterRow(rowOf(v, "Old letters"));
        QCOMPARE(v.dirDepth(), 2);
        QCOMPARE(shownNames(v), (QStringList{".", "..", "MOTHER.TXT"}));
        emit f.frame.history()->activated(1);
        QCOMPARE(v.dirDepth(), 1);
        QCOMPARE(f.frame.history()->count(), 2);
        QVERIFY(shownNames(v).contains("holiday.jpg"));
        emit f.frame.history()->activated(0);
        QCOMPARE(v.dirDepth(), 0);
        QCOMPARE(v.model().itemCount(), 6);
    }

    void sortingKeepsDotsAndDirectoriesFirst() {
        Fixture f;
        CQUIDNEYView& v = f.view();
        v.enterRow(rowOf(v, "Documents"));
        f.frame.action(ID_VIEW_DETAILS)->trigger();
        // The first header click sorts descending, the next ascending, whichever column.
        v.headerClicked(0);
        QCOMPARE(v.sortOrder(), 2);
        QCOMPARE(shownNames(v), (QStringList{".", "..", "seventeen.txt", "Report 2024.txt", "ONE.BIN", "notes.txt",
                                             "#UDGET.XLS"}));
        v.headerClicked(3);
        QCOMPARE(v.sortOrder(), 1);
        QCOMPARE(v.sortKey(), 3);
        QCOMPARE(shownNames(v), (QStringList{".", "..", "ONE.BIN", "notes.txt", "seventeen.txt", "Report 2024.txt",
                                             "#UDGET.XLS"}));
        // The sort commands set the key only.
        f.frame.action(ID_SORT_DATE)->trigger();
        QCOMPARE(v.sortOrder(), 1);
        QCOMPARE(shownNames(v).at(2), QStringLiteral("#UDGET.XLS"));  // the oldest
        f.frame.action(ID_SORT_NAME)->trigger();
        QCOMPARE(shownNames(v).mid(2, 2), (QStringList{"#UDGET.XLS", "notes.txt"}));
    }

    void selectionCommandsAndTheStatusBar() {
        Fixture f;
        CQUIDNEYView& v = f.view();
        v.enterRow(rowOf(v, "Documents"));
        f.frame.action(ID_SELECT_DELETED)->trigger();
        QCOMPARE(v.selectedRows(), QList<int>{rowOf(v, "#UDGET.XLS")});
        QCOMPARE(f.frame.pane(1)->text(), QStringLiteral("选定 1 个文件 (2.9KB)"));
        QVERIFY(f.frame.action(ID_FILE_SAVE)->isEnabled());

        f.frame.action(ID_INVERT_SELECTION)->trigger();
        QCOMPARE(v.selectedRows().size(), 4);  // never "." or ".."
        QCOMPARE(f.frame.pane(1)->text(), QStringLiteral("选定 4 个文件 (1.0KB)"));  // 1023 + 16 + 1 + 17

        v.listView()->clearSelection();
        v.listView()->selectionModel()->select(v.model().index(rowOf(v, "Report 2024.txt"), 0), QItemSelectionModel::Select);
        QCOMPARE(f.frame.pane(1)->text(), QStringLiteral("选定 1 个文件 (1023 bytes)"));

        f.frame.action(ID_SELECT_ALL)->trigger();
        QCOMPARE(v.selectedRows().size(), 5);
        QVERIFY(!v.listView()->selectionModel()->isSelected(v.model().index(0, 0)));

        // Saved files are no longer "unsaved".
        v.listView()->clearSelection();
        v.model().markSaved(rowOf(v, "notes.txt"));
        f.frame.action(ID_SELECT_UNSAVED)->trigger();
        QCOMPARE(v.selectedRows().size(), 4);
        QVERIFY(!v.listView()->selectionModel()->isSelected(v.model().index(rowOf(v, "notes.txt"), 0)));
    }

    void renamingALostDirectoryRenamesTheFoundOne() {
        Fixture f;
        CQUIDNEYView& v = f.view();
        f.frame.action(ID_LIST_LOSTDIRS)->trigger();
        const int row = rowOf(v, "# 50");
        QVERIFY(v.model().setData(v.model().index(row, 0), QStringLiteral("Letters box"), Qt::EditRole));
        QCOMPARE(v.model().iconNumber(rowOf(v, "Letters box")), 168);
        const FileItem* found = f.doc.findFoundItem(harrow::test::sample::kLostDir);
        QVERIFY(found);
        QCOMPARE(found->name, std::string("Letters box"));
        QCOMPARE(found->kind, ITEM_RENAMEDDIR);
        // An edit that ends without a new text changes nothing.
        QVERIFY(!v.model().setData(v.model().index(rowOf(v, "Letters box"), 0), QString(), Qt::EditRole));
        // Every list shows the new name.
        f.frame.action(ID_LIST_ALLDIRS)->trigger();
        QVERIFY(shownNames(v).contains("Letters box"));
    }

    void openActionSavesToTheTemporaryFolderAndOpensTheFile() {
        QTemporaryDir tmp;
        qputenv("TMP", tmp.path().toUtf8());
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
        Fixture f;
        CQUIDNEYView& v = f.view();
        // Both FAT copies give its chain alike: no copy is asked for.
        v.openAction(rowOf(v, "readme.txt"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        qunsetenv("TMP");
        QCOMPARE(catcher.opened.size(), 1);
        QFile saved(catcher.opened.front().toLocalFile());
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.size(), 600);
        QVERIFY(saved.readAll().startsWith("Harrow sample volume"));
        QCOMPARE(v.model().iconNumber(rowOf(v, "readme.txt")), 148);
    }

    // Preferences: Cancel keeps the document's values whatever was clicked; OK hides deleted
    // folders and reloads the list in place, inside a directory too.
    void preferencesReloadTheList() {
        Fixture f;
        CQUIDNEYView& v = f.view();
        v.enterRow(rowOf(v, "Documents"));
        QTimer::singleShot(0, [] {
            auto* dlg = qobject_cast<CPreferencesDlg*>(QApplication::activeModalWidget());
            QVERIFY(dlg);
            dlg->hideDeletedButton()->click();
            dlg->forceButton()->click();
            dlg->reject();
        });
        f.frame.action(ID_PREFERENCES)->trigger();
        QCOMPARE(f.doc.options.showDeleted, true);
        QCOMPARE(f.doc.options.fatPrompt, FatPromptMode::Ask);
        QVERIFY(shownNames(v).contains("#UDGET.XLS"));

        QTimer::singleShot(0, [] {
            auto* dlg = qobject_cast<CPreferencesDlg*>(QApplication::activeModalWidget());
            QVERIFY(dlg);
            dlg->hideDeletedButton()->click();
            dlg->accept();
        });
        f.frame.action(ID_PREFERENCES)->trigger();
        QCOMPARE(f.doc.options.showDeleted, false);
        QCOMPARE(v.dirDepth(), 1);
        QVERIFY(!shownNames(v).contains("#UDGET.XLS"));
        QVERIFY(shownNames(v).contains("notes.txt"));

        // The directory FAT: with no FAT, directories are read as contiguous clusters.
        QTimer::singleShot(0, [] {
            auto* dlg = qobject_cast<CFatChoiceDlg*>(QApplication::activeModalWidget());
            QVERIFY(dlg);
            dlg->list()->setCurrentRow(0);
            dlg->choose();
        });
        f.frame.action(ID_DIR_FAT)->trigger();
        QCOMPARE(f.doc.options.dirFat, kNoFat);
        QVERIFY(shownNames(v).contains("notes.txt"));
    }

    // A volume formatted by Windows: the scan's all-files list, and the root's directories entered
    // by record.
    void ntfsAllFilesAndDirectories() {
        QTemporaryDir dir;
        const QString raw = dir.filePath("ntfs.raw");
        QProcess gunzip;
        gunzip.setStandardOutputFile(raw);
        gunzip.start("gzip", {"-dc", QStringLiteral(NTFS_SAMPLE)});
        QVERIFY(gunzip.waitForFinished(60000) && gunzip.exitCode() == 0);
        DriveTable::global().set(driveEntry('N', DriveType::Fixed, "", raw.toStdString(), 65536));
        RecordingPrompts prompts;
        CQUIDNEYDoc doc(prompts);
        CMainFrame frame(doc, prompts);
        frame.show();
        QVERIFY(frame.openWith([&](GuiHost& host) { return doc.openDrive('N', host); }));
        CQUIDNEYView& v = frame.view();
        QVERIFY(!frame.action(ID_LIST_LOSTDIRS)->isEnabled());
        QVERIFY(frame.action(ID_SELECT_DELETED)->isEnabled());
        QVERIFY(frame.action(ID_LIST_ALLFILES)->isEnabled());
        frame.action(ID_LIST_ALLFILES)->trigger();
        // Select deleted files takes the files whose records are no longer in use, and no other.
        frame.action(ID_SELECT_DELETED)->trigger();
        QList<int> deletedRows;
        for (int r = 0; r < v.model().itemCount(); ++r)
            if (v.model().itemAt(r).deleted && !v.model().itemAt(r).isDirectory()) deletedRows << r;
        QCOMPARE(v.selectedRows(), deletedRows);
        v.listView()->clearSelection();
        QVERIFY(shownNames(v).contains("1.txt"));
        QCOMPARE(v.model().iconNumber(rowOf(v, "1.txt")), 147);
        // Each record says the folder it lies in, as far as its parents resolve; only this list
        // has the column.
        QVERIFY(!v.detailsView()->isColumnHidden(FileListModel::ColPath));
        QCOMPARE(v.model().data(v.model().index(rowOf(v, "1.txt"), FileListModel::ColPath), Qt::DisplayRole).toString(),
                 QStringLiteral("/test"));
        // The cluster column shows the record's cluster, not its sector.
        const FileItem& one = v.model().itemAt(rowOf(v, "1.txt"));
        QCOMPARE(v.model().data(v.model().index(rowOf(v, "1.txt"), FileListModel::ColCluster), Qt::DisplayRole).toString(),
                 QString::number(one.cluster / doc.drive().info().clusterSectors()));

        frame.action(ID_LIST_BASICROOT)->trigger();
        QVERIFY(v.detailsView()->isColumnHidden(FileListModel::ColPath));
        v.enterRow(rowOf(v, "test"));
        QCOMPARE(v.dirDepth(), 1);
        QVERIFY(shownNames(v).contains("1.txt"));

        // Saved from the window as harrow-cli saves it: the same bytes and time. NTFS has no FAT
        // to choose.
        QTemporaryDir fromWindow, fromCli;
        selectOnly(v, {"1.txt"});
        whenModalIs<CSaveTargetDlg>([&](CSaveTargetDlg* d) {
            d->folderEdit()->setText(fromWindow.path());
            whenModalIs<CSaveSummaryDlg>([](CSaveSummaryDlg*) { return true; });
            return d->fatBox()->count() == 1 && !d->fatBox()->isEnabled() && d->fat() == kNoFat;
        });
        frame.action(ID_FILE_SAVE)->trigger();
        QProcess cli;
        cli.start(QStringLiteral(HARROW_CLI), {"--offset", "65536", "save", raw, "/test/1.txt", "--to", fromCli.path()});
        QVERIFY(cli.waitForFinished(60000) && cli.exitCode() == 0);
        const QFileInfo mine(fromWindow.filePath("1.txt")), theirs(fromCli.filePath("1.txt"));
        QVERIFY(mine.exists());
        QCOMPARE(contents(mine.filePath()), contents(theirs.filePath()));
        QCOMPARE(mine.lastModified(), theirs.lastModified());
        frame.action(ID_PARENT_DIR)->trigger();
        QCOMPARE(v.dirDepth(), 0);
    }

    // The commands that open a window of their own, each through its menu action.
    void commandsOpenTheirWindows() {
        QTemporaryDir target;
        Fixture f;
        CQUIDNEYView& v = f.view();
        v.enterRow(rowOf(v, "Documents"));
        v.listView()->selectionModel()->select(v.model().index(rowOf(v, "notes.txt"), 0), QItemSelectionModel::Select);

        whenModal<CDriveInfoDlg>([](CDriveInfoDlg* d) {
            return d->valueText(CDriveInfoDlg::kBytesPerCluster) == QStringLiteral("2048");
        });
        f.frame.action(ID_DRIVE_INFO)->trigger();
        whenModal<CAboutDlg>([](CAboutDlg*) { return true; });
        f.frame.action(ID_APP_ABOUT)->trigger();

        // The viewers read through the copy every FAT agrees on, without asking.
        for (int id : {ID_VIEW_HEX, ID_VIEW_TEXT}) {
            if (id == ID_VIEW_HEX)
                whenModal<CViewHexDlg>([](CViewHexDlg* hex) { return hex->view()->totalLines() == 1; });
            else
                whenModal<CViewTextDlg>([](CViewTextDlg* t) { return t->text() == QStringLiteral("Harrow notes 16!"); });
            f.frame.action(id)->trigger();
        }

        // Save: the target folder, then the selected file lands there with its bytes.
        answerSave(target.path());
        f.frame.action(ID_FILE_SAVE)->trigger();
        QFile saved(QDir(target.path()).filePath("notes.txt"));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), QByteArray("Harrow notes 16!"));
        QCOMPARE(v.model().iconNumber(rowOf(v, "notes.txt")), 148);

        // Rename (F2) edits the focused row's label in place.
        f.frame.action(ID_LIST_LOSTDIRS)->trigger();
        v.listView()->setCurrentIndex(v.model().index(rowOf(v, "# 50"), 0));
        f.frame.action(ID_RENAME)->trigger();
        auto* editor = v.listView()->findChild<QLineEdit*>();
        QVERIFY(editor);
        editor->setText(QStringLiteral("Letters"));
        // The Enter that ends the edit renames the row and opens nothing.
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_VERIFY(shownNames(v).contains("Letters"));
        QCOMPARE(v.dirDepth(), 0);

        // Help opens a window of its own, with the page in it.
        f.frame.action(ID_HELP_FINDER)->trigger();
        QTextBrowser* help = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* b = qobject_cast<QTextBrowser*>(w); b && b->isVisible()) help = b;
        QVERIFY(help);
        QVERIFY(help->toPlainText().contains("Harrow"));
        help->close();
    }

    // The FAT box decides the copy a run reads through: a deleted file whose clusters were partly
    // taken since comes back right through FAT1, wrong without a FAT. A chain the chosen copy
    // does not describe brings the invalid-FAT question, no row chosen in advance.
    void saveReadsThroughTheCopyTheBoxChose() {
        test::FatImage img = makeSampleFat();
        for (auto [cluster, letter] : {std::pair{23, 'a'}, {24, 'X'}, {25, 'b'}, {26, 'c'}})
            img.fillCluster(static_cast<std::uint32_t>(cluster), static_cast<std::uint8_t>(letter));
        const QByteArray viaFat = QByteArray(2048, 'a') + QByteArray(2048, 'b') + QByteArray(904, 'c');
        const QByteArray contiguous = QByteArray(2048, 'a') + QByteArray(2048, 'X') + QByteArray(904, 'b');
        for (const auto& [row, want] : {std::pair{1, viaFat}, std::pair{0, contiguous}}) {
            QTemporaryDir target;
            Fixture f(true, img.bytes);
            f.view().enterRow(rowOf(f.view(), "PHOTOS"));
            selectOnly(f.view(), {"#MG_0002.JPG"});
            answerSave(target.path(), row);
            f.frame.action(ID_FILE_SAVE)->trigger();
            QCOMPARE(contents(target.filePath("#MG_0002.JPG")), want);
        }

        QTemporaryDir target;
        Fixture f(true, makeSampleFat().bytes, {}, true);
        selectOnly(f.view(), {"HALF.DAT"});
        bool asked = false;
        answerSave(target.path(), 2);  // FAT2 ends the file's chain early
        whenModalIs<CFatChoiceDlg>([&](CFatChoiceDlg* d) {
            // FAT1, which describes the file, is the choice shown.
            asked = d->label() && d->label()->text().contains("FAT2") &&
                    d->list()->selectedItems() == QList<QListWidgetItem*>{d->list()->item(1)} &&
                    picture(d->list()->item(1)) == picture(197) && picture(d->list()->item(2)) == picture(199);
            d->list()->setCurrentRow(1);
            d->choose();
            return true;
        });
        f.frame.action(ID_FILE_SAVE)->trigger();
        QVERIFY(asked);
        QCOMPARE(contents(target.filePath("HALF.DAT")).size(), 4000);
    }

    // Each answer to the overwrite question, the close box as Cancel; then Cancel asked of the
    // job while it asks: what was saved before stays saved, the file asked about as it was.
    void overwriteAnswersAndCancel() {
        const struct {
            ReplaceAnswer answer;
            bool closeBox;
            bool replaced;
        } cases[] = {{ReplaceAnswer::Yes, false, true},   {ReplaceAnswer::YesToAll, false, true},
                     {ReplaceAnswer::No, false, false},   {ReplaceAnswer::NoToAll, false, false},
                     {ReplaceAnswer::Cancel, false, false}, {ReplaceAnswer::Cancel, true, false}};
        Fixture f(true, makeSampleFat().bytes, {}, true);
        CQUIDNEYView& v = f.view();
        selectOnly(v, {"readme.txt"});
        for (const auto& c : cases) {
            QTemporaryDir target;
            QFile old(target.filePath("readme.txt"));
            QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
            old.close();
            answerSave(target.path());
            whenModalIs<CReplaceFileDlg>([c](CReplaceFileDlg* d) {
                if (c.closeBox) d->close();
                else d->button(c.answer)->click();
                return false;
            });
            f.frame.action(ID_FILE_SAVE)->trigger();
            QCOMPARE(contents(target.filePath("readme.txt")).size(), c.replaced ? 600 : 3);
            QCOMPARE(QDir(target.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
        }

        QTemporaryDir target;
        QFile old(target.filePath("HALF.DAT"));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
        old.close();
        selectOnly(v, {"#EPORT.TXT", "HALF.DAT"});
        answerSave(target.path());
        whenModalIs<CReplaceFileDlg>([](CReplaceFileDlg*) {
            jobs::requestStop();
            return false;
        });
        f.frame.action(ID_FILE_SAVE)->trigger();
        QCOMPARE(contents(target.filePath("#EPORT.TXT")).size(), 1500);
        QCOMPARE(contents(target.filePath("HALF.DAT")), QByteArray("old"));
        QCOMPARE(v.model().iconNumber(rowOf(v, "#EPORT.TXT")), 148);
        QVERIFY(v.model().iconNumber(rowOf(v, "HALF.DAT")) != 148);
    }

    // A folder on the device being read, and the image being read itself, are never written.
    void aTargetOnTheSourceIsRefused() {
        QTemporaryDir target;
        QFile image(target.filePath("readme.txt"));
        QVERIFY(image.open(QIODevice::WriteOnly) && image.write("image") == 5);
        image.close();
        Fixture file(true, makeSampleFat().bytes, ss(image.fileName()), true);
        selectOnly(file.view(), {"readme.txt"});
        answerSave(target.path());
        bool refused = false;
        whenModalIs<CReplaceFileDlg>([&](CReplaceFileDlg* d) {
            whenModalIs<QMessageBox>([&](QMessageBox* box) { return refused = box->text() == message(msg::kCannotSaveOnSource); });
            d->button(ReplaceAnswer::Yes)->click();
            return false;
        });
        file.frame.action(ID_FILE_SAVE)->trigger();
        QVERIFY(refused);
        QCOMPARE(contents(image.fileName()), QByteArray("image"));

        struct stat st {};
        QCOMPARE(::stat(qPrintable(target.path()), &st), 0);
        const QString node = target.filePath("device");
        if (::mknod(qPrintable(node), S_IFBLK | 0600, st.st_dev) != 0) QSKIP("a device node needs root");
        Fixture device(true, makeSampleFat().bytes, ss(node));
        selectOnly(device.view(), {"#EPORT.TXT"});
        answerSave(target.filePath("new/folder"), 1, false);
        device.frame.action(ID_FILE_SAVE)->trigger();
        QVERIFY(device.prompts.shown(msg::kCannotSaveOnSource.id));
        QVERIFY(!QFileInfo::exists(target.filePath("new")));
    }

    // Without $TMP the open action writes into the user's own folder (which usePrivateFolder
    // guards), not into one every user shares.
    void theOpenActionWritesIntoAFolderOfTheUsersOwn() {
        QTemporaryDir runtime;
        qunsetenv("TMP");
        qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
        Fixture f;
        f.view().openAction(rowOf(f.view(), "readme.txt"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        qunsetenv("XDG_RUNTIME_DIR");
        QCOMPARE(catcher.opened.size(), 1);
        QCOMPARE(catcher.opened.front().toLocalFile(), runtime.filePath("harrow/readme.txt"));
        QCOMPARE(QFileInfo(runtime.filePath("harrow")).permissions() & 0x0077, QFileDevice::Permissions{});
    }

    void toolbarAndStatusBarCanBeHidden() {
        Fixture f;
        f.frame.action(ID_VIEW_TOOLBAR)->trigger();
        QVERIFY(f.frame.toolBar()->isHidden());
        QVERIFY(!f.frame.action(ID_VIEW_TOOLBAR)->isChecked());
        f.frame.action(ID_VIEW_STATUS_BAR)->trigger();
        QVERIFY(f.frame.statusBar()->isHidden());
        f.frame.action(ID_VIEW_TOOLBAR)->trigger();
        QVERIFY(!f.frame.toolBar()->isHidden());
    }
};

QTEST_MAIN(MainFrameTest)
#include "main_frame_test.moc"
