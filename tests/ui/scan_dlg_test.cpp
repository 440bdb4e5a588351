// The scan dialog around the worker-thread scan, and the skip-range dialogs.
#include <QtTest>

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTreeWidget>
#include <condition_variable>
#include <mutex>

#include "ui/scan/scan_dlg.h"
#include "ui/scan/skip_ranges_dlg.h"
#include "support/fat_image.h"

using namespace harrow;
using namespace harrow::gui;
using test::FatImage;

namespace {

// A volume in memory whose reads past sector `from` wait while the gate is closed, so a scan can
// be held at a known place while the test works the dialog.
class GatedSources : public SourceFactory {
public:
    explicit GatedSources(std::vector<std::uint8_t> bytes) : memory_(std::move(bytes)) {}
    OpenedSource open(const std::string& path, DriveKind kind) override {
        return {std::make_unique<Source>(*this, memory_.open(path, kind).source), 0, "gated", {}};
    }
    void setClosed(bool closed) {
        std::lock_guard lock(mutex_);
        closed_ = closed;
        opened_.notify_all();
    }
    bool readerWaiting() {
        std::lock_guard lock(mutex_);
        return waiting_;
    }
    std::uint64_t from = ~0ull;

private:
    struct Source : SectorSource {
        Source(GatedSources& g, std::unique_ptr<SectorSource> s) : gate(g), inner(std::move(s)) {}
        ReadResult read(std::uint64_t first, std::uint32_t size, MutableBytes out) override {
            std::unique_lock lock(gate.mutex_);
            if (gate.closed_ && (first * size + out.size()) / 512 > gate.from) {
                gate.waiting_ = true;
                gate.opened_.wait_for(lock, std::chrono::seconds(10), [&] { return !gate.closed_; });  // never hang
                gate.waiting_ = false;
            }
            return inner->read(first, size, out);
        }
        std::uint32_t deviceSectorSize() const override { return 512; }
        std::optional<std::uint64_t> sizeBytes() const override { return inner->sizeBytes(); }
        GatedSources& gate;
        std::unique_ptr<SectorSource> inner;
    };
    MemorySources memory_;
    std::mutex mutex_;
    std::condition_variable opened_;
    bool closed_ = false;
    bool waiting_ = false;
};

// Runs the scan as the open flow does: after the root list, on the open drive.
struct DialogHost : DocHost {
    std::function<void(CQUIDNEYDoc&)> scan;
    void runScan(CQUIDNEYDoc& doc) override { scan(doc); }
};

QString labelText(QWidget* dialog, const char* name) { return dialog->findChild<QLabel*>(QLatin1String(name))->text(); }

QStringList hitLines(QWidget* dialog) {
    QStringList out;
    auto* list = dialog->findChild<QListWidget*>();
    for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
    return out;
}

QStringList rangeLines(QWidget* dialog) {
    QStringList out;
    auto* list = dialog->findChild<QTreeWidget*>(QStringLiteral("ranges"));
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        out << list->topLevelItem(i)->text(0) + '\t' + list->topLevelItem(i)->text(1);
    return out;
}

// Answers the next range dialog with these texts and OK.
void answerRange(const QString& from, const QString& to) {
    QTimer::singleShot(0, [from, to] {
        auto* d = qobject_cast<CRangeDlg*>(QApplication::activeModalWidget());
        QVERIFY(d);
        d->findChild<QLineEdit*>(QStringLiteral("first"))->setText(from);
        d->findChild<QLineEdit*>(QStringLiteral("last"))->setText(to);
        d->accept();
    });
}

CScanDlg* shownScanDialog() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<CScanDlg*>(w); d && d->isVisible()) return d;
    return nullptr;
}

void click(QWidget* dialog, const char* button) { dialog->findChild<QPushButton*>(QLatin1String(button))->click(); }

}  // namespace

class ScanDlgTest : public QObject {
    Q_OBJECT
private slots:
    void finishedScanListsItsHits() {
        FatImage img = FatImage::make(16, 2048, 1);
        img.makeDirectory(50, 0);
        img.makeDirectory(700, 0);
        RecordingPrompts prompts;
        MemorySources sources(img.bytes);
        CQUIDNEYDoc doc(prompts, sources);
        int result = -1;
        QStringList lines, shown;
        DialogHost host;
        host.scan = [&](CQUIDNEYDoc& d) {
            CScanDlg dialog(d);
            result = dialog.exec();
            lines = hitLines(&dialog);
            for (const char* name : {"driveName", "current", "total", "hits"}) shown << labelText(&dialog, name);
            QCOMPARE(dialog.findChild<QListWidget*>()->currentRow(), 1);  // the caret on the last hit
        };
        QVERIFY(doc.openDrive('T', host));
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(lines, (QStringList{"50 => # 50", "700 => # 700"}));
        // The last step reaches the dialog however the updates were thinned out.
        QCOMPARE(shown, (QStringList{"T:\\", "1998", "1998", "2"}));
        QCOMPARE(doc.foundList.size(), std::size_t{2});
    }

