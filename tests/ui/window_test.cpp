// The main window as a first-time user meets it: closing it while a scan runs, the state a failed
// open leaves, and what the lists say after a scan that was stopped.
#include <QtTest>

#include <QAbstractButton>
#include <QDesktopServices>
#include <QLineEdit>
#include <QMessageBox>
#include <QSettings>
#include <QSignalSpy>
#include <fstream>
#include <QTemporaryDir>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/fault_source.h"
#include "support/sample_volume.h"
#include "ui/job.h"
#include "ui/main_frame.h"
#include "ui/saving/save_progress.h"
#include "ui/saving/save_target_dlg.h"
#include "ui/scan/scan_dlg.h"
#include "ui/scan/skip_ranges_dlg.h"
#include "ui/start_page.h"
#include "ui/filter_bar.h"
#include "volume/drive_table.h"
#include "ui/viewers.h"

using namespace harrow;
using namespace harrow::gui;

namespace {

// Holds the reads of every thread but the first to read (the open's), so a scan waits at its
// first block while the open itself goes through.
class ScanGate {
public:
    void pass() {
        std::unique_lock lock(mutex_);
        if (!opener_) opener_ = std::this_thread::get_id();
        if (*opener_ == std::this_thread::get_id()) return;
        waiting_ = true;
        opened_.wait_for(lock, std::chrono::seconds(20), [this] { return open_; });  // never hang
    }
    bool scanWaiting() {
        std::lock_guard lock(mutex_);
        return waiting_;
    }
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    std::optional<std::thread::id> opener_;
    bool waiting_ = false;
    bool open_ = false;
};

CScanDlg* shownScanDialog() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<CScanDlg*>(w); d && d->isVisible()) return d;
    return nullptr;
}

// Once the scan waits at its first block, runs `act` (from the event loop the scan dialog runs).
void whenScanWaits(QObject* context, ScanGate& gate, std::function<void(CScanDlg*)> act) {
    QTimer::singleShot(10, context, [context, &gate, act] {
        CScanDlg* d = shownScanDialog();
        if (d && gate.scanWaiting()) act(d);
        else whenScanWaits(context, gate, act);
    });
}

// Answers the question whether to stop the work and quit.
void answerStopAndQuit(bool yes) {
    QTimer::singleShot(0, [yes] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box && box->objectName() == QLatin1String("stopAndQuit"));
        for (QAbstractButton* b : box->buttons())
            if (b->text() == text(yes ? uitext::kYes : uitext::kNo)) b->click();
    });
}

template <typename T>
void acceptWhenShown() {
    QTimer::singleShot(10, [] {
        if (auto* d = qobject_cast<T*>(QApplication::activeModalWidget())) d->accept();
        else acceptWhenShown<T>();
    });
}

// Saves what is selected into `folder`, as a user does: the target dialog, then the summary.
void saveSelectionTo(CQUIDNEYView& v, const QString& folder) {
    QTimer::singleShot(0, [folder] {
        auto* d = qobject_cast<CSaveTargetDlg*>(QApplication::activeModalWidget());
        QVERIFY(d);
        d->folderEdit()->setText(folder);
        acceptWhenShown<CSaveSummaryDlg>();
        d->accept();
    });
    v.save();
}

int rowOf(CQUIDNEYView& v, const QString& name) {
    for (int r = 0; r < v.model().itemCount(); ++r)
        if (v.model().shownName(r) == name) return r;
    return -1;
}

}  // namespace

class UrlCatcher : public QObject {
    Q_OBJECT
public slots:
    void open(const QUrl& url) { opened << url; }

public:
    QList<QUrl> opened;
};

class WindowTest : public QObject {
    Q_OBJECT

    struct Window {
        explicit Window(bool scan) : sources(test::makeSampleFat().bytes), doc(prompts, sources), frame(doc, prompts) {
            doc.options.searchDisk = scan;
            frame.show();
        }
        bool open() { return frame.openWith([&](GuiHost& host) { return doc.openDrive('T', host); }); }
        RecordingPrompts prompts;
        test::FaultySources sources;
        CQUIDNEYDoc doc;
        CMainFrame frame;
    };

private slots:
    void initTestCase() { setLanguage(Lang::En); }

