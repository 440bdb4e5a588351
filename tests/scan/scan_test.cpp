#include <gtest/gtest.h>

#include <set>

#include "common/strings.h"
#include "ntfs/record.h"
#include "scan/disk_scan.h"
#include "scan/skip_ranges.h"
#include "support/fat_image.h"
#include "support/fault_source.h"
#include "support/ntfs_image.h"

namespace harrow {
namespace {

using test::FatImage;
using test::OpenedImage;

std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs(const std::vector<SkipRange>& r) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    for (const auto& x : r) out.emplace_back(x.first, x.last);
    return out;
}

TEST(SkipRanges, SortedInsertionEditsAndSkipping) {
    std::vector<SkipRange> r;
    insertSkipRange(r, 300, 400);
    insertSkipRange(r, 100, 150);
    insertSkipRange(r, 100, 120);
    insertSkipRange(r, 0, 0);  // never stored
    EXPECT_EQ(pairs(r), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{100, 150}, {100, 120}, {300, 400}}));
    // Editing (300, 400) to (50, 60): remove and insert again, and it moves to the top.
    removeSkipRange(r, 2);
    insertSkipRange(r, 50, 60);
    EXPECT_EQ(r.front().first, 50u);
    insertSkipRange(r, 0, 5);
    EXPECT_EQ(r.front().last, 5u);
    removeSkipRange(r, 99);  // no such line: nothing happens
    EXPECT_EQ(r.size(), 4u);

    EXPECT_FALSE(validSkipRange(10, 9));
    EXPECT_TRUE(validSkipRange(10, 10));

    std::vector<SkipRange> two;
    insertSkipRange(two, 21, 30);
    insertSkipRange(two, 10, 20);
    EXPECT_EQ(skipPast(two, 15), 31u);  // one pass moves through both
    EXPECT_EQ(skipPast(two, 9), 9u);
    EXPECT_EQ(skipPast(two, 0xFFFFFFFFu), 0xFFFFFFFFu);
    EXPECT_EQ(formatDuration(3725), "1:02:05");
}

struct Recorder : ScanObserver {
    std::vector<std::uint64_t> steps;
    std::vector<std::string> hits;
    std::vector<std::string> notices;
    std::vector<int> percents;
    int cancelAfter = -1;
    void hit(const std::string& line) override { hits.push_back(line); }
    void notice(const std::string& line) override { notices.push_back(line); }
    void step(const ScanProgress& p) override {
        steps.push_back(p.current);
        percents.push_back(p.percent);
    }
    bool cancelled() override { return cancelAfter >= 0 && static_cast<int>(steps.size()) >= cancelAfter; }
};

TEST(FatScan, SkipsRangesAndBadClustersAndFindsDirectories) {
    FatImage img = FatImage::make(16, 2048, 1);  // 1997 data clusters: 2 .. 1998
    img.makeDirectory(50, 0);
    img.makeDirectory(150, 0);   // inside the skipped range: never read
    img.makeDirectory(300, 0);   // marked bad: skipped while bad clusters are
    img.setFat(300, 0xFFF7);
    OpenedImage o(img);
    ASSERT_TRUE(o.opened);
    insertSkipRange(o.doc.skipRanges, 100, 199);
    ASSERT_TRUE(o.doc.drive().isOpen());
    Recorder r;
    EXPECT_EQ(runDiskScan(o.doc, r).result, ScanResult::Finished);
    EXPECT_EQ(r.hits, (std::vector<std::string>{"50 => # 50"}));
    EXPECT_EQ(std::count(r.steps.begin(), r.steps.end(), 150u), 0);
    auto at99 = std::find(r.steps.begin(), r.steps.end(), 99u);
    ASSERT_NE(at99, r.steps.end());
    EXPECT_EQ(*(at99 + 1), 200u);
    EXPECT_EQ(r.steps.back(), 1998u);  // the last data cluster of a FAT16 volume (count + 1) is scanned too
    EXPECT_EQ(r.percents.back(), 100);

    o.doc.foundList.clear();
    o.doc.options.skipBadClusters = false;
    Recorder all;
    EXPECT_EQ(runDiskScan(o.doc, all).result, ScanResult::Finished);
    EXPECT_EQ(all.hits.size(), 2u);
    EXPECT_EQ(all.hits[1], "300 => # 300");

    // A range reaching past the end stops the scan at once.
    o.doc.skipRanges.clear();
    insertSkipRange(o.doc.skipRanges, 1900, 5000);
    Recorder tail;
    runDiskScan(o.doc, tail);
    EXPECT_EQ(tail.steps.back(), 1899u);
}