    // The scan is held on a read well into the volume; Cancel must end the dialog as soon as that
    // read returns, with the hit found before it kept and nothing found after it.
    void cancelStopsWithinOneBlockAndKeepsHits() {
        FatImage img = FatImage::make(16, 65000, 1);
        img.makeDirectory(10, 0);
        img.makeDirectory(20000, 0);
        RecordingPrompts prompts;
        GatedSources sources(img.bytes);
        sources.from = img.clusterOffset(4096) / 512;
        CQUIDNEYDoc doc(prompts, sources);
        bool finished = true;
        QStringList linesAtCancel;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            // Not modal: the window under it stays closable.
            auto* dialog = QApplication::activeModalWidget() ? nullptr : shownScanDialog();
            if (!dialog || hitLines(dialog).isEmpty() || !sources.readerWaiting()) return;
            poll.stop();
            linesAtCancel = hitLines(dialog);
            click(dialog, "cancel");
            QVERIFY(dialog->isVisible());  // until the scan has stopped
            sources.setClosed(false);
        });
        DialogHost host;
        host.scan = [&](CQUIDNEYDoc& d) {
            sources.setClosed(true);
            poll.start(10);
            finished = runScanDialog(nullptr, d);
            sources.setClosed(false);
        };
        QVERIFY(doc.openDrive('T', host));
        QVERIFY(!finished);
        QCOMPARE(linesAtCancel, QStringList{"10 => # 10"});
        QCOMPARE(doc.foundList.size(), std::size_t{1});
        QCOMPARE(doc.foundList.front().cluster, 10u);
    }

    // A dialog that only pictures a scan: none starts, and the clock texts stay as they were
    // until a progress carries them.
    void pictureOfAScan() {
        RecordingPrompts prompts;
        MemorySources sources(FatImage::make(16, 2048, 1).bytes);
        CQUIDNEYDoc doc(prompts, sources);
        CScanDlg dialog(doc);
        dialog.setStartWhenShown(false);
        dialog.show();
        QTest::qWait(20);
        QVERIFY(!dialog.scanning());
        ScanProgress p;
        p.current = 120;
        dialog.showProgress(p);
        QCOMPARE(labelText(&dialog, "elapsed"), QString());
        p.elapsedSeconds = 3725;
        dialog.showProgress(p);
        QCOMPARE(labelText(&dialog, "elapsed"), QStringLiteral("1:02:05"));
        dialog.reject();
        QVERIFY(!dialog.isVisible());

        QCOMPARE(scanDriveName(DriveKind::Image, "SAVED", "D:\\x.dsk"), QStringLiteral("SAVED (D:)"));
        QCOMPARE(scanDriveName(DriveKind::Image, "SAVED", "/home/u/x.dsk"), QStringLiteral("SAVED (x.dsk)"));
    }

    void skipRangesAreSortedEditedAndStoredOnlyOnChoose() {
        RecordingPrompts prompts;
        MemorySources sources({});
        CQUIDNEYDoc doc(prompts, sources);
        {
            CSkipRangesDlg dialog(doc);
            dialog.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dialog));
            for (auto [a, b] : {std::pair{"300", "400"}, {"100", "150"}, {"100", "120"}, {"0", "0"}}) {
                answerRange(a, b);
                click(&dialog, "add");
            }
            QCOMPARE(rangeLines(&dialog), (QStringList{"100\t150", "100\t120", "300\t400"}));

            // A double click edits: (300, 400) becomes (50, 60) and moves to the top.
            auto* list = dialog.findChild<QTreeWidget*>(QStringLiteral("ranges"));
            const QPoint at = list->visualItemRect(list->topLevelItem(2)).center();
            answerRange("50", "60");
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
            QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
            QCOMPARE(rangeLines(&dialog), (QStringList{"50\t60", "100\t150", "100\t120"}));

            list->setCurrentItem(list->topLevelItem(1));
            click(&dialog, "delete");
            QCOMPARE(rangeLines(&dialog), (QStringList{"50\t60", "100\t120"}));
            dialog.reject();
            QVERIFY(doc.skipRanges.empty());
            dialog.accept();
            QCOMPARE(doc.skipRanges.size(), std::size_t{2});
        }
        CSkipRangesDlg again(doc);
        QCOMPARE(rangeLines(&again), (QStringList{"50\t60", "100\t120"}));
        click(&again, "clear");
        again.accept();
        QVERIFY(doc.skipRanges.empty());
    }

    void rangeDialogRefusesWhatIsNoRange() {
        RecordingPrompts prompts;
        CRangeDlg dialog(prompts, 0, 0);
        struct Case {
            const char* from;
            const char* to;
            int message;  // -1: accepted
        };
        const Case cases[] = {{"10", "9", msg::kInvalidRange}, {"4294967296", "5", 0}, {"-1", "5", 0},
                              {"12a", "20", 0},  {"10", "10", -1}, {"0", "4294967295", -1}};
        for (const Case& c : cases) {
            prompts.messages.clear();
            dialog.setResult(0);
            dialog.show();
            dialog.findChild<QLineEdit*>(QStringLiteral("first"))->setText(QLatin1String(c.from));
            dialog.findChild<QLineEdit*>(QStringLiteral("last"))->setText(QLatin1String(c.to));
            dialog.accept();
            const QByteArray what = QByteArray(c.from) + ".." + c.to;
            if (c.message < 0) {
                QVERIFY2(dialog.result() == QDialog::Accepted && prompts.messages.empty(), what);
                QCOMPARE(dialog.last(), QString(c.to).toUInt());
            } else {
                QVERIFY2(dialog.isVisible() && dialog.result() != QDialog::Accepted, what);
                QCOMPARE(prompts.ids(), std::vector<int>{c.message});
            }
        }
    }
};

QTEST_MAIN(ScanDlgTest)
#include "scan_dlg_test.moc"