    void closingDuringAScanAsksAndStopsItOnYes() {
        Window w(true);
        auto gate = std::make_shared<ScanGate>();
        w.sources.plan().beforeRead = [gate] { gate->pass(); };
        bool acted = false;
        whenScanWaits(&w.frame, *gate, [&](CScanDlg* scan) {
            acted = true;
            // The window is not held back by the dialog, and "no" leaves the scan running.
            answerStopAndQuit(false);
            w.frame.close();
            QVERIFY(w.frame.isVisible());
            QVERIFY(scan->isVisible());
            QVERIFY(!jobs::stopPending());
            answerStopAndQuit(true);
            w.frame.close();
            QVERIFY(jobs::stopPending());
            gate->open();
        });
        w.open();
        QVERIFY(acted);
        QVERIFY(!jobs::busy());
        QTRY_VERIFY(!w.frame.isVisible());
    }

    void aListAfterACancelledScanSaysItIsPartial() {
        Window w(true);
        auto gate = std::make_shared<ScanGate>();
        w.sources.plan().beforeRead = [gate] { gate->pass(); };
        whenScanWaits(&w.frame, *gate, [&](CScanDlg* scan) {
            scan->close();  // as Cancel: it stays until the scan has stopped
            QVERIFY(scan->cancelRequested());
            gate->open();
        });
        QVERIFY(w.open());
        CQUIDNEYView& v = w.frame.view();
        v.setListMode(ID_LIST_ALLDIRS);
        QVERIFY2(v.totalText().contains(QStringLiteral("partial")), qPrintable(v.totalText()));
        // A whole scan says nothing of the kind.
        w.sources.plan().beforeRead = {};
        QVERIFY(w.open());
        w.frame.view().setListMode(ID_LIST_ALLDIRS);
        QVERIFY(!w.frame.view().totalText().contains(QStringLiteral("partial")));
    }

    void aFailedOpenLeavesTheWindowEmptyWithThePlainTitle() {
        Window w(false);
        QVERIFY(w.open());
        QVERIFY(w.frame.windowTitle() != message(msg::kTitle));
        w.sources.plan().badSectors = {0};  // the boot sector
        QVERIFY(!w.open());
        QCOMPARE(w.frame.windowTitle(), message(msg::kTitle));
        QVERIFY(!w.frame.view().driveOpen());
        QCOMPARE(w.frame.view().model().itemCount(), 0);
        QVERIFY(!w.frame.action(ID_DRIVE_INFO)->isEnabled());
    }

    void savedMarksOutliveTheListAndTheStatusBarSaysWhere() {
        Window w(false);
        QVERIFY(w.open());
        CQUIDNEYView& v = w.frame.view();
        v.enterRow(rowOf(v, QStringLiteral("Documents")));
        QTemporaryDir target;
        for (const QString& name : {QStringLiteral("notes.txt"), QStringLiteral("Report 2024.txt")})
            v.listView()->selectionModel()->select(v.model().index(rowOf(v, name), 0), QItemSelectionModel::Select);
        saveSelectionTo(v, target.path());
        QVERIFY(w.frame.savedNote()->isVisibleTo(&w.frame));
        QVERIFY2(w.frame.savedNote()->text().startsWith(QStringLiteral("Saved 2 files (")), qPrintable(w.frame.savedNote()->text()));
        QVERIFY(w.frame.savedNote()->text().endsWith(QStringLiteral(" to ") + target.path()));
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
        w.frame.openSavedFolder()->click();
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(catcher.opened, QList<QUrl>{QUrl::fromLocalFile(target.path())});

        // Up and back in: the list is read anew, and still shows what was saved.
        v.parentDirectory();
        v.enterRow(rowOf(v, QStringLiteral("Documents")));
        for (const QString& name : {QStringLiteral("notes.txt"), QStringLiteral("Report 2024.txt")})
            QCOMPARE(v.model().itemAt(rowOf(v, name)).kind, std::uint16_t{ITEM_SAVEDFILE});
        v.selectUnsaved();
        for (int r : v.selectedRows()) QCOMPARE(v.model().itemAt(r).kind, std::uint16_t{ITEM_FILE});

        // Another open forgets them, and the note goes.
        QVERIFY(w.open());
        QVERIFY(!w.frame.savedNote()->isVisibleTo(&w.frame));
        v.enterRow(rowOf(v, QStringLiteral("Documents")));
        QCOMPARE(v.model().itemAt(rowOf(v, QStringLiteral("notes.txt"))).kind, std::uint16_t{ITEM_FILE});

        // A saved folder marks the files it held.
        v.parentDirectory();
        QTemporaryDir folderTarget;
        v.listView()->clearSelection();
        v.listView()->selectionModel()->select(v.model().index(rowOf(v, QStringLiteral("Documents")), 0),
                                               QItemSelectionModel::Select);
        saveSelectionTo(v, folderTarget.path());
        v.enterRow(rowOf(v, QStringLiteral("Documents")));
        QCOMPARE(v.model().itemAt(rowOf(v, QStringLiteral("notes.txt"))).kind, std::uint16_t{ITEM_SAVEDFILE});
    }