TEST(FatScan, TheEndOfTheSourceIsSaidOnceAndCancelStops) {
    FatImage img = FatImage::make(16, 2048, 1);
    img.makeDirectory(10, 0);
    // The volume claims more sectors than the image holds: from cluster 951 on nothing is there
    // to be read, and the scan neither asks about it nor reads it.
    img.bytes.resize(1000 * 512);
    OpenedImage o(img);
    ASSERT_TRUE(o.opened);
    ASSERT_TRUE(o.doc.drive().isOpen());
    Recorder r;
    EXPECT_EQ(runDiskScan(o.doc, r).result, ScanResult::Finished);
    EXPECT_TRUE(o.prompts.ids().empty());
    EXPECT_EQ(r.notices, (std::vector<std::string>{
                             "the source ends before the volume does: clusters 951 to 1998 are not on it and were not searched"}));
    EXPECT_EQ(r.steps.back(), 950u);
    EXPECT_EQ(o.doc.foundList.size(), 1u);

    Recorder stop;
    stop.cancelAfter = 5;
    o.doc.foundList.clear();
    EXPECT_EQ(runDiskScan(o.doc, stop).result, ScanResult::Cancelled);
    EXPECT_EQ(stop.steps.size(), 5u);
}

TEST(NtfsScan, EverySectorIsTestedAndDirectoriesAreLeftOut) {
    test::NtfsImage img(8192);
    // File records outside the MFT, at odd sectors: a deleted file, a directory, a live file.
    auto put = [&](std::uint64_t sector, std::uint16_t flags, const std::u16string& name) {
        img.beginRecord(60, flags);
        img.addAttribute(60, test::NtfsImage::resident(0x10, u"", test::NtfsImage::standardInfo(0, 0x20)));
        img.addAttribute(60, test::NtfsImage::resident(0x30, u"", test::NtfsImage::fileName(40, name)));
        img.addAttribute(60, test::NtfsImage::resident(0x80, u"", {'d', 'a', 't', 'a'}));
        img.finish();
        std::copy_n(img.record(60).begin(), 1024, img.bytes.begin() + static_cast<std::ptrdiff_t>(sector * 512));
        std::fill_n(img.record(60).begin(), 1024, 0);
    };
    put(5003, 0, u"deleted.txt");
    put(6001, 3, u"a directory");
    put(7777, 1, u"live.txt");
    test::OpenedNtfs o(img);
    ASSERT_TRUE(o.ok);
    CQUIDNEYDoc& doc = o.doc;
    Recorder r;
    EXPECT_EQ(runDiskScan(doc, r).result, ScanResult::Finished);
    EXPECT_EQ(r.hits, (std::vector<std::string>{"5003 => deleted.txt", "7777 => live.txt"}));
    ASSERT_EQ(doc.ntfsFileList.size(), 2u);
    EXPECT_TRUE(doc.ntfsFileList[0].deleted);
    EXPECT_EQ(doc.ntfsFileList[0].cluster, 5003u);
    // A skip range over the deleted record's cluster hides it.
    doc.ntfsFileList.clear();
    insertSkipRange(doc.skipRanges, 5000, 5010);
    Recorder skipped;
    runDiskScan(doc, skipped);
    EXPECT_EQ(skipped.hits, (std::vector<std::string>{"7777 => live.txt"}));
}

// A document opened on bytes that fail where the test says.
struct FaultyDoc {
    explicit FaultyDoc(std::vector<std::uint8_t> bytes) : sources(std::move(bytes)), doc(prompts, sources) {
        doc.options.searchDisk = false;
        DocHost host;
        opened = doc.openDrive('T', host);
    }
    RecordingPrompts prompts;
    test::FaultySources sources;
    CQUIDNEYDoc doc;
    bool opened = false;
};

