// Long work stopped at its worst moments: Cancel while the open lists the root of a slow drive,
// the window closed while the scan asks about a cluster it cannot read, and while a save asks
// whether to replace a file. Each time the program goes on (or closes) without a hang, and the
// rows the window paints change on the GUI thread alone, after the job.
#include <QtTest>

#include <QAbstractButton>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <condition_variable>
#include <mutex>

#include "support/fault_source.h"
#include "support/sample_volume.h"
#include "ui/job.h"
#include "ui/main_frame.h"
#include "ui/qt_prompts.h"
#include "ui/saving/replace_file_dlg.h"
#include "ui/saving/save_target_dlg.h"
#include "ui/scan/scan_dlg.h"

using namespace harrow;
using namespace harrow::gui;

namespace {

// Reads wait here until the test lets them go.
class Gate {
public:
    void wait() {
        std::unique_lock lock(mutex_);
        opened_.wait(lock, [this] { return open_; });
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
    bool open_ = false;
};

// Runs `act` on the first modal window of type T to show (checked from the event loop, which
// runs inside every job's wait), as long as `context` lives.
template <typename T>
void whenShown(QObject* context, std::function<void(T*)> act) {
    QTimer::singleShot(10, context, [context, act] {
        if (auto* w = qobject_cast<T*>(QApplication::activeModalWidget()))
            act(w);
        else
            whenShown<T>(context, act);
    });
}

// Closes the window as the user does, and answers the question whether to stop the work "yes".
void closeAndStop(CMainFrame& frame) {
    QTimer::singleShot(0, &frame, [] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box && box->objectName() == QLatin1String("stopAndQuit"));
        for (QAbstractButton* b : box->buttons())
            if (b->text() == text(uitext::kYes)) b->click();
    });
    frame.close();
}

int rowOf(CQUIDNEYView& v, const QString& name) {
    for (int r = 0; r < v.model().itemCount(); ++r)
        if (v.model().shownName(r) == name) return r;
    return -1;
}

}  // namespace

class JobsTest : public QObject {
    Q_OBJECT

    // The sample volume behind a source that can be slowed and fail, with the window's own prompts.
    struct Window {
        explicit Window(bool scan) : sources(test::makeSampleFat().bytes), doc(prompts, sources), frame(doc, prompts) {
            prompts.setWindow(&frame);
            doc.options.searchDisk = scan;
            frame.show();
        }
        bool open() { return frame.openWith([&](GuiHost& host) { return doc.openDrive('T', host); }); }
        QtPrompts prompts;
        test::FaultySources sources;
        CQUIDNEYDoc doc;
        CMainFrame frame;
    };

private slots:
    void initTestCase() { setLanguage(Lang::En); }

    void cancelWhileTheOpenListsTheRootDoesNotHang() {
        Window w(true);
        auto gate = std::make_shared<Gate>();
        w.sources.plan().beforeRead = [gate] { gate->wait(); };
        // The wait dialog shows; its Cancel only asks, and the drive goes on answering after it.
        whenShown<QDialog>(&w.frame, [&](QDialog* wait) {
            QVERIFY(!qobject_cast<CScanDlg*>(wait));
            wait->findChild<QAbstractButton*>(QStringLiteral("cancel"))->click();
            QVERIFY(wait->isVisible());  // until the job has ended
            gate->open();
        });
        w.open();
        QVERIFY(!jobs::busy());
        QVERIFY(w.doc.foundList.empty());  // the stopped open went no further than its root: no scan
        // And the window goes on: the next open lists the root whole.
        w.sources.plan().beforeRead = {};
        w.doc.options.searchDisk = false;
        QVERIFY(w.open());
        QVERIFY(rowOf(w.frame.view(), QStringLiteral("Documents")) >= 0);
    }

    void closingTheWindowAtTheScanQuestionEndsTheScanAndCloses() {
        Window w(true);
        // A cluster no directory starts in, so that only the scan reads it.
        const test::FatImage img = test::makeSampleFat();
        w.sources.plan().badSectors = {img.clusterOffset(test::sample::kLastUsed - 2) / 512};
        bool asked = false;
        whenShown<QMessageBox>(&w.frame, [&](QMessageBox*) {
            asked = true;
            closeAndStop(w.frame);  // the question is answered "stop", and the window waits for the job
        });
        w.open();
        QVERIFY(asked);
        QVERIFY(!jobs::busy());
        QTRY_VERIFY(!w.frame.isVisible());
    }

    void closingTheWindowAtASaveQuestionKeepsTheOldFileAndMarksOnlyWhatWasSaved() {
        Window w(false);
        QVERIFY(w.open());
        CQUIDNEYView& v = w.frame.view();
        v.enterRow(rowOf(v, QStringLiteral("Documents")));
        QTemporaryDir target;
        const QString existing = QDir(target.path()).filePath(QStringLiteral("Report 2024.txt"));
        {
            QFile old(existing);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write("old");
        }
        const int notes = rowOf(v, QStringLiteral("notes.txt"));
        for (const QString& name : {QStringLiteral("notes.txt"), QStringLiteral("Report 2024.txt")})
            v.listView()->selectionModel()->select(v.model().index(rowOf(v, name), 0), QItemSelectionModel::Select);
        whenShown<CSaveTargetDlg>(&w.frame, [&](CSaveTargetDlg* d) {
            d->folderEdit()->setText(target.path());
            QMetaObject::invokeMethod(d, "accept");
            // notes.txt is written by now; its row is not the job's to mark.
            whenShown<CReplaceFileDlg>(&w.frame, [&](CReplaceFileDlg*) {
                QCOMPARE(v.model().itemAt(notes).kind, std::uint16_t{ITEM_FILE});
                closeAndStop(w.frame);
            });
        });
        w.frame.action(ID_FILE_SAVE)->trigger();
        QVERIFY(!jobs::busy());
        QCOMPARE(v.model().itemAt(notes).kind, std::uint16_t{ITEM_SAVEDFILE});
        QFile old(existing);
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("old"));
        QTRY_VERIFY(!w.frame.isVisible());
    }
};

QTEST_MAIN(JobsTest)
#include "jobs_test.moc"