    void searchDiskLaterScansTheOpenDriveAndKeepsItsSavedMarks() {
        Window w(false);
        QVERIFY(w.open());
        CQUIDNEYView& v = w.frame.view();
        QVERIFY(!w.frame.action(ID_LIST_ALLDIRS)->isEnabled());
        QVERIFY(w.frame.action(ID_SEARCH_DISK)->isEnabled());
        v.enterRow(rowOf(v, QStringLiteral("Documents")));
        QTemporaryDir target;
        v.listView()->selectionModel()->select(v.model().index(rowOf(v, QStringLiteral("notes.txt")), 0),
                                               QItemSelectionModel::Select);
        saveSelectionTo(v, target.path());
        // Cancel on the ranges scans nothing.
        QTimer::singleShot(0, [] { qobject_cast<QDialog*>(QApplication::activeModalWidget())->reject(); });
        w.frame.action(ID_SEARCH_DISK)->trigger();
        QVERIFY(w.doc.foundList.empty());
        acceptWhenShown<CSkipRangesDlg>();
        w.frame.action(ID_SEARCH_DISK)->trigger();
        QVERIFY(w.doc.findFoundItem(test::sample::kLostDir));
        QVERIFY(w.frame.action(ID_LIST_ALLDIRS)->isEnabled());
        w.frame.action(ID_LIST_ALLDIRS)->trigger();
        v.enterRow(rowOf(v, QStringLiteral("Documents")));
        QCOMPARE(v.model().itemAt(rowOf(v, QStringLiteral("notes.txt"))).kind, std::uint16_t{ITEM_SAVEDFILE});
    }

