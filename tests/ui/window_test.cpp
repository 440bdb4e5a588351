// The main window as a first-time user meets it: closing it while a scan runs, the state a failed
// open leaves, and what the lists say after a scan that was stopped.
#include <QtTest>

#include <QAbstractButton>
#include <QDesktopServices>
#include <QLineEdit>
#include <QMessageBox>
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
        QTimer::singleShot(0, [&] {
            auto* d = qobject_cast<CSaveTargetDlg*>(QApplication::activeModalWidget());
            QVERIFY(d);
            d->folderEdit()->setText(target.path());
            acceptWhenShown<CSaveSummaryDlg>();
            d->accept();
        });
        v.save();
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
        QTimer::singleShot(0, [&] {
            auto* d = qobject_cast<CSaveTargetDlg*>(QApplication::activeModalWidget());
            QVERIFY(d);
            d->folderEdit()->setText(target.path());
            acceptWhenShown<CSaveSummaryDlg>();
            d->accept();
        });
        v.save();
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
