// The hex and text viewers (Part 6.2) on small FAT volumes built in memory.
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QtTest>

#include "common/text.h"
#include "support/fat_image.h"
#include "support/fault_source.h"
#include "ui/viewers.h"

using namespace harrow;
using namespace harrow::gui;
using test::FatImage;

namespace {

// Clusters of the files on the test volume (512-byte clusters).
constexpr std::uint32_t kOne = 10, kSixteen = 11, kSeventeen = 12, kZeroFirst = 13, kEmpty = 0;
constexpr std::uint32_t kBig = 20;      // 1600 bytes: 100 lines, clusters 20-23
constexpr std::uint32_t kTall = 30;     // 4096 bytes, clusters 30-37
constexpr std::uint32_t kText = 40;
constexpr std::uint32_t kLong = 50;     // 40000 bytes, clusters 50-128
constexpr std::uint32_t kDeleted = 200;  // 700 bytes, deleted; cluster 201 belongs to another file

std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return v;
}

std::vector<std::uint32_t> run(std::uint32_t first, std::uint32_t count) {
    std::vector<std::uint32_t> v;
    for (std::uint32_t k = 0; k < count; ++k) v.push_back(first + k);
    return v;
}

struct TestVolume {
    FatImage img = FatImage::make(16, 4096, 1);
    std::uint64_t entry = 0;

    TestVolume() {
        entry = img.rootOffset();
        file("ONE     BIN", kOne, {'A'});
        file("SIXTEEN BIN", kSixteen, bytes("Hello, world!\r\n\x90"));
        file("SEVNTEENBIN", kSeventeen, bytes("0123456789ABCDEFG"));
        file("ZERO    TXT", kZeroFirst, bytes(std::string("\0abc", 4)));
        file("EMPTY   TXT", kEmpty, {});
        file("BIG     BIN", kBig, pattern(1600));
        file("TALL    BIN", kTall, pattern(4096));
        file("TEXT    TXT", kText, bytes(std::string("hello\nworld\0rest", 16)));
        std::string longText;
        while (longText.size() < 40000) longText += std::string(63, 'x') + "\n";
        longText.resize(40000);
        file("LONG    TXT", kLong, bytes(longText));
        // A deleted file: its FAT entries are free. Cluster 201 is another file's, so only a read
        // with no FAT takes it for the deleted file's second cluster.
        img.putEntry(entry, "\xE5" "ELETED TXT", 0x20, kDeleted, 700);
        entry += 32;
        img.fillCluster(kDeleted, 'a');
        img.fillCluster(kDeleted + 1, 'b');
        img.fillCluster(kDeleted + 2, 'c');
        img.chain({kDeleted + 1});
    }

    static std::vector<std::uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

    void file(const std::string& name11, std::uint32_t cluster, const std::vector<std::uint8_t>& data) {
        img.putEntry(entry, name11, 0x20, cluster, static_cast<std::uint32_t>(data.size()));
        entry += 32;
        if (data.empty()) return;
        const auto clusters = static_cast<std::uint32_t>((data.size() + 511) / 512);
        img.chain(run(cluster, clusters));
        std::copy(data.begin(), data.end(), img.bytes.begin() + static_cast<std::ptrdiff_t>(img.clusterOffset(cluster)));
    }
};

const FileItem& itemAt(const CQUIDNEYDoc& doc, std::uint32_t cluster, std::uint64_t size = ~0ull) {
    for (const FileItem& item : doc.rootList)
        if (item.firstCluster() == cluster && (size == ~0ull || item.size == size)) return item;
    qFatal("no item at cluster %u", cluster);
}

QString spaces(int n) { return QString(n, QLatin1Char(' ')); }

// Shows `dlg` with a viewport of about `lines` lines.
void showWithLines(CViewHexDlg& dlg, int lines) {
    HexView* v = dlg.view();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    dlg.resize(dlg.width(), dlg.height() - v->viewport()->height() + lines * v->linePitch());
    QTRY_COMPARE(v->pageLines(), lines);
}

}  // namespace

class ViewersTest : public QObject {
    Q_OBJECT
    TestVolume vol;
    std::unique_ptr<test::OpenedImage> opened;
    CQUIDNEYDoc& doc() { return opened->doc; }

private slots:
    void initTestCase() {
        setLanguage(Lang::Zh);
        opened = std::make_unique<test::OpenedImage>(vol.img);
        QVERIFY(opened->opened);
    }
    void init() { doc().saveFat = 0; }

