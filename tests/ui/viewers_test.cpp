// The hex and text viewers on a small FAT volume built in memory.
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QtTest>

#include "common/text.h"
#include "support/fat_image.h"
#include "support/fault_source.h"
#include "ui/viewers.h"

using namespace harrow;
using namespace harrow::gui;

namespace {

// First clusters (of 512 bytes) of the files on the volume.
constexpr std::uint32_t kOne = 10, kSixteen = 11, kSeventeen = 12, kText = 13, kEmpty = 0;
constexpr std::uint32_t kBig = 20;       // 1600 bytes, 100 lines
constexpr std::uint32_t kLong = 30;      // 40000 bytes of text
constexpr std::uint32_t kDeleted = 200;  // 700 bytes; cluster 201 is another file's

std::vector<std::uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }
std::vector<std::uint8_t> pattern() {
    std::vector<std::uint8_t> v(1600);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return v;
}
const QString kTextLine = QString(63, 'x') + '\n';

test::FatImage makeVolume() {
    test::FatImage img = test::FatImage::make(16, 4096, 1);
    std::uint64_t entry = img.rootOffset();
    auto file = [&](const std::string& name11, std::uint32_t c, const std::vector<std::uint8_t>& data) {
        img.putEntry(entry, name11, 0x20, c, static_cast<std::uint32_t>(data.size()));
        entry += 32;
        std::vector<std::uint32_t> chain;
        for (std::size_t k = 0; k * 512 < data.size(); ++k) chain.push_back(c + static_cast<std::uint32_t>(k));
        if (!chain.empty()) img.chain(chain);
        std::copy(data.begin(), data.end(), img.bytes.begin() + static_cast<std::ptrdiff_t>(img.clusterOffset(c)));
    };
    file("ONE     BIN", kOne, {'A'});
    file("SIXTEEN BIN", kSixteen, bytes("Hello, world!\r\n\x90"));
    file("SEVNTEENBIN", kSeventeen, bytes("0123456789ABCDEFG"));
    file("TEXT    TXT", kText, bytes(std::string("hello\nworld\0rest", 16)));
    file("EMPTY   TXT", kEmpty, {});
    file("BIG     BIN", kBig, pattern());
    file("LONG    TXT", kLong, bytes(kTextLine.repeated(626).left(40000).toStdString()));
    // Deleted: its FAT entries are free, and only a read with no FAT takes cluster 201 for its second.
    img.putEntry(entry, "\xE5" "ELETED TXT", 0x20, kDeleted, 700);
    for (std::uint32_t k = 0; k < 2; ++k) img.fillCluster(kDeleted + k, static_cast<std::uint8_t>('a' + k));
    img.chain({kDeleted + 1});
    return img;
}

const FileItem& itemAt(const CQUIDNEYDoc& doc, std::uint32_t cluster) {
    for (const FileItem& item : doc.rootList)
        if (item.firstCluster() == cluster) return item;
    qFatal("no item at cluster %u", cluster);
}

QString blanks(int n) { return QString(n, ' '); }
QString bigLine(int line) {
    static const std::vector<std::uint8_t> data = pattern();
    return hexLine(16 * line, std::span(data).subspan(16 * line, 16), 1600);
}

// Shows `dlg` with room for exactly `lines` lines.
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
    test::FatImage img = makeVolume();
    std::unique_ptr<test::OpenedImage> opened;
    CQUIDNEYDoc& doc() { return opened->doc; }

