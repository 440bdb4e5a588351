#include <gtest/gtest.h>

#include <functional>

#include "document/find_items.h"
#include "document/item_filter.h"
#include "scan/disk_scan.h"
#include "support/sample_volume.h"

namespace harrow {
namespace {

FileItem item(std::string name, std::uint64_t size, std::uint16_t date, bool deleted = false, bool dir = false,
              std::string shortName = "") {
    return {.kind = dir ? ITEM_DIR : ITEM_FILE, .name = std::move(name), .attributes = dir ? ATTR_DIRECTORY : ATTR_ARCHIVE,
            .time = 12 << 11, .date = date, .size = size, .deleted = deleted, .shortName = std::move(shortName)};
}

// Where the parsers say why; what they say is the string table's.
std::string error;

constexpr std::uint16_t dosDate(int y, int m, int d) { return static_cast<std::uint16_t>((y - 1980) << 9 | m << 5 | d); }

TEST(ItemFilter, KeepsWhatEachRuleAsks) {
    // The states a search gives each item: lost for LOST.JPG, saved for KEPT.TXT.
    const std::vector<std::pair<FileItem, unsigned>> items = {
        {item("Photo.JPG", 3 << 20, dosDate(2024, 3, 1)), STATE_LIVE},
        {item("#EPORT.TXT", 1024, dosDate(2023, 12, 31), true), STATE_DELETED},
        {item("#Annual report.txt", 1025, dosDate(2024, 1, 1), true, false, "#NNUAL~1.TXT"), STATE_DELETED},
        {item("DCIM", 0, dosDate(2024, 2, 1), false, true), STATE_LIVE},
        {item("LOST.JPG", 0, 0), STATE_LOST},
        {item("KEPT.TXT", 10, dosDate(2024, 2, 29)), STATE_LIVE | STATE_SAVED},
        {item("[x].txt", 5, dosDate(2024, 2, 29)), STATE_LIVE},
    };
    struct Case {
        const char* what;
        std::function<void(ItemFilter&)> set;
        std::vector<std::string> kept;
    };
    auto names = [](std::vector<const char*> globs) {
        return [globs](ItemFilter& f) {
            for (const char* g : globs) f.names.push_back(*NameGlob::parse(g, error));
        };
    };
    auto size = [](const char* text) { return [text](ItemFilter& f) { f.narrowSize(*parseSizeBound(text, error)); }; };
    const std::vector<Case> cases = {
        {"no rule keeps all", [](ItemFilter&) {}, {"Photo.JPG", "#EPORT.TXT", "#Annual report.txt", "DCIM", "LOST.JPG", "KEPT.TXT", "[x].txt"}},
        {"any letter case, globs or'd", names({"*.jpg", "dc?m"}), {"Photo.JPG", "DCIM", "LOST.JPG"}},
        // A deleted short name lost its first letter; a deleted long name is whole after the '#'.
        {"deleted names", names({"report*"}), {"#EPORT.TXT"}},
        {"deleted long name", names({"annual*"}), {"#Annual report.txt"}},
        {"the '#' as listed", names({"#*"}), {"#EPORT.TXT", "#Annual report.txt"}},
        {"sets and escapes", names({"[!p-z]*.t[x]t", "\\[x\\]*"}), {"#EPORT.TXT", "#Annual report.txt", "KEPT.TXT", "[x].txt"}},
        {"files only", [](ItemFilter& f) { f.directories = false; }, {"Photo.JPG", "#EPORT.TXT", "#Annual report.txt", "LOST.JPG", "KEPT.TXT", "[x].txt"}},
        {"deleted", [](ItemFilter& f) { f.states = STATE_DELETED; }, {"#EPORT.TXT", "#Annual report.txt"}},
        {"live", [](ItemFilter& f) { f.states = STATE_LIVE; }, {"Photo.JPG", "DCIM", "KEPT.TXT", "[x].txt"}},
        {"lost or saved", [](ItemFilter& f) { f.states = STATE_LOST | STATE_SAVED; }, {"LOST.JPG", "KEPT.TXT"}},
        // Bounds are inclusive, in powers of 1024, and keep no directory.
        {"at least 1k", size("+1k"), {"Photo.JPG", "#EPORT.TXT", "#Annual report.txt"}},
        {"at most 1k", size("-1k"), {"#EPORT.TXT", "LOST.JPG", "KEPT.TXT", "[x].txt"}},
        {"between", [&](ItemFilter& f) { size("+1k")(f); size("-1025c")(f); }, {"#EPORT.TXT", "#Annual report.txt"}},
        {"exactly", size("3M"), {"Photo.JPG"}},
        // Newer is at or after, older before; an item with no date is neither.
        {"newer", [](ItemFilter& f) { f.newer = parseFilterDate("2024-02-29", error); }, {"Photo.JPG", "KEPT.TXT", "[x].txt"}},
        {"older, to the minute", [](ItemFilter& f) { f.older = parseFilterDate("2024-01-01T12:01", error); }, {"#EPORT.TXT", "#Annual report.txt"}},
    };
    for (const Case& c : cases) {
        ItemFilter filter;
        c.set(filter);
        std::vector<std::string> kept;
        for (const auto& [i, states] : items)
            if (filter.matches(i, states, nullptr)) kept.push_back(i.name);
        EXPECT_EQ(kept, c.kept) << c.what;
    }
}

TEST(ItemFilter, ParsersRefuseWhatTheyCannotRead) {
    for (const char* glob : {"", "[abc", "[]", "a\\", "[z-a]", "[a-\\"}) EXPECT_FALSE(NameGlob::parse(glob, error)) << glob;
    for (const char* size : {"", "+", "10x", "1kk", "+-1", "1 k", "18446744073709551616", "17179869184T", "0x10"})
        EXPECT_FALSE(parseSizeBound(size, error)) << size;
    EXPECT_EQ(parseSizeBound("18446744073709551615", error)->min, UINT64_MAX);
    for (const char* date : {"2024-2-1", "2023-02-29", "2024-13-01", "2024-01-01T24:00", "2024-01-01T12:60",
                             "2024-01-01X12:00", "2024-01-01T12:00:00", "２024-01-01"})
        EXPECT_FALSE(parseFilterDate(date, error)) << date;
    EXPECT_TRUE(parseFilterDate("2024-02-29T23:59", error));
    ItemFilter filter;
    filter.narrowSize(*parseSizeBound("+2k", error));
    filter.narrowSize(*parseSizeBound("-1k", error));
    EXPECT_FALSE(filter.check(error));
    filter = {};
    filter.newer = filter.older = parseFilterDate("2024-01-01", error);
    EXPECT_FALSE(filter.check(error));
}

struct Recorder : FindObserver {
    bool found(const FileItem&, const std::string& path, unsigned states) override {
        seen.emplace_back(path, states);
        return true;
    }
    bool cancelled() override { return stopAfter && seen.size() >= stopAfter; }
    std::vector<std::pair<std::string, unsigned>> seen;
    std::size_t stopAfter = 0;
};

TEST(FindItems, DeletedAndLostPassToWhatTheyHoldAndCancelStops) {
    test::OpenedImage o(test::makeSampleFat());
    ASSERT_TRUE(o.opened);
    ScanObserver quiet;
    runDiskScan(o.doc, quiet);
    o.doc.namingPass();
    Recorder all;
    EXPECT_FALSE(findItems(o.doc, ItemFilter{}, all).stopped);
    constexpr unsigned L = STATE_LIVE, D = STATE_DELETED, X = STATE_LOST;
    // The lost trees come after the root's, from their tops: "Old letters" is found by the scan
    // too, and named from @50.
    const std::vector<std::pair<std::string, unsigned>> want = {
        {"/Documents", L}, {"/Documents/Report 2024.txt", L}, {"/Documents/notes.txt", L},
        {"/Documents/ONE.BIN", L}, {"/Documents/seventeen.txt", L}, {"/Documents/#UDGET.XLS", D},
        {"/PHOTOS", L}, {"/PHOTOS/IMG_0001.JPG", L}, {"/PHOTOS/#MG_0002.JPG", D}, {"/#LD", D},
        {"/#LD/OLDLIST.TXT", D}, {"/readme.txt", L}, {"/#EPORT.TXT", D}, {"/BROKEN.DAT", L}, {"/HALF.DAT", L},
        {"@50", X}, {"@50/holiday.jpg", X}, {"@50/Old letters", X}, {"@50/Old letters/MOTHER.TXT", X},
        {"@55", X}, {"@55/SETUP.EXE", X}};
    EXPECT_EQ(all.seen, want);

    Recorder three;
    three.stopAfter = 3;
    EXPECT_TRUE(findItems(o.doc, ItemFilter{}, three).stopped);
    EXPECT_EQ(three.seen.size(), 3u);
}

}  // namespace
}  // namespace harrow