    void hexLineFormat() {
        const std::uint8_t b[] = {0x41, 0x00, 0x7E, 0x80};
        QCOMPARE(hexLine(0xABCDEF0, b, 0xABCDEF0 + 4),
                 "0ABCDEF0  41 00 7E 80 " + spaces(36) + "  A.~.");
        QCOMPARE(hexLine(0x123456780, std::span(b, 1), 0x123456781), "123456780  41 " + spaces(45) + "  A");
    }

    void oneByteFileShowsOneLine() {
        CViewHexDlg dlg(doc(), itemAt(doc(), kOne));
        showWithLines(dlg, 10);
        QCOMPARE(dlg.view()->totalLines(), 1);
        QCOMPARE(dlg.view()->visibleLines(), QStringList{"00000000  41 " + spaces(45) + "  A"});
        QCOMPARE(dlg.windowTitle(), QStringLiteral("十六进制查看 (ONE.BIN)"));
    }

    void sixteenBytesAreOneLineSeventeenTwo() {
        CViewHexDlg sixteen(doc(), itemAt(doc(), kSixteen));
        showWithLines(sixteen, 10);
        QCOMPARE(sixteen.view()->visibleLines(),
                 QStringList{"00000000  48 65 6C 6C 6F 2C 20 77 6F 72 6C 64 21 0D 0A 90   Hello, world!..."});
        CViewHexDlg seventeen(doc(), itemAt(doc(), kSeventeen));
        showWithLines(seventeen, 10);
        QCOMPARE(seventeen.view()->visibleLines(),
                 (QStringList{"00000000  30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46   0123456789ABCDEF",
                              "00000010  47 " + spaces(45) + "  G"}));
    }

    void scrollingStopsWhenTheLastPageIsFull() {
        CViewHexDlg dlg(doc(), itemAt(doc(), kBig));
        showWithLines(dlg, 10);
        HexView* v = dlg.view();
        const int pages = v->pageLines();
        QVERIFY(pages >= 5 && pages < 50);
        QCOMPARE(v->totalLines(), 100);
        QTest::keyClick(v, Qt::Key_PageDown);
        QCOMPARE(v->topLine(), pages);
        QTest::keyClick(v, Qt::Key_End);
        QCOMPARE(v->topLine(), 100 - pages);
        QTest::keyClick(v, Qt::Key_Down);
        QCOMPARE(v->topLine(), 100 - pages);
        QTest::keyClick(v, Qt::Key_PageDown);
        QCOMPARE(v->topLine(), 100 - pages);
        QCOMPARE(v->visibleLines().last(), hexLine(1584, std::span<const std::uint8_t>(pattern(1600)).subspan(1584), 1600));
        QTest::keyClick(v, Qt::Key_Up);
        QCOMPARE(v->topLine(), 99 - pages);
        QTest::keyClick(v, Qt::Key_Left);
        QTest::keyClick(v, Qt::Key_Right);
        QCOMPARE(v->topLine(), 99 - pages);
        QTest::keyClick(v, Qt::Key_Home);
        QCOMPARE(v->topLine(), 0);
        QTest::keyClick(v, Qt::Key_Up);
        QTest::keyClick(v, Qt::Key_PageUp);
        QCOMPARE(v->topLine(), 0);
    }

    void aFileShorterThanAPageCannotScroll() {
        CViewHexDlg dlg(doc(), itemAt(doc(), kSeventeen));
        showWithLines(dlg, 10);
        HexView* v = dlg.view();
        for (auto key : {Qt::Key_Down, Qt::Key_PageDown, Qt::Key_End}) {
            QTest::keyClick(v, key);
            QCOMPARE(v->topLine(), 0);
        }
        QCOMPARE(v->verticalScrollBar()->maximum(), 0);
    }

    // More lines than the two sectors the original read: every one of them comes from the file.
    void aTallWindowShowsEveryLineItNeeds() {
        CViewHexDlg dlg(doc(), itemAt(doc(), kTall));
        showWithLines(dlg, 100);
        HexView* v = dlg.view();
        QVERIFY(v->pageLines() * 16 > 1024);
        v->verticalScrollBar()->setValue(3);
        const QStringList lines = v->visibleLines();
        QVERIFY(lines.size() >= v->pageLines());
        const auto data = pattern(4096);
        for (int i = 0; i < lines.size(); ++i)
            QCOMPARE(lines[i], hexLine(16 * (3 + i), std::span(data).subspan(16 * (3 + i), 16), 4096));
    }