private slots:
    void initTestCase() {
        setLanguage(Lang::Zh);
        opened = std::make_unique<test::OpenedImage>(img);
        QVERIFY(opened->opened);
    }

    void hexLines() {
        const std::uint8_t b[] = {0x41, 0x7E};
        QCOMPARE(hexLine(0x123456780, b, 0x123456781), "123456780  41 " + blanks(45) + "  A");
        const std::pair<std::uint32_t, QStringList> cases[] = {
            {kOne, {"00000000  41 " + blanks(45) + "  A"}},
            {kSixteen, {"00000000  48 65 6C 6C 6F 2C 20 77 6F 72 6C 64 21 0D 0A 90   Hello, world!..."}},
            {kSeventeen,
             {"00000000  30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46   0123456789ABCDEF",
              "00000010  47 " + blanks(45) + "  G"}},
        };
        for (const auto& [cluster, lines] : cases) {
            CViewHexDlg dlg(doc(), itemAt(doc(), cluster), 0);
            showWithLines(dlg, 10);
            QCOMPARE(dlg.view()->visibleLines(), lines);
        }
        CViewHexDlg one(doc(), itemAt(doc(), kOne), 0);
        QCOMPARE(one.windowTitle(), QStringLiteral("十六进制查看 (ONE.BIN)"));
    }

    void scrollingStopsWhenTheLastPageIsFull() {
        CViewHexDlg dlg(doc(), itemAt(doc(), kBig), 0);
        showWithLines(dlg, 10);
        HexView* v = dlg.view();
        const std::pair<Qt::Key, int> steps[] = {
            {Qt::Key_PageDown, 10}, {Qt::Key_End, 90},  {Qt::Key_Down, 90},  {Qt::Key_PageDown, 90},
            {Qt::Key_Up, 89},       {Qt::Key_Left, 89}, {Qt::Key_Right, 89}, {Qt::Key_PageDown, 90},
            {Qt::Key_Home, 0},      {Qt::Key_Up, 0},    {Qt::Key_PageUp, 0},
        };
        for (const auto& [key, top] : steps) {
            QTest::keyClick(v, key);
            QCOMPARE(v->topLine(), top);
        }
        QTest::keyClick(v, Qt::Key_End);
        QCOMPARE(v->visibleLines().last(), bigLine(99));

        CViewHexDlg small(doc(), itemAt(doc(), kSeventeen), 0);
        showWithLines(small, 10);
        for (auto key : {Qt::Key_Down, Qt::Key_PageDown, Qt::Key_End}) QTest::keyClick(small.view(), key);
        QCOMPARE(small.view()->topLine(), 0);
    }

    // Lines past what the first two sectors hold come from the file too; past a read error, none.
    void aTallWindowShowsOnlyWhatWasRead() {
        CViewHexDlg tall(doc(), itemAt(doc(), kBig), 0);
        showWithLines(tall, 120);
        QStringList lines = tall.view()->visibleLines();
        QCOMPARE(lines.size(), 100);
        for (int i = 0; i < 100; ++i) QCOMPARE(lines[i], bigLine(i));

        RecordingPrompts prompts;
        test::FaultySources sources(img.bytes);
        CQUIDNEYDoc faulty(prompts, sources);
        faulty.options.searchDisk = false;
        DocHost host;
        QVERIFY(faulty.openDrive('T', host));
        sources.plan().badSectors = {img.clusterOffset(kBig + 2) / 512, img.clusterOffset(kLong + 1) / 512};
        CViewHexDlg hex(faulty, itemAt(faulty, kBig), 0);
        showWithLines(hex, 120);
        lines = hex.view()->visibleLines();
        for (int i = 0; i < 100; ++i) QCOMPARE(lines[i], i < 64 ? bigLine(i) : QString());
        CViewTextDlg text(faulty, itemAt(faulty, kLong), 0);
        QCOMPARE(text.text(), kTextLine.repeated(8));
        // Read through the drive that is open: scrolling opens nothing again.
        const std::uint64_t opens = sources.plan().opens;
        for (int i = 0; i < 3; ++i) QTest::keyClick(hex.view(), Qt::Key_PageDown);
        hex.view()->visibleLines();
        QCOMPARE(sources.plan().opens, opens);
    }

    void textStopsAtAZeroByteAndAfter32768Bytes() {
        CViewTextDlg text(doc(), itemAt(doc(), kText), 0);
        QCOMPARE(text.text(), QStringLiteral("hello\nworld"));
        QCOMPARE(text.windowTitle(), QStringLiteral("文本查看 (TEXT.TXT)"));
        QCOMPARE(text.edit()->textCursor().position(), 0);
        CViewTextDlg longText(doc(), itemAt(doc(), kLong), 0);
        QCOMPARE(longText.text(), kTextLine.repeated(512));
        CViewTextDlg empty(doc(), itemAt(doc(), kEmpty), 0);
        QVERIFY(empty.text().isEmpty());
        QCOMPARE(empty.windowTitle(), QStringLiteral("查看文本"));
    }

    void textIsUtf8WhenValidElseTheOemCodePage() {
        QCOMPARE(viewerText(bytes("gr\xC3\xBC\xC3\x9F")), QStringLiteral("grüß"));
        QCOMPARE(viewerText(bytes("gr\xC3\xBC\xC3")), QStringLiteral("grü"));  // cut by the limit
        setOemCodePage("CP437");
        QCOMPARE(viewerText(bytes("gr\x81\xE1")), QStringLiteral("grüß"));
        setOemCodePage("");
    }

    // Both viewers read as a save would: with no FAT the clusters are taken as contiguous.
    void aDeletedFileWithNoFatShowsTheContiguousClusters() {
        const FileItem& item = itemAt(doc(), kDeleted);
        CViewTextDlg text(doc(), item, kNoFat);
        QCOMPARE(text.text(), QString(512, 'a') + QString(188, 'b'));
        CViewHexDlg hex(doc(), item, kNoFat);
        showWithLines(hex, 5);
        hex.view()->verticalScrollBar()->setValue(32);
        QCOMPARE(hex.view()->visibleLines().first(), "00000200  " + QString("62 ").repeated(16) + "  " + QString(16, 'b'));
    }
};

QTEST_MAIN(ViewersTest)
#include "viewers_test.moc"