    // With no drive open the window offers the ways to open one and what was opened last; the
    // toolbar says each button's key.
    void startPageOpensAndRemembersSources() {
        QSettings(QStringLiteral("Harrow"), QStringLiteral("harrow")).clear();
        QTemporaryDir dir;
        const QString image = dir.filePath(QStringLiteral("stick.img"));
        {
            const std::vector<std::uint8_t> bytes = test::makeSampleFat().bytes;
            std::ofstream(image.toStdString(), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                                    static_cast<std::streamsize>(bytes.size()));
        }
        RecordingPrompts prompts;
        {
            CQUIDNEYDoc doc(prompts);
            CMainFrame frame(doc, prompts);  // no servers to reach
            frame.show();
            StartPage* start = frame.startPage();
            QVERIFY(start->isVisible());
            QVERIFY(!start->recentList()->isVisibleTo(start));
            QVERIFY(frame.action(ID_FILE_OPEN)->toolTip().endsWith(
                QStringLiteral(" (%1)").arg(QKeySequence(QKeySequence::Open).toString(QKeySequence::NativeText))));
            QVERIFY(!start->findChild<QAbstractButton*>(QStringLiteral("startConnect"))->isEnabled());
            QSignalSpy asked(frame.action(ID_OPEN_RAW_IMAGE), &QAction::triggered);
            QTimer::singleShot(0, [] {
                if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) d->reject();
            });
            start->findChild<QAbstractButton*>(QStringLiteral("startOpenImage"))->click();
            QCOMPARE(asked.count(), 1);

            QVERIFY(frame.openSource(image));
            QVERIFY(!start->isVisible());
            QVERIFY(frame.view().isVisible());
        }
        QCOMPARE(recentSources(), QStringList{image});
        // The next run offers it; one click opens it.
        CQUIDNEYDoc doc(prompts);
        CMainFrame frame(doc, prompts);
        frame.show();
        QListWidget* recent = frame.startPage()->recentList();
        QCOMPARE(recent->count(), 1);
        QTest::mouseClick(recent->viewport(), Qt::LeftButton, {}, recent->visualItemRect(recent->item(0)).center());
        QVERIFY(frame.view().driveOpen());
        QVERIFY(rowOf(frame.view(), QStringLiteral("Documents")) >= 0);
        QVERIFY(!frame.startPage()->isVisible());
    }

    // The filter bar hides what it does not keep, and the commands act on what is shown; Find on
    // volume lists what the whole tree holds, each with its folder.
    void filterBarAndFindOnVolume() {
        Window w(false);
        QVERIFY(w.open());
        CQUIDNEYView& v = w.frame.view();
        v.enterRow(rowOf(v, QStringLiteral("Documents")));
        const int all = v.model().itemCount();
        QTest::keyClicks(v.filterBar()->edit(), QStringLiteral("notes"));
        QTest::keyClick(v.filterBar()->edit(), Qt::Key_Return);
        QVERIFY(v.model().itemCount() < all);
        QVERIFY(rowOf(v, QStringLiteral("notes.txt")) >= 0);
        for (int r = 0; r < v.model().itemCount(); ++r)
            QVERIFY(v.model().isDotRow(r) || v.model().shownName(r).contains(QStringLiteral("notes")));
        w.frame.action(ID_SELECT_ALL)->trigger();
        QCOMPARE(v.selectedRows().size(), v.model().itemCount() - 2);  // not "." and ".."
        // A text that is no filter says why and hides nothing.
        v.filterBar()->edit()->setText(QStringLiteral("[a-"));
        QTest::keyClick(v.filterBar()->edit(), Qt::Key_Return);
        QCOMPARE(v.model().itemCount(), all);
        QVERIFY(v.filterBar()->findChild<QLabel*>(QStringLiteral("filterProblem"))->isVisibleTo(v.filterBar()));
        v.filterBar()->clear();

        QTimer::singleShot(0, [] {
            auto* d = qobject_cast<CFindDlg*>(QApplication::activeModalWidget());
            QVERIFY(d);
            d->namesEdit()->setText(QStringLiteral("*.txt"));
            d->accept();
        });
        w.frame.action(ID_FIND_ON_VOLUME)->trigger();
        QVERIFY(v.showsFindResults());
        QVERIFY(!v.detailsView()->isColumnHidden(FileListModel::ColPath));
        const int notes = rowOf(v, QStringLiteral("notes.txt"));
        QVERIFY(notes >= 0);
        QCOMPARE(v.model().folder(notes), QStringLiteral("/Documents"));
        for (int r = 0; r < v.model().itemCount(); ++r)
            QVERIFY2(v.model().shownName(r).endsWith(QStringLiteral(".txt"), Qt::CaseInsensitive), qPrintable(v.model().shownName(r)));
        // Up leads back to the list they were found from.
        QVERIFY(w.frame.action(ID_PARENT_DIR)->isEnabled());
        w.frame.action(ID_PARENT_DIR)->trigger();
        QVERIFY(!v.showsFindResults());
        QVERIFY(rowOf(v, QStringLiteral("Documents")) >= 0);
    }

    // Backspace goes up and selects the folder left; one file selected is said in the singular;
    // DEL shows as a dot in the hex view.
    void smallThingsUsersExpect() {
        Window w(false);
        QVERIFY(w.open());
        CQUIDNEYView& v = w.frame.view();
        v.enterRow(rowOf(v, QStringLiteral("Documents")));
        v.listView()->setFocus();
        QTest::keyClick(v.listView(), Qt::Key_Backspace);
        QCOMPARE(v.dirDepth(), 0);
        QCOMPARE(v.selectedRows(), QList<int>{rowOf(v, QStringLiteral("Documents"))});
        QVERIFY2(v.selectionText().startsWith(QStringLiteral("1 file selected")), qPrintable(v.selectionText()));
        const std::uint8_t bytes[] = {'A', 0x7F, 'B'};
        QVERIFY(hexLine(0, bytes, 3).endsWith(QStringLiteral("A.B")));
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