    void anEmptyFileShowsNothing() {
        CViewHexDlg hex(doc(), itemAt(doc(), kEmpty, 0));
        showWithLines(hex, 10);
        QVERIFY(hex.view()->visibleLines().isEmpty());
        CViewTextDlg text(doc(), itemAt(doc(), kEmpty, 0));
        QVERIFY(text.text().isEmpty());
        QCOMPARE(text.windowTitle(), QStringLiteral("查看文本"));
    }

    void textStopsAtTheFirstZeroByte() {
        CViewTextDlg text(doc(), itemAt(doc(), kText));
        QCOMPARE(text.text(), QStringLiteral("hello\nworld"));
        QCOMPARE(text.windowTitle(), QStringLiteral("文本查看 (TEXT.TXT)"));
        QVERIFY(text.edit()->isReadOnly());
        QCOMPARE(text.edit()->textCursor().position(), 0);
        CViewTextDlg zero(doc(), itemAt(doc(), kZeroFirst));
        QVERIFY(zero.text().isEmpty());
    }

    void textShowsAtMost32768Bytes() {
        CViewTextDlg text(doc(), itemAt(doc(), kLong));
        QCOMPARE(text.text(), (QString(63, 'x') + '\n').repeated(32768 / 64));
    }

    void textIsUtf8WhenItIsElseTheOemCodePage() {
        QCOMPARE(viewerText(TestVolume::bytes("gr\xC3\xBC\xC3\x9F")), QStringLiteral("grüß"));
        // Cut inside its last character by the limit: the part before it.
        QCOMPARE(viewerText(TestVolume::bytes("gr\xC3\xBC\xC3")), QStringLiteral("grü"));
        setOemCodePage("CP437");
        QCOMPARE(viewerText(TestVolume::bytes("gr\x81\xE1")), QStringLiteral("grüß"));
        setOemCodePage("");
    }

    // With no FAT the clusters after the first are taken as contiguous, as a save would take them.
    void aDeletedFileWithNoFatShowsTheContiguousClusters() {
        doc().saveFat = kNoFat;
        const FileItem& item = itemAt(doc(), kDeleted);
        QVERIFY(item.deleted);
        CViewTextDlg text(doc(), item);
        QCOMPARE(text.text(), QString(512, 'a') + QString(188, 'b'));
        CViewHexDlg hex(doc(), item);
        showWithLines(hex, 5);
        hex.view()->verticalScrollBar()->setValue(32);
        QCOMPARE(hex.view()->topLine(), 32);
        QCOMPARE(hex.view()->visibleLines().first(), "00000200  " + QString("62 ").repeated(16) + "  " + QString(16, 'b'));
        // Through FAT1 the deleted file goes on through the free clusters instead.
        doc().saveFat = 0;
        CViewTextDlg viaFat(doc(), item);
        QCOMPARE(viaFat.text(), QString(512, 'a') + QString(188, 'c'));
    }

    // A read that fails partway: the lines and the text before the failure, nothing after it.
    void nothingUnreadIsShown() {
        RecordingPrompts prompts;
        test::FaultySources sources(vol.img.bytes);
        CQUIDNEYDoc faulty(prompts, sources);
        faulty.searchDisk = 2;
        DocHost host;
        QVERIFY(faulty.openDrive('T', host));
        sources.plan().badSectors.insert(vol.img.clusterOffset(kBig + 2) / 512);
        sources.plan().badSectors.insert(vol.img.clusterOffset(kLong + 1) / 512);
        CViewHexDlg hex(faulty, itemAt(faulty, kBig));
        showWithLines(hex, 120);
        const QStringList lines = hex.view()->visibleLines();
        QCOMPARE(lines.size(), 100);
        const auto data = pattern(1600);
        for (int i = 0; i < 100; ++i)
            QCOMPARE(lines[i], i < 64 ? hexLine(16 * i, std::span(data).subspan(16 * i, 16), 1600) : QString());
        CViewTextDlg text(faulty, itemAt(faulty, kLong));
        QCOMPARE(text.text(), (QString(63, 'x') + '\n').repeated(512 / 64));
    }
};

QTEST_MAIN(ViewersTest)
#include "viewers_test.moc"
