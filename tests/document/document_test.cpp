#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include "common/strings.h"
#include "fatfs/directory.h"
#include "scan/disk_scan.h"
#include "support/fat_image.h"
#include "support/fault_source.h"

namespace harrow {
namespace {

using test::FatImage;
using test::OpenedImage;

std::vector<std::string> names(const ItemList& list) {
    std::vector<std::string> out;
    for (const auto& i : list) out.push_back(i.name);
    return out;
}

const FileItem* byName(const ItemList& list, const std::string& name) {
    for (const auto& i : list)
        if (i.name == name) return &i;
    return nullptr;
}

// What a disk scan hands the document: every cluster in ascending order.
void scanAll(CQUIDNEYDoc& doc, std::uint32_t last) {
    ASSERT_TRUE(doc.drive().isOpen());
    for (std::uint32_t c = 2; c <= last; ++c) ASSERT_TRUE(doc.addFoundDirectory(c)) << c;
}

TEST(Listing, RootEntriesOfEveryKind) {
    FatImage img = FatImage::make(16, 8192, 4);
    std::uint64_t at = img.rootOffset();
    img.putEntry(at, "MYVOLUME   ", 0x08, 0, 0);
    at += 32;
    at = img.putLongName(at, u"Long Name.txt");
    img.putEntry(at, "LONGNA~1TXT", 0x20, 5, 100);
    at += 32;
    img.putEntry(at, "\xE5" "ELETED TXT", 0x20, 6, 200);
    at += 32;
    img.putEntry(at, "SUBDIR     ", 0x10, 7, 0);
    at += 32;
    img.putEntry(at, "RO      TXT", 0x21, 8, 1);

    OpenedImage shown(img);
    ASSERT_TRUE(shown.opened);
    EXPECT_EQ(names(shown.doc.rootList),
              (std::vector<std::string>{"Long Name.txt", "#ELETED.TXT", "SUBDIR", "RO.TXT"}));
    EXPECT_EQ(shown.doc.drive().info().label, "MYVOLUME");
    const FileItem* sub = byName(shown.doc.rootList, "SUBDIR");
    ASSERT_TRUE(sub);
    EXPECT_EQ(sub->kind, ITEM_TOPDIR);
    EXPECT_EQ(sub->parentCluster, kParentFromDirectory);
    const FileItem* del = byName(shown.doc.rootList, "#ELETED.TXT");
    ASSERT_TRUE(del);
    EXPECT_TRUE(del->deleted);
    EXPECT_EQ(del->kind, ITEM_FILE);
    EXPECT_EQ(del->size, 200u);
    EXPECT_EQ(del->cluster, 6u);
    EXPECT_EQ(byName(shown.doc.rootList, "RO.TXT")->attributes, 0x21);

    OpenedImage hidden(img, 0, 2);
    EXPECT_EQ(names(hidden.doc.rootList), (std::vector<std::string>{"Long Name.txt", "SUBDIR", "RO.TXT"}));

    // Attributes 0x18 end the listing like a zero byte.
    img.putEntry(img.rootOffset() + 3 * 32, "STOP       ", 0x18, 0, 0);
    OpenedImage stopped(img);
    EXPECT_EQ(names(stopped.doc.rootList), (std::vector<std::string>{"Long Name.txt"}));
}

TEST(Listing, FixedRootIsReadWholeAsContiguousSectors) {
    // 512 entries of 512-byte sectors: 32 sectors, read whatever the FAT holds for cluster 0.
    FatImage img = FatImage::make(16, 8192, 4);
    img.setFat(0, 0x1234);
    for (int i = 0; i < 512; ++i) {
        char name[12];
        std::snprintf(name, sizeof name, "F%03d    TXT", i);
        img.putEntry(img.rootOffset() + 32 * std::uint64_t(i), name, 0x20, 0, 0);
    }
    img.putEntry(img.rootOffset() + 512 * 32, "BEYOND  TXT", 0x20, 0, 0);  // first data sector
    OpenedImage o(img);
    ASSERT_EQ(o.doc.rootList.size(), 512u);
    EXPECT_EQ(o.doc.rootList.back().name, "F511.TXT");
}

TEST(Listing, SubdirectoriesNeedDotEntriesAndFollowTheDirectoryFat) {
    // FAT32, one sector per cluster: 16 entries a cluster.
    FatImage img = FatImage::make(32, 70000, 1);
    img.putEntry(img.rootOffset(), "DIR        ", 0x10, 10, 0);
    img.putEntry(img.rootOffset() + 32, "NODOTS     ", 0x10, 30, 0);
    std::uint64_t at = img.makeDirectory(10, 0);
    for (int i = 0; i < 14; ++i, at += 32) img.putEntry(at, "A" + std::to_string(i) + std::string(10 - std::to_string(i).size(), ' '), 0x20, 0, 0);
    // Second cluster of the directory lies at 20 in FAT1; FAT2 ends the chain at once.
    img.chain({10, 20}, 0);
    img.chain({10}, 1);
    img.putEntry(img.clusterOffset(20), "B0         ", 0x20, 0, 0);
    img.putEntry(img.clusterOffset(11), "C0         ", 0x20, 0, 0);  // what contiguous reading finds

    auto listed = [&](int dirFat) -> std::optional<std::vector<std::string>> {
        OpenedImage o(img, dirFat);
        EXPECT_TRUE(o.opened);
        auto list = o.doc.listItem(o.doc.rootList[0], o.doc.rootItem());
        if (!list) return std::nullopt;
        return names(*list);
    };
    auto fat1 = listed(0), fat2 = listed(1), none = listed(kNoFat);
    ASSERT_TRUE(fat1 && fat2 && none);
    EXPECT_EQ(fat1->back(), "B0");
    EXPECT_EQ(fat1->size(), 17u);
    EXPECT_EQ(fat2->back(), "A13");
    EXPECT_EQ(none->back(), "C0");
    EXPECT_EQ(fat1->front(), ".");
    EXPECT_EQ((*fat1)[1], "..");

    OpenedImage o(img);
    auto dirList = o.doc.listItem(o.doc.rootList[0], o.doc.rootItem());
    ASSERT_TRUE(dirList);
    // ".." of a first-level directory names the root: a top directory, which lists as the root.
    EXPECT_EQ((*dirList)[1].kind, ITEM_TOPDIR);
    auto up = o.doc.listItem((*dirList)[1], o.doc.rootItem());
    ASSERT_TRUE(up);
    EXPECT_EQ(names(*up), names(o.doc.rootList));
    // A cluster that does not begin with "." and ".." is no directory.
    EXPECT_FALSE(o.doc.listItem(o.doc.rootList[1], o.doc.rootItem()));
}

TEST(Listing, DirectoriesHoldUpToTheirFormatsLimit) {
    // A FAT32 directory (the root among them) lists every one of its 40000 entries: a directory
    // may hold 65536.
    FatImage img = FatImage::make(32, 70000, 8);
    const std::uint32_t entries = 40000, perCluster = 8 * 512 / 32;
    std::vector<std::uint32_t> chain;
    for (std::uint32_t c = img.rootCluster; c < img.rootCluster + entries / perCluster + 1; ++c) chain.push_back(c);
    img.chain(chain);
    for (std::uint32_t i = 0; i < entries; ++i) {
        char name[12];
        std::snprintf(name, sizeof name, "F%07u   ", i);
        img.putEntry(img.rootOffset() + std::uint64_t{i} * 32, name, 0x20, 0, 0);
    }
    OpenedImage o(img);
    ASSERT_TRUE(o.opened);
    EXPECT_EQ(o.doc.rootList.size(), entries);
    EXPECT_EQ(o.doc.rootList.back().name, "F0039999");
}

TEST(Listing, RootThatCannotBeReadIsToldFromAnEmptyOne) {
    auto make = [](int bits, int entries) {
        FatImage img = FatImage::make(bits, 8192, 1);
        if (bits == 32) img.chain({2, 3});
        for (int i = 0; i < entries; ++i) {
            char number[8];
            std::snprintf(number, sizeof number, "%03d", i % 1000);
            img.putEntry(img.rootOffset() + 32 * std::uint64_t(i), std::string("F") + number + "    TXT", 0x20, 0, 0);
        }
        return img;
    };
    const FatImage fat16 = make(16, 20), fat32 = make(32, 20);
    struct Case {
        const char* what;
        const FatImage& img;
        int entries;
        std::uint64_t keepBytes;  // of the image; 0 keeps it whole
        std::set<std::uint64_t> bad;
        std::size_t listed;
        bool unreadable;
    } cases[] = {
        {"whole", fat16, 20, 0, {}, 20, false},
        {"empty", make(16, 0), 0, 0, {}, 0, false},
        {"FAT16 cut before its root", fat16, 20, fat16.rootOffset(), {}, 0, true},
        {"FAT32 cut before its root", fat32, 20, fat32.rootOffset(), {}, 0, true},
        {"second root sector bad", fat16, 20, 0, {fat16.rootOffset() / 512 + 1}, 16, true},
        {"cut after the root", fat32, 20, fat32.clusterOffset(40), {}, 20, false},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> bytes = c.img.bytes;
        if (c.keepBytes) bytes.resize(c.keepBytes);
        test::FaultySources sources(std::move(bytes));
        sources.plan().badSectors = c.bad;
        RecordingPrompts prompts;
        CQUIDNEYDoc doc(prompts, sources);
        doc.options.searchDisk = false;
        DocHost host;
        ASSERT_TRUE(doc.openDrive('T', host)) << c.what;
        EXPECT_EQ(doc.rootList.size(), c.listed) << c.what;
        EXPECT_EQ(doc.rootUnreadable, c.unreadable) << c.what;
        EXPECT_EQ(prompts.ids(), c.unreadable ? std::vector<int>{msg::kRootUnreadable} : std::vector<int>{}) << c.what;
    }
}

TEST(Listing, ObserversHearTheListFillAndMayStopIt) {
    FatImage img = FatImage::make(16, 8192, 4);
    for (int i = 0; i < 20; ++i) img.putEntry(img.rootOffset() + 32 * i, "F" + std::to_string(100 + i) + "        ", 0x20, 0, 0);
    struct StopAt : ListObserver {
        std::size_t heard = 0;
        void progress(std::size_t items) override { heard = items; }
        bool cancelled() override { return heard >= 5; }
    };
    struct Host : DocHost {
        StopAt observer;
        ListObserver* rootListObserver() override { return &observer; }
    } host;
    OpenedImage o(img);
    ASSERT_TRUE(o.doc.openDrive('T', host));
    EXPECT_EQ(o.doc.rootList.size(), 5u);
    EXPECT_EQ(host.observer.heard, 5u);
}

TEST(FoundDirectories, LostTreeIsFoundAndNamedFromItsParents) {
    FatImage img = FatImage::make(16, 8192, 1);
    // D1 at 10 (its root entry gone), D2 at 11 inside it, D3 at 12 inside D2, a file in D3.
    std::uint64_t at = img.makeDirectory(10, 0);
    img.putLongName(at, u"Second level");
    img.putEntry(at + 32, "SECOND~1   ", 0x10, 11, 0);
    at = img.makeDirectory(11, 10);
    img.putEntry(at, "THIRD      ", 0x10, 12, 0);
    at = img.makeDirectory(12, 11);
    img.putEntry(at, "FILE    TXT", 0x20, 13, 10);
    // A directory whose "." names another cluster is not added.
    img.putEntry(img.clusterOffset(20), ".          ", 0x10, 21, 0);
    img.putEntry(img.clusterOffset(20) + 32, "..         ", 0x10, 0, 0);
    for (std::uint32_t c : {10u, 11u, 12u, 20u}) img.chain({c});

    {
        OpenedImage o(img);
        ASSERT_TRUE(o.opened);
        o.doc.options.listMode = ID_LIST_ALLDIRS;
        scanAll(o.doc, 40);
        EXPECT_TRUE(o.prompts.shown(msg::kDotEntryMismatch));
        ASSERT_EQ(o.doc.foundList.size(), 3u);
        EXPECT_EQ(o.doc.foundList[0].name, "# 10");
        EXPECT_EQ(o.doc.foundList[0].kind, ITEM_LOSTROOTDIR);
        EXPECT_EQ(o.doc.foundList[1].name, "Second level");  // named from its parent when found
        EXPECT_EQ(o.doc.foundList[1].kind, ITEM_LOSTDIR);
        EXPECT_EQ(o.doc.foundList[1].parentCluster, 10u);
        o.doc.matchFoundToRoot();
        o.doc.namingPass();
        EXPECT_EQ(o.doc.foundList[1].kind, ITEM_LOSTSUBDIR);
        EXPECT_EQ(o.doc.foundList[2].name, "THIRD");
        EXPECT_EQ(o.doc.foundList[2].kind, ITEM_LOSTSUBDIR);
        EXPECT_EQ(o.doc.findFoundItem(12), &o.doc.foundList[2]);
        EXPECT_EQ(o.doc.findFoundItem(13), nullptr);

        EXPECT_EQ(names(o.doc.listForMode(ID_LIST_SEARCHROOT)), (std::vector<std::string>{"# 10"}));
        EXPECT_EQ(names(o.doc.listForMode(ID_LIST_LOSTDIRS)), (std::vector<std::string>{"Second level", "THIRD"}));
        EXPECT_EQ(o.doc.listForMode(ID_LIST_ALLDIRS).size(), 3u);

        // Entries of a found directory take the kind and name the pass gave their directory.
        auto inD1 = o.doc.listDirectory(10);
        ASSERT_TRUE(inD1);
        ASSERT_EQ(inD1->size(), 3u);
        EXPECT_EQ((*inD1)[2].name, "Second level");
        EXPECT_EQ((*inD1)[2].kind, ITEM_LOSTSUBDIR);
    }

    // With D1 reachable from the root (even as a deleted entry), everything is named from there.
    img.putEntry(img.rootOffset(), "\xE5" "IRST      ", 0x10, 10, 0);
    OpenedImage o(img);
    scanAll(o.doc, 40);
    o.doc.matchFoundToRoot();
    o.doc.namingPass();
    EXPECT_EQ(o.doc.foundList[0].name, "#IRST");
    EXPECT_EQ(o.doc.foundList[0].kind, ITEM_TOPDIR);
    EXPECT_EQ(o.doc.foundList[1].kind, ITEM_DIR);
    EXPECT_EQ(o.doc.foundList[2].kind, ITEM_DIR);
    EXPECT_EQ(o.doc.foundList[2].name, "THIRD");
}

TEST(FoundDirectories, LoopsOfDirectoriesEndTheNamingPass) {
    FatImage img = FatImage::make(16, 8192, 1);
    // A and B name each other as subdirectories, and A names itself.
    std::uint64_t at = img.makeDirectory(10, 11);
    img.putEntry(at, "B          ", 0x10, 11, 0);
    img.putEntry(at + 32, "SELF       ", 0x10, 10, 0);
    at = img.makeDirectory(11, 10);
    img.putEntry(at, "A          ", 0x10, 10, 0);
    img.chain({10});
    img.chain({11});
    OpenedImage o(img);
    scanAll(o.doc, 40);
    o.doc.namingPass();
    ASSERT_EQ(o.doc.foundList.size(), 2u);
    EXPECT_EQ(o.doc.foundList[0].kind, ITEM_LOSTSUBDIR);
    EXPECT_EQ(o.doc.foundList[1].kind, ITEM_LOSTSUBDIR);
}

// A deleted directory at 10 whose one-sector first cluster is full: what follows is a guess.
FatImage fullDeletedDirectory() {
    FatImage img = FatImage::make(16, 8192, 1);
    img.putEntry(img.rootOffset(), "\xE5" "OST       ", 0x10, 10, 0);
    std::uint64_t at = img.makeDirectory(10, 0);
    for (int i = 0; i < 14; ++i, at += 32) img.putEntry(at, "A" + std::to_string(i) + std::string(10 - std::to_string(i).size(), ' '), 0x20, 0, 0);
    return img;
}

TEST(LostDirectories, GuessedClustersAreReadWhileTheyReadAsADirectory) {
    struct Case {
        const char* what;
        std::function<void(FatImage&)> next;  // fills cluster 11, the first free after 10
        std::size_t listed;
        std::uint32_t skipped;
    };
    const Case cases[] = {
        {"entries, one of them junk",
         [](FatImage& img) {
             for (int i = 0; i < 8; ++i) img.putEntry(img.clusterOffset(11) + 32 * i, "B" + std::to_string(i) + "         ", 0x20, 50 + i, 10);
             img.putEntry(img.clusterOffset(11) + 256, "J1\x01       ", 0xC0, 4000000, 0);
             img.putEntry(img.clusterOffset(11) + 288, "J2         ", 0x20, 50, 700, 0xFFFF);  // month 15
         },
         16 + 8, 2},
        {"random bytes",
         [](FatImage& img) {
             std::uint32_t x = 7;
             for (std::size_t i = 0; i < 512; ++i) img.bytes[img.clusterOffset(11) + i] = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 24);
         },
         16, 0},
        {"text",
         [](FatImage& img) {
             const std::string line = "line 000001 of a generated test file\n";
             for (std::size_t i = 0; i < 512; ++i) img.bytes[img.clusterOffset(11) + i] = static_cast<std::uint8_t>(line[i % line.size()]);
         },
         16, 0},
        {"another directory's start",
         [](FatImage& img) { img.putEntry(img.makeDirectory(11, 0), "C0         ", 0x20, 0, 0); }, 16, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FatImage img = fullDeletedDirectory();
        c.next(img);
        // A live file between the directory's clusters is passed over.
        img.chain({12});
        img.putEntry(img.clusterOffset(12), "LIVE       ", 0x20, 0, 0);
        OpenedImage o(img);
        ASSERT_TRUE(o.opened);
        auto list = o.doc.listItem(o.doc.rootList[0], o.doc.rootItem());
        ASSERT_TRUE(list);
        EXPECT_EQ(list->size(), c.listed);
        EXPECT_EQ(byName(*list, "LIVE"), nullptr);
        EXPECT_EQ(o.prompts.shown(msg::kEntriesSkipped), c.skipped != 0);
        // A guess that stopped before the directory's end says the rest may lie elsewhere.
        EXPECT_EQ(o.prompts.shown(msg::kGoesOnElsewhere), c.listed == 16);
        if (c.skipped != 0) {
            EXPECT_NE(o.prompts.messages.back().text.find(std::to_string(c.skipped) + " "), std::string::npos);
            // Said once a directory.
            const std::size_t said = o.prompts.messages.size();
            o.doc.listItem(o.doc.rootList[0], o.doc.rootItem());
            EXPECT_EQ(o.prompts.messages.size(), said);
        }
    }
}

TEST(LostDirectories, TheScanJoinsLaterClustersAndGathersOrphans) {
    FatImage img = fullDeletedDirectory();
    // 30, like 10, is full. 40 continues 10, as the parent of the subdirectory it names (50)
    // shows; 45 the directory before it in cluster order that may go on (30); after them none
    // may, and 60 is an orphan. 21 is a live directory's.
    std::uint64_t at = img.makeDirectory(30, 0);
    for (int i = 0; i < 14; ++i, at += 32) img.putEntry(at, "C" + std::to_string(i) + std::string(10 - std::to_string(i).size(), ' '), 0x20, 0, 0);
    img.putEntry(img.clusterOffset(40), "E1         ", 0x10, 50, 0);
    img.makeDirectory(50, 10);
    img.putEntry(img.clusterOffset(45), "D0         ", 0x20, 0, 0);
    img.putEntry(img.clusterOffset(60), "O0         ", 0x20, 0, 0);
    img.putEntry(img.clusterOffset(21), "LIVEDIR2   ", 0x20, 0, 0);
    img.chain({21});
    OpenedImage o(img);
    ASSERT_TRUE(o.opened);
    ScanObserver quiet;
    EXPECT_EQ(runDiskScan(o.doc, quiet).result, ScanResult::Finished);

    auto lastOf = [&](std::uint32_t cluster) {
        auto list = o.doc.listDirectory(cluster);
        return list ? list->back().name : std::string("(none)");
    };
    EXPECT_EQ(lastOf(10), "E1");
    EXPECT_EQ(lastOf(30), "D0");
    const FileItem* orphans = o.doc.findFoundItem(60);
    ASSERT_NE(orphans, nullptr);
    EXPECT_EQ(orphans->name, messageText(msg::kOrphanEntries));
    auto gathered = o.doc.listItem(*orphans, o.doc.rootItem());
    ASSERT_TRUE(gathered);
    EXPECT_EQ(names(*gathered), (std::vector<std::string>{"O0"}));
    EXPECT_EQ(o.doc.findFoundItem(45), nullptr);
}

TEST(Document, GeometryIsHeldToTheSource) {
    // 8192 sectors, one per cluster: 32 reserved, two FATs of 65 sectors, 8030 data clusters.
    const FatImage base = FatImage::make(32, 8192, 1);
    struct Case {
        const char* what;
        std::uint32_t total, sectorsPerFat;
        std::size_t keepSectors;
        bool opens;
    } cases[] = {
        {"total beyond the FAT and the file", 0xFFFFFFFF, 65, 8192, true},
        {"FATs beyond the file", 0xFFFFFFFF, 0x00A00000, 8192, false},
        {"a file cut short keeps the volume's size", 8192, 65, 4000, true},
    };
    for (const auto& c : cases) {
        FatImage img = base;
        storeLe(img.boot(), 0x20, c.total);
        storeLe(img.boot(), 0x24, c.sectorsPerFat);
        img.bytes.resize(c.keepSectors * 512);
        OpenedImage o(img);
        EXPECT_EQ(o.opened, c.opens) << c.what;
        if (c.opens) {
            EXPECT_EQ(o.doc.drive().info().clusterCount, 8030u + 2) << c.what;
            EXPECT_EQ(o.doc.drive().fat().lastCluster(), 8031u) << c.what;
        } else {
            EXPECT_EQ(o.prompts.ids(), std::vector<int>{msg::kUnknownFormat}) << c.what;
        }
    }

    // FATs of 2000 sectors for 4160 clusters: the first 33 sectors of each copy hold every entry,
    // and only those are read, each copy from its own place.
    FatImage roomy = base;
    roomy.sectorsPerFat = 2000;
    storeLe<std::uint32_t>(roomy.boot(), 0x24, 2000);
    roomy.setFat(4000, 7, 0);
    roomy.setFat(4000, 9, 1);
    OpenedImage o(roomy);
    ASSERT_TRUE(o.opened);
    const FatTable& fat = o.doc.drive().fat();
    EXPECT_EQ(fat.totalBytes(), 2u * 33 * 512);
    EXPECT_EQ(fat.entry(0, 4000), 7u);
    EXPECT_EQ(fat.entry(1, 4000), 9u);
}

TEST(Document, OpenFlowRunsTheScanHostOnlyWhenAsked) {
    struct CountingHost : DocHost {
        int scans = 0, namings = 0;
        void runScan(CQUIDNEYDoc& doc) override {
            ++scans;
            for (std::uint32_t c = 2; c < 40; ++c) doc.addFoundDirectory(c);
        }
        void runNamingPass(CQUIDNEYDoc& doc) override {
            ++namings;
            DocHost::runNamingPass(doc);
        }
    };
    FatImage img = FatImage::make(12, 2880, 1, 224);
    img.makeDirectory(10, 0);
    img.chain({10});
    OpenedImage o(img);
    CountingHost host;
    o.doc.options.searchDisk = true;
    EXPECT_TRUE(o.doc.openDrive('T', host));
    EXPECT_EQ(host.scans, 1);
    EXPECT_EQ(host.namings, 1);
    EXPECT_EQ(o.doc.foundList.size(), 1u);
    EXPECT_TRUE(o.doc.listsStale);
    EXPECT_TRUE(o.doc.drive().isOpen());  // until the next open

    o.doc.options.searchDisk = false;
    EXPECT_TRUE(o.doc.openDrive('T', host));
    EXPECT_EQ(host.scans, 1);
    EXPECT_TRUE(o.doc.foundList.empty());

    // A letter nothing stands behind: no list, and the user is told.
    DriveTable empty;
    SystemSources none(empty);
    RecordingPrompts prompts;
    CQUIDNEYDoc nowhere(prompts, none);
    EXPECT_FALSE(nowhere.openDrive('Q', host));
    EXPECT_TRUE(nowhere.rootList.empty());
    EXPECT_EQ(prompts.ids(), (std::vector<int>{msg::kCannotOpenDrive}));
}

}  // namespace
}  // namespace harrow
