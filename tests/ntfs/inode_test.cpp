// File records, attribute tables, data reading and directory indexes on a crafted NTFS volume.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "common/strings.h"
#include "document/document.h"
#include "document/file_reader.h"
#include "ntfs/index.h"
#include "ntfs/inode.h"
#include "ntfs/ntfs_list.h"
#include "saving/save_run.h"
#include "scan/disk_scan.h"
#include "support/ntfs_image.h"

namespace harrow {
namespace {

using test::join;
using test::NtfsImage;

using Opened = test::OpenedNtfs;

std::vector<std::uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

std::string readAll(CInode& ino, std::uint32_t type = AT_DATA, std::optional<std::string_view> name = std::nullopt) {
    std::uint64_t size = ino.attributeSize(type, name);
    std::vector<std::uint8_t> buf(size + 1024);
    std::uint64_t n = ino.read(type, name, 0, buf, size);
    return std::string(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
}

TEST(NtfsInode, RecordsLoadByNumberAndBySector) {
    NtfsImage img;
    img.beginRecord(20);
    img.addAttribute(20, NtfsImage::resident(AT_DATA, u"", bytesOf("resident bytes")));
    img.beginRecord(21, 0);  // not in use: a deleted file
    img.addAttribute(21, NtfsImage::resident(AT_DATA, u"", bytesOf("still here")));
    Opened o(img);
    ASSERT_TRUE(o.ok);
    EXPECT_TRUE(o.drive().hasMft());
    EXPECT_EQ(o.drive().sectorOfRecord(20), img.recordSector(20));
    EXPECT_EQ(o.drive().sectorOfRecord(1000), kNoRecord);

    CInode ino(o.drive().mft());
    ASSERT_TRUE(ino.loadByNumber(20));
    EXPECT_EQ(readAll(ino), "resident bytes");
    EXPECT_EQ(ino.headerRecordNumber(), 20u);
    ASSERT_TRUE(ino.loadBySector(img.recordSector(21)));
    EXPECT_FALSE(ino.inUse());
    EXPECT_EQ(ino.recordNumber(), kNoRecord);
    EXPECT_EQ(readAll(ino), "still here");
    // Reads past the end deliver nothing; a count past it is cut.
    std::vector<std::uint8_t> buf(64);
    EXPECT_EQ(ino.read(AT_DATA, std::nullopt, 11, buf, 64), 0u);
    EXPECT_EQ(ino.read(AT_DATA, std::nullopt, 6, buf, 64), 4u);
}

TEST(NtfsInode, TornRecordsFailLoudlyByNumberAndQuietlyBySector) {
    NtfsImage img;
    img.beginRecord(20);
    img.finish();
    img.record(20)[1022] ^= 0xFF;  // the second sector no longer ends in the sequence number
    Opened o(img);
    ASSERT_TRUE(o.ok);
    CInode ino(o.drive().mft());
    o.prompts.messages.clear();
    EXPECT_FALSE(ino.loadByNumber(20));
    ASSERT_EQ(o.prompts.messages.size(), 1u);
    EXPECT_EQ(o.prompts.messages[0].text, diag::kInodeNotFound);
    o.prompts.messages.clear();
    EXPECT_FALSE(ino.loadBySector(img.recordSector(20)));
    EXPECT_TRUE(o.prompts.messages.empty());
    EXPECT_FALSE(ino.loaded());
}

TEST(NtfsInode, AttributeTableKeepsFileNamesAndFindsByKind) {
    NtfsImage img;
    img.beginRecord(20);
    img.addAttribute(20, NtfsImage::resident(AT_FILE_NAME, u"", NtfsImage::fileName(5, u"LONGNA~1.TXT", 2)));
    img.addAttribute(20, NtfsImage::resident(AT_FILE_NAME, u"", NtfsImage::fileName(5, u"Long name.txt", 1)));
    img.addAttribute(20, NtfsImage::resident(AT_DATA, u"", bytesOf("main")));
    img.addAttribute(20, NtfsImage::resident(AT_DATA, u"extra", bytesOf("stream")));
    img.addAttribute(20, NtfsImage::resident(AT_DATA, u"", bytesOf("duplicate, ignored")));
    img.addAttribute(20, NtfsImage::resident(AT_STANDARD_INFORMATION, u"", NtfsImage::standardInfo(0, 0x21)));
    // A record whose first data attribute is a named stream.
    img.beginRecord(21);
    img.addAttribute(21, NtfsImage::resident(AT_DATA, u"zone", bytesOf("named")));
    img.addAttribute(21, NtfsImage::resident(AT_DATA, u"", bytesOf("unnamed")));
    Opened o(img);
    ASSERT_TRUE(o.ok);
    CInode ino(o.drive().mft());
    ASSERT_TRUE(ino.loadByNumber(20));
    std::vector<std::uint32_t> types;
    for (const auto& a : ino.attributes()) types.push_back(a.type);
    EXPECT_EQ(types, (std::vector<std::uint32_t>{0x10, 0x30, 0x30, 0x80, 0x80}));
    // Both file names stay; the one met last stands first.
    EXPECT_EQ(ino.attributes()[1].value[0x41], 1);
    EXPECT_EQ(ino.attributes()[2].value[0x41], 2);
    EXPECT_EQ(readAll(ino), "main");
    // Each lookup finds its own attribute whatever of the type stands before it; names are whole.
    EXPECT_EQ(readAll(ino, AT_DATA, "extra"), "stream");
    EXPECT_EQ(ino.find(AT_DATA, "ext"), nullptr);
    EXPECT_EQ(ino.find(AT_DATA, "nope"), nullptr);
    EXPECT_EQ(ino.attributeSize(AT_INDEX_ROOT), 0u);

    ASSERT_TRUE(ino.loadByNumber(21));
    EXPECT_EQ(readAll(ino), "unnamed");
    EXPECT_EQ(readAll(ino, AT_DATA, "zone"), "named");
}

TEST(NtfsInode, AttributeListsGatherExtentsFromOtherRecords) {
    NtfsImage img;
    // Data of 20 clusters: clusters 1000-1009 in the base record, 2000-2009 in record 21.
    for (int c = 0; c < 10; ++c) {
        std::fill_n(img.cluster(1000 + c).begin(), 512, static_cast<std::uint8_t>('a' + c));
        std::fill_n(img.cluster(2000 + c).begin(), 512, static_cast<std::uint8_t>('A' + c));
    }
    auto listEntry = [](std::uint32_t type, std::uint64_t record, std::uint64_t vcn) {
        std::vector<std::uint8_t> e(0x20, 0);
        MutableBytes b(e);
        storeLe<std::uint32_t>(b, 0x00, type);
        storeLe<std::uint16_t>(b, 0x04, 0x20);
        storeLe<std::uint64_t>(b, 0x08, vcn);
        storeLe<std::uint64_t>(b, 0x10, record | (1ull << 48));
        return e;
    };
    img.beginRecord(20);
    img.addAttribute(20, NtfsImage::resident(AT_ATTRIBUTE_LIST, u"",
                                             join({listEntry(AT_ATTRIBUTE_LIST, 20, 0), listEntry(AT_DATA, 20, 0),
                                                   listEntry(AT_DATA, 21, 10), listEntry(AT_DATA, 21, 10)})));
    img.addAttribute(20, NtfsImage::nonResident(AT_DATA, u"", {0x21, 0x0A, 0xE8, 0x03}, 0, 9, 20 * 512 - 100));
    img.beginRecord(21);
    img.addAttribute(21, NtfsImage::nonResident(AT_DATA, u"", {0x21, 0x0A, 0xD0, 0x07}, 10, 19, 0));
    Opened o(img);
    ASSERT_TRUE(o.ok);
    CInode ino(o.drive().mft());
    ASSERT_TRUE(ino.loadByNumber(20));
    const AttrEntry* data = ino.find(AT_DATA);
    ASSERT_TRUE(data);
    ASSERT_EQ(data->runs.size(), 2u);
    EXPECT_EQ(data->runs[1].lcn, 2000);
    std::string all = readAll(ino);
    ASSERT_EQ(all.size(), 20u * 512 - 100);
    EXPECT_EQ(all[0], 'a');
    EXPECT_EQ(all[9 * 512], 'j');
    EXPECT_EQ(all[10 * 512], 'A');
    EXPECT_EQ(all.back(), 'J');
    // Loaded by sector, as saving loads it, the list's entry for the base record is known by its
    // bytes and not walked twice.
    ASSERT_TRUE(ino.loadBySector(img.recordSector(20)));
    EXPECT_EQ(readAll(ino), all);

    // A list that names its records over and over, in turns: each record is read once, or its
    // extents would be joined twice and the table thrown away.
    img.beginRecord(20);
    img.addAttribute(20, NtfsImage::resident(AT_ATTRIBUTE_LIST, u"",
                                             join({listEntry(AT_DATA, 20, 0), listEntry(AT_DATA, 21, 10),
                                                   listEntry(AT_DATA, 20, 0), listEntry(AT_DATA, 21, 10),
                                                   listEntry(AT_DATA, 20, 0), listEntry(AT_DATA, 21, 10)})));
    img.addAttribute(20, NtfsImage::nonResident(AT_DATA, u"", {0x21, 0x0A, 0xE8, 0x03}, 0, 9, 20 * 512 - 100));
    Opened turns(img);
    CInode circling(turns.drive().mft());
    ASSERT_TRUE(circling.loadByNumber(20));
    EXPECT_EQ(readAll(circling), all);

    // The list names a stream of the base record before the unnamed data of record 23: the
    // stream enters the table first, and the file's data must still be found.
    img.beginRecord(22);
    img.addAttribute(22, NtfsImage::resident(AT_ATTRIBUTE_LIST, u"",
                                             join({listEntry(AT_DATA, 22, 0), listEntry(AT_DATA, 23, 0)})));
    img.addAttribute(22, NtfsImage::resident(AT_DATA, u"ads", bytesOf("stream")));
    img.beginRecord(23);
    img.addAttribute(23, NtfsImage::resident(AT_DATA, u"", bytesOf("file data")));
    Opened streamFirst(img);
    CInode listed(streamFirst.drive().mft());
    ASSERT_TRUE(listed.loadBySector(img.recordSector(22)));
    EXPECT_EQ(readAll(listed), "file data");

    // An extent that does not continue the runs leaves the record with an empty table.
    img.beginRecord(21);
    img.addAttribute(21, NtfsImage::nonResident(AT_DATA, u"", {0x21, 0x0A, 0xD0, 0x07}, 12, 21, 0));
    Opened broken(img);
    CInode again(broken.drive().mft());
    EXPECT_TRUE(again.loadByNumber(20));
    EXPECT_TRUE(again.attributes().empty());
}

TEST(NtfsInode, SparseRunsAndUninitializedTailReadAsZeros) {
    NtfsImage img;
    std::fill_n(img.cluster(3000, 2).begin(), 1024, 'x');
    std::fill_n(img.cluster(3100, 2).begin(), 1024, 'y');
    img.beginRecord(20);
    // 2 clusters at 3000, 2 sparse, 2 at 3100; only 5 clusters' worth initialized.
    img.addAttribute(20, NtfsImage::nonResident(AT_DATA, u"", {0x21, 0x02, 0xB8, 0x0B, 0x01, 0x02, 0x11, 0x02, 0x64}, 0, 5,
                                                6 * 512, 5 * 512));
    Opened o(img);
    ASSERT_TRUE(o.ok);
    CInode ino(o.drive().mft());
    ASSERT_TRUE(ino.loadByNumber(20));
    std::string all = readAll(ino);
    ASSERT_EQ(all.size(), 6u * 512);
    EXPECT_EQ(all.substr(0, 1024), std::string(1024, 'x'));
    EXPECT_EQ(all.substr(1024, 1024), std::string(1024, '\0'));
    EXPECT_EQ(all.substr(2048, 512), std::string(512, 'y'));
    EXPECT_EQ(all.substr(2560), std::string(512, '\0'));
    // Reads that start inside a sector are served too.
    std::vector<std::uint8_t> buf(16);
    ASSERT_EQ(ino.read(AT_DATA, std::nullopt, 1020, buf, 8), 8u);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + 8), std::string("xxxx\0\0\0\0", 8));
}

TEST(NtfsInode, CompressedUnitsCompressedStoredAndSparse) {
    NtfsImage img;
    // Unit 0: one cluster holding an LZNT1 chunk, 15 sparse. Unit 1: 16 clusters stored as they
    // are. Unit 2: wholly sparse. 16 clusters of 512 bytes make 8 KiB units.
    std::vector<std::uint8_t> chunk = {0x05, 0xB0, 0x00, 'h', 'e', 'l', 'l', 'o'};
    std::copy(chunk.begin(), chunk.end(), img.cluster(4000).begin());
    for (int c = 0; c < 16; ++c) std::fill_n(img.cluster(4100 + c).begin(), 512, static_cast<std::uint8_t>('0' + c % 10));
    img.beginRecord(20);
    std::vector<std::uint8_t> runs = {0x21, 0x01, 0xA0, 0x0F,   // 1 cluster at 4000
                                      0x01, 0x0F,               // 15 sparse
                                      0x21, 0x10, 0x64, 0x00,   // 16 clusters at 4100
                                      0x01, 0x10};              // 16 sparse
    img.addAttribute(20, NtfsImage::nonResident(AT_DATA, u"", runs, 0, 47, 3 * 8192 - 10, ~0ull, 0x0001));
    Opened o(img);
    ASSERT_TRUE(o.ok);
    CInode ino(o.drive().mft());
    ASSERT_TRUE(ino.loadByNumber(20));
    std::string all = readAll(ino);
    ASSERT_EQ(all.size(), 3u * 8192 - 10);
    EXPECT_EQ(all.substr(0, 5), "hello");
    EXPECT_EQ(all.substr(5, 8187), std::string(8187, '\0'));
    EXPECT_EQ(all[8192], '0');
    EXPECT_EQ(all[8192 + 512 * 15], '5');
    EXPECT_EQ(all.substr(16384), std::string(8192 - 10, '\0'));
    // Block by block, as saving reads, gives the same bytes.
    std::string blocks;
    std::vector<std::uint8_t> buf(512 + 16);
    for (std::uint64_t off = 0; off < all.size(); off += 512) {
        std::uint64_t n = ino.read(AT_DATA, std::nullopt, off, buf, 512);
        ASSERT_GT(n, 0u) << off;
        blocks.append(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
    }
    EXPECT_EQ(blocks, all);
}

struct IndexVolume {
    NtfsImage img;
    IndexVolume() {
        // Directory 5 (the root): A (20) and B (21), a DOS name and a system record left out.
        img.beginRecord(5, 3);
        img.addAttribute(5, NtfsImage::resident(AT_INDEX_ROOT, u"$I30",
                                                NtfsImage::indexRoot({NtfsImage::indexEntry(9, 5, u"$Secure"),
                                                                      NtfsImage::indexEntry(20, 5, u"A"),
                                                                      NtfsImage::indexEntry(20, 5, u"A~1", false, {}, 2),
                                                                      NtfsImage::indexEntry(21, 5, u"B"),
                                                                      NtfsImage::indexEntry(0, 0, u"", true)})));
        img.beginRecord(20);
        img.addAttribute(20, NtfsImage::resident(AT_STANDARD_INFORMATION, u"", NtfsImage::standardInfo(132000000000000000ull, 0x20)));
        img.addAttribute(20, NtfsImage::resident(AT_DATA, u"", bytesOf("file A")));
        img.beginRecord(21, 3);
        // B is a directory with a two-level index: entry K (22) with subnode {X}, last entry with subnode {Y}.
        img.addAttribute(21, NtfsImage::resident(AT_INDEX_ROOT, u"$I30",
                                                 NtfsImage::indexRoot({NtfsImage::indexEntry(22, 21, u"K", false, 0),
                                                                       NtfsImage::indexEntry(0, 0, u"", true, 2)},
                                                                      true)));
        img.addAttribute(21, NtfsImage::nonResident(AT_INDEX_ALLOCATION, u"$I30", {0x21, 0x04, 0x70, 0x17}, 0, 3, 4 * 512));
        img.putIndexRecord(6000, 0, {NtfsImage::indexEntry(23, 21, u"X"), NtfsImage::indexEntry(0, 0, u"", true)});
        img.putIndexRecord(6002, 2, {NtfsImage::indexEntry(24, 21, u"Y"), NtfsImage::indexEntry(0, 0, u"", true)});
        for (std::uint32_t r : {22u, 23u, 24u}) {
            img.beginRecord(r);
            img.addAttribute(r, NtfsImage::resident(AT_DATA, u"", bytesOf("data")));
        }
    }
};

std::vector<std::string> names(const ItemList& list) {
    std::vector<std::string> out;
    for (const auto& i : list) out.push_back(i.name);
    return out;
}

TEST(NtfsIndex, EnumerationPositionsAndOrder) {
    IndexVolume v;
    // A flat node: positions 224, 226 and 14 with nothing, A, B delivered, then the end.
    NtfsImage flat;
    flat.beginRecord(30, 3);
    flat.addAttribute(30, NtfsImage::resident(AT_INDEX_ROOT, u"$I30",
                                              NtfsImage::indexRoot({NtfsImage::indexEntry(40, 30, u"A"), NtfsImage::indexEntry(41, 30, u"B"),
                                                                    NtfsImage::indexEntry(0, 0, u"", true)})));
    Opened o(flat);
    ASSERT_TRUE(o.ok);
    CInode dir(o.drive().mft());
    ASSERT_TRUE(dir.loadByNumber(30));
    IndexReader index(dir);
    IndexPosition p = kIndexStart;
    std::vector<std::uint8_t> entry;
    std::vector<IndexPosition> positions;
    std::vector<std::string> delivered;
    while (enumerate(index, p, entry)) {
        positions.push_back(p);
        auto key = parseIndexEntry(entry);
        delivered.push_back(positions.size() == 1 || !key ? "-" : std::string(key->name.begin(), key->name.end()));
    }
    EXPECT_EQ(positions, (std::vector<IndexPosition>{224, 226, 14}));
    EXPECT_EQ(delivered, (std::vector<std::string>{"-", "A", "B"}));

    // Subnodes come before their entry: X, K, Y.
    Opened tree(v.img);
    ASSERT_TRUE(tree.ok);
    auto list = tree.doc.listItem(FileItem{ITEM_DIR, "B", ATTR_DIRECTORY, 0, 0, 0, 0, 21, 5, 0, false, ""}, tree.doc.rootItem());
    ASSERT_TRUE(list);
    EXPECT_EQ(names(*list), (std::vector<std::string>{".", "..", "X", "K", "Y"}));
}

TEST(NtfsIndex, RootListSkipsSystemRecordsAndDosNames) {
    IndexVolume v;
    Opened o(v.img);
    ASSERT_TRUE(o.opened);
    EXPECT_EQ(names(o.doc.rootList), (std::vector<std::string>{"A", "B"}));
    const FileItem& a = o.doc.rootList[0];
    EXPECT_EQ(a.kind, ITEM_FILE);
    EXPECT_EQ(a.record, 20u);
    EXPECT_EQ(a.parentRecord, 5u);
    EXPECT_EQ(a.size, 6u);  // from the record, not the index's copy
    EXPECT_EQ(a.attributes, 0x20);
    EXPECT_EQ(a.cluster, v.img.recordSector(20));
    EXPECT_EQ(a.parentCluster, v.img.recordSector(5));
    const FileItem& b = o.doc.rootList[1];
    EXPECT_EQ(b.kind, ITEM_TOPDIR);
    EXPECT_TRUE(b.isDirectory());
    // Reading a file item goes through its record, found by sector.
    FileReader reader(o.drive(), a, 0);
    ASSERT_TRUE(reader.ok());
    std::vector<std::uint8_t> buf(6);
    EXPECT_EQ(reader.read(0, buf).status, ReadResult::Done);
    EXPECT_EQ(std::string(buf.begin(), buf.end()), "file A");
}

TEST(NtfsIndex, DamagedIndexesEndTheWalk) {
    IndexVolume v;
    // The subnode of the last entry points back at the record that holds it: a loop.
    v.img.putIndexRecord(6002, 2, {NtfsImage::indexEntry(24, 21, u"Y"), NtfsImage::indexEntry(0, 0, u"", true, 2)});
    Opened o(v.img);
    ASSERT_TRUE(o.ok);
    auto list = o.doc.listItem(FileItem{ITEM_DIR, "B", ATTR_DIRECTORY, 0, 0, 0, 0, 21, 5, 0, false, ""}, o.doc.rootItem());
    ASSERT_TRUE(list);
    EXPECT_EQ((*list)[2].name, "X");

    // Two blocks hold the same entry, as when several paths of a damaged index lead to one.
    v.img.putIndexRecord(6002, 2, {NtfsImage::indexEntry(23, 21, u"X"), NtfsImage::indexEntry(0, 0, u"", true)});
    Opened w(v.img);
    auto once = w.doc.listItem(FileItem{ITEM_DIR, "B", ATTR_DIRECTORY, 0, 0, 0, 0, 21, 5, 0, false, ""}, w.doc.rootItem());
    EXPECT_EQ(names(once.value_or(ItemList{})), (std::vector<std::string>{".", "..", "X", "K"}));

    // An index record that cannot be read costs its own entries only, and is said to be damaged;
    // so is one that is not the block its entry asks for, and the listing counts as incomplete.
    for (auto damage : {+[](NtfsImage& img) { img.cluster(6000)[0] = 'X'; },  // no longer "INDX"
                        +[](NtfsImage& img) {
                            img.putIndexRecord(6000, 7, {NtfsImage::indexEntry(23, 21, u"X"), NtfsImage::indexEntry(0, 0, u"", true)});
                        }}) {
        IndexVolume torn;
        damage(torn.img);
        Opened t(torn.img);
        auto rest = t.doc.listItem(FileItem{ITEM_DIR, "B", ATTR_DIRECTORY, 0, 0, 0, 0, 21, 5, 0, false, ""}, t.doc.rootItem());
        ASSERT_TRUE(rest);
        EXPECT_EQ(names(*rest), (std::vector<std::string>{".", "..", "K", "Y"}));
        const auto ids = t.prompts.ids();
        EXPECT_EQ(std::count(ids.begin(), ids.end(), msg::kIndexDamaged), 1);
        EXPECT_EQ(t.doc.incompleteListings, 1);
    }

    // An entry of length 0 ends its node.
    NtfsImage zero;
    auto root = NtfsImage::indexRoot({NtfsImage::indexEntry(40, 30, u"A"), NtfsImage::indexEntry(41, 30, u"B")});
    storeLe<std::uint16_t>(MutableBytes(root), 32 + NtfsImage::indexEntry(40, 30, u"A").size() + 8, 0);
    zero.beginRecord(30, 3);
    zero.addAttribute(30, NtfsImage::resident(AT_INDEX_ROOT, u"$I30", root));
    zero.beginRecord(40);
    Opened z(zero);
    CInode dir(z.drive().mft());
    ASSERT_TRUE(dir.loadByNumber(30));
    IndexReader index(dir);
    IndexPosition p = kIndexStart;
    std::vector<std::uint8_t> entry;
    int calls = 0;
    while (enumerate(index, p, entry) && calls < 10) ++calls;
    EXPECT_LE(calls, 2);
}

TEST(NtfsVolume, ATornFirstRecordComesFromTheMirrorAndWithoutEitherTheScanStillRuns) {
    IndexVolume v;
    v.img.beginRecord(30, 0);  // a deleted file that only the scan finds
    v.img.addAttribute(30, NtfsImage::resident(AT_STANDARD_INFORMATION, u"", NtfsImage::standardInfo(0, 0x20)));
    v.img.addAttribute(30, NtfsImage::resident(AT_FILE_NAME, u"", NtfsImage::fileName(5, u"found.txt")));
    v.img.addAttribute(30, NtfsImage::resident(AT_DATA, u"", bytesOf("found")));
    v.img.finish();
    // $MFTMirr at cluster 7000 holds record 0 as it should be; the $MFT copy is torn (the end of
    // its first sector no longer carries the update sequence number).
    constexpr std::uint64_t kMirror = 7000;
    std::copy_n(v.img.record(0).begin(), NtfsImage::kRecordBytes, v.img.cluster(kMirror, 2).begin());
    storeLe<std::uint64_t>(MutableBytes(v.img.bytes), 0x38, kMirror);
    v.img.record(0)[510] ^= 0xFF;
    Opened mirrored(v.img);
    ASSERT_TRUE(mirrored.ok);
    EXPECT_TRUE(mirrored.prompts.shown(msg::kMftFromMirror));
    EXPECT_EQ(names(mirrored.doc.rootList), (std::vector<std::string>{"A", "B"}));

    // Both torn: the volume still opens, says what failed, and the scan finds the file records.
    v.img.cluster(kMirror)[510] ^= 0xFF;
    Opened bare(v.img);
    ASSERT_TRUE(bare.ok);
    EXPECT_TRUE(bare.prompts.shown(msg::kMftUnreadable));
    EXPECT_FALSE(bare.drive().hasMft());
    EXPECT_TRUE(bare.doc.rootList.empty());
    ScanObserver quiet;
    EXPECT_EQ(runDiskScan(bare.doc, quiet).result, ScanResult::Finished);
    EXPECT_EQ(names(bare.doc.ntfsFileList), (std::vector<std::string>{"found.txt"}));
}

TEST(NtfsFiles, ScanHandInsBuildTheAllFilesList) {
    NtfsImage img;
    auto file = [&](std::uint32_t r, std::uint64_t parent, const std::u16string& name, bool data, std::uint16_t flags = 1) {
        img.beginRecord(r, flags);
        img.addAttribute(r, NtfsImage::resident(AT_STANDARD_INFORMATION, u"", NtfsImage::standardInfo(0, 0x20)));
        img.addAttribute(r, NtfsImage::resident(AT_FILE_NAME, u"", NtfsImage::fileName(parent, name)));
        if (data) img.addAttribute(r, NtfsImage::resident(AT_DATA, u"", bytesOf("content")));
        else img.addAttribute(r, NtfsImage::resident(AT_DATA, u"ads", bytesOf("content")));
    };
    file(20, 5, u"$Bitmap", true);
    file(21, 40, u"$Bitmap", true);
    file(22, 40, u"streams only", false);
    file(23, 40, u"deleted.txt", true, 0);
    Opened o(img);
    ASSERT_TRUE(o.ok);
    for (std::uint32_t r : {20u, 21u, 22u, 23u}) EXPECT_TRUE(o.doc.addFoundDirectory(img.recordSector(r)));
    EXPECT_TRUE(o.doc.addFoundDirectory(img.recordSector(40)));  // an empty slot: nothing, no error
    ASSERT_EQ(names(o.doc.ntfsFileList), (std::vector<std::string>{"$Bitmap", "deleted.txt"}));
    const FileItem& d = o.doc.ntfsFileList[1];
    EXPECT_EQ(d.record, 23u);
    EXPECT_EQ(d.parentRecord, 40u);
    EXPECT_EQ(d.cluster, img.recordSector(23));
    EXPECT_TRUE(d.deleted);
    EXPECT_EQ(d.size, 7u);
    EXPECT_EQ(d.kind, ITEM_FILE);
    // A sector past the volume is a read error the scan must hear of.
    EXPECT_FALSE(o.doc.addFoundDirectory(1u << 20));
}

TEST(NtfsFiles, NamedStreamsListAfterTheirFileReadAndSaveBesideIt) {
    NtfsImage img;
    img.beginRecord(5, 3);
    img.addAttribute(5, NtfsImage::resident(AT_INDEX_ROOT, u"$I30",
                                            NtfsImage::indexRoot({NtfsImage::indexEntry(20, 5, u"f"),
                                                                  NtfsImage::indexEntry(21, 5, u"f_b"),
                                                                  NtfsImage::indexEntry(0, 0, u"", true)})));
    std::fill_n(img.cluster(3000).begin(), 512, 'x');
    img.beginRecord(20);
    img.addAttribute(20, NtfsImage::resident(AT_DATA, u"", bytesOf("main")));
    // "a": one cluster on disk, one sparse; met after "b", listed before it.
    img.addAttribute(20, NtfsImage::resident(AT_DATA, u"b", bytesOf("beta")));
    img.addAttribute(20, NtfsImage::nonResident(AT_DATA, u"a", {0x21, 0x01, 0xB8, 0x0B, 0x01, 0x01}, 0, 1, 1024));
    img.beginRecord(21);
    img.addAttribute(21, NtfsImage::resident(AT_DATA, u"", bytesOf("real")));
    Opened o(img);
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(names(o.doc.rootList), (std::vector<std::string>{"f", "f:a", "f:b", "f_b"}));

    // Each stream is saved as a file of its own beside its file; a file of that name keeps it.
    char folder[] = "/tmp/harrow-streams-XXXXXX";
    ASSERT_TRUE(::mkdtemp(folder));
    SaveObserver quiet;
    EXPECT_EQ(runSave(o.doc, o.doc.rootList, {folder}, quiet).saved, 4);
    std::vector<std::string> saved;
    for (const char* name : {"f", "f_a", "f_b", "f_b~2"}) {
        std::ifstream in(std::string(folder) + "/" + name, std::ios::binary);
        saved.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_EQ(saved, (std::vector<std::string>{"main", std::string(512, 'x') + std::string(512, '\0'), "real", "beta"}));
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace harrow