TEST(FatScan, ABadSectorCostsOneQuestionAndALostSourceNone) {
    FatImage img = FatImage::make(16, 4096, 4);  // 2 KiB clusters
    for (std::uint32_t c : {50u, 500u, 900u}) img.makeDirectory(c, 0);
    FaultyDoc f(img.bytes);
    ASSERT_TRUE(f.opened);
    // The first sectors of clusters 500 to 503 cannot be read, nor the last of cluster 600 (which
    // the scan does not need): one question for the run, and the run said once, whole.
    auto bad = [&](std::vector<std::uint32_t> clusters) {
        std::set<std::uint64_t> sectors{img.clusterOffset(600) / 512 + 3};
        for (std::uint32_t c : clusters) sectors.insert(img.clusterOffset(c) / 512);
        return sectors;
    };
    f.sources.plan().badSectors = bad({500, 501, 502, 503});
    f.prompts.yesNoAnswers = {true};
    Recorder r;
    EXPECT_EQ(runDiskScan(f.doc, r).result, ScanResult::Finished);
    EXPECT_EQ(f.prompts.ids(), (std::vector<int>{msg::kCannotReadCluster}));
    EXPECT_NE(f.prompts.messages[0].text.find("500"), std::string::npos);
    EXPECT_EQ(r.notices, (std::vector<std::string>{"无法读取簇 500-503"}));
    EXPECT_EQ(r.hits, (std::vector<std::string>{"50 => # 50", "900 => # 900"}));

    // Another run is another question; No stops there, with what was found kept.
    f.doc.foundList.clear();
    f.prompts.messages.clear();
    f.sources.plan().badSectors = bad({500, 501, 502, 503, 700});
    f.prompts.yesNoAnswers = {true, false};
    Recorder stopped;
    EXPECT_EQ(runDiskScan(f.doc, stopped).result, ScanResult::Cancelled);
    EXPECT_EQ(f.prompts.ids(), (std::vector<int>{msg::kCannotReadCluster, msg::kCannotReadCluster}));
    EXPECT_EQ(stopped.notices, (std::vector<std::string>{"无法读取簇 500-503"}));
    EXPECT_EQ(stopped.hits, (std::vector<std::string>{"50 => # 50"}));

    // The source goes away mid-scan: the scan ends with one message and no question.
    f.doc.foundList.clear();
    f.prompts.messages.clear();
    f.sources.plan().badSectors.clear();
    f.sources.plan().loseAfterReads = f.sources.plan().reads + 1;
    Recorder lost;
    EXPECT_EQ(runDiskScan(f.doc, lost).result, ScanResult::Cancelled);
    EXPECT_EQ(f.prompts.ids(), (std::vector<int>{msg::kSourceLost}));
}

TEST(NtfsScan, ABadSectorCostsOneQuestionAndTheSectorsAroundItAreTested) {
    test::NtfsImage img(8192);
    for (std::uint64_t sector : {5999u, 6001u}) {
        img.beginRecord(60, 1);
        img.addAttribute(60, test::NtfsImage::resident(0x10, u"", test::NtfsImage::standardInfo(0, 0x20)));
        img.addAttribute(60, test::NtfsImage::resident(0x30, u"", test::NtfsImage::fileName(40, sector == 5999 ? u"before" : u"after")));
        img.addAttribute(60, test::NtfsImage::resident(0x80, u"", {'d'}));
        img.finish();
        std::copy_n(img.record(60).begin(), 1024, img.bytes.begin() + static_cast<std::ptrdiff_t>(sector * 512));
        std::fill_n(img.record(60).begin(), 1024, 0);
    }
    img.finish();
    FaultyDoc f(img.bytes);
    ASSERT_TRUE(f.opened);
    // One bad sector on a volume of one-sector clusters. The record before it reaches into it
    // and cannot be read whole: one run of two clusters, one question, not one for every sector
    // of the block.
    f.sources.plan().badSectors = {6000};
    f.prompts.yesNoAnswers = {true};
    Recorder r;
    EXPECT_EQ(runDiskScan(f.doc, r).result, ScanResult::Finished);
    std::vector<std::string> asked;
    for (const auto& m : f.prompts.messages)
        if (m.id == msg::kCannotReadCluster) asked.push_back(m.text.substr(0, m.text.find('\n')));
    EXPECT_EQ(asked, (std::vector<std::string>{"无法读取簇 5999"}));
    EXPECT_EQ(r.notices, (std::vector<std::string>{"无法读取簇 5999-6000"}));
    EXPECT_EQ(r.hits, (std::vector<std::string>{"6001 => after"}));
}

}  // namespace
}  // namespace harrow
