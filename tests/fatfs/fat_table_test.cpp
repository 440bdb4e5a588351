#include <gtest/gtest.h>

#include "fatfs/fat_table.h"

namespace harrow {
namespace {

DriveInfo geometry(const char* name, FsType type, std::uint64_t clusters, std::uint8_t spc = 1) {
    DriveInfo d;
    d.fsName = name;
    d.fsType = type;
    d.bytesPerSector = 512;
    d.sectorsPerCluster = spc;
    d.numberOfFats = 2;
    d.sectorsPerFat = 1;
    d.clusterCount = clusters;
    return d;
}

// A table of two copies, 512 bytes each, filled by `fill`.
FatTable table(const DriveInfo& d, const std::vector<std::uint8_t>& copy0, const std::vector<std::uint8_t>& copy1 = {}) {
    FatTable t(d);
    std::vector<std::uint8_t> data(1024, 0);
    std::copy(copy0.begin(), copy0.end(), data.begin());
    std::copy(copy1.begin(), copy1.end(), data.begin() + 512);
    t.setData(data);
    return t;
}

std::vector<std::uint8_t> fat16(std::initializer_list<std::pair<std::uint32_t, std::uint16_t>> entries) {
    std::vector<std::uint8_t> v(512, 0);
    for (auto [c, value] : entries) {
        v[2 * c] = static_cast<std::uint8_t>(value);
        v[2 * c + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    return v;
}

TEST(FatTable, TwelveBitEntriesShareBytes) {
    FatTable t = table(geometry("FAT12", FsType::Fat1x, 100), {0xF8, 0xFF, 0xFF, 0x03, 0x40, 0x00});
    EXPECT_EQ(t.entry(0, 2), 0x003u);
    EXPECT_EQ(t.entry(0, 3), 0x004u);
    EXPECT_EQ(t.entry(0, 1), 0xFFFu);
    EXPECT_TRUE(t.isEndOfChain(0xFF8));
    EXPECT_TRUE(t.isBad(0xFF7));
    EXPECT_FALSE(t.isEndOfChain(0xFF7));
}

TEST(FatTable, Fat32UpperBitsAreNotMasked) {
    FatTable t(geometry("FAT32", FsType::Fat32, 1000));
    EXPECT_TRUE(t.isEndOfChain(0x0FFFFFF8));
    EXPECT_TRUE(t.isEndOfChain(0x10000005));  // any of the top four bits
    EXPECT_TRUE(t.isEndOfChain(0xF0000000));
    EXPECT_TRUE(t.isBad(0x0FFFFFF7));
    EXPECT_FALSE(t.isEndOfChain(0x0FFFFFF7));
    EXPECT_TRUE(t.usable(0x10000005));
}

TEST(FatTable, LookupsOutsideTheTableReadAsFree) {
    // Never loaded: nothing is known, and nothing is free.
    FatTable unloaded(geometry("FAT16", FsType::Fat1x, 100));
    EXPECT_FALSE(unloaded.known(0, 5));
    EXPECT_EQ(unloaded.walk(0, 5, 3), 0u);
    EXPECT_FALSE(unloaded.firstClusterFree(0, 5));

    FatTable t = table(geometry("FAT16", FsType::Fat1x, 100), fat16({{5, 6}, {101, 7}}));
    EXPECT_EQ(t.entry(0, 5), 6u);
    EXPECT_EQ(t.entry(0, 101), 7u);   // FAT16 data clusters run to count + 1
    EXPECT_EQ(t.entry(0, 102), 0u);   // past the last cluster
    EXPECT_EQ(t.entry(2, 5), 0u);     // no third copy
    EXPECT_EQ(t.entry(-1, 5), 0u);
    EXPECT_EQ(t.entry(0, 0xFFFFFFFF), 0u);
    // A cluster count larger than the table itself still reads inside it.
    FatTable big = table(geometry("FAT32", FsType::Fat32, 1u << 20), {});
    EXPECT_EQ(big.entry(0, 200), 0u);
    EXPECT_EQ(big.entry(0, 1u << 19), 0u);
}

TEST(FatTable, UsableAndWalk) {
    FatTable t = table(geometry("FAT16", FsType::Fat1x, 100), fat16({{2, 3}, {3, 4}, {4, 0xFFFF}, {10, 0}, {20, 200}}));
    EXPECT_TRUE(t.usable(1));
    EXPECT_TRUE(t.usable(101));
    EXPECT_FALSE(t.usable(0));
    EXPECT_FALSE(t.usable(102));
    EXPECT_TRUE(t.usable(0xFFFF));
    EXPECT_EQ(t.walk(0, 2, 0), 2u);
    EXPECT_EQ(t.walk(0, 2, 2), 4u);
    EXPECT_EQ(t.walk(0, 2, 3), 0u);    // the chain has ended
    EXPECT_EQ(t.walk(0, 20, 2), 0u);   // 200 is past the volume
    EXPECT_EQ(t.next(0, 0xFFFF), 0xFFFFu);
}

TEST(FatTable, ChainMustEndInTheClusterHoldingTheLastByte) {
    // Two sectors per cluster. Chain 2 -> 3 -> 4 (end) holds 3 clusters = 3072 bytes.
    DriveInfo d = geometry("FAT16", FsType::Fat1x, 100, 2);
    FatTable t = table(d, fat16({{2, 3}, {3, 4}, {4, 0xFFFF}, {6, 0xFFFF}, {7, 0xFFF8}}),
                       fat16({{2, 3}, {3, 0xFFFF}}));
    struct Case {
        int copy;
        std::uint32_t first;
        std::uint64_t size;
        bool match;
    } cases[] = {
        {0, 2, 3072, true},  {0, 2, 2049, true},   {0, 2, 2048, false},  // one cluster too many
        {0, 2, 3073, false},                                               // chain too short
        {1, 2, 2048, true},  {1, 2, 3072, false},                         // the other copy differs
        {0, 6, 1, true},     {0, 6, 0, false},    {0, 7, 1024, true},
        {0, 0xFFFF, 0, true},                                              // empty file whose field is end-of-chain
        {0, 10, 100, false},                                               // free cluster: chain ends at once
    };
    for (const auto& c : cases)
        EXPECT_EQ(t.chainMatchesSize(c.copy, c.first, c.size), c.match) << c.copy << " " << c.first << " " << c.size;
}

TEST(FatTable, FreeRunFits) {
    DriveInfo d = geometry("FAT16", FsType::Fat1x, 100, 2);
    FatTable t = table(d, fat16({{12, 0xFFFF}}));
    EXPECT_TRUE(t.freeRunFits(0, 10, 2048));    // 10 and 11 are free
    EXPECT_FALSE(t.freeRunFits(0, 10, 2049));   // 12 is taken
    EXPECT_TRUE(t.freeRunFits(0, 10, 0));
    EXPECT_FALSE(t.freeRunFits(0, 12, 0));
    EXPECT_TRUE(t.freeRunFits(0, 99, 100000));  // past the end counts as free
    EXPECT_EQ(t.nextFree(0, 11), 13u);
    EXPECT_EQ(t.nextFree(0, 10), 11u);
}

TEST(FatTable, FreeRunsStopAtTheirCountTheLastClusterAndUnknownEntries) {
    // Clusters 2 .. 101; 12, 13 and 20 in use.
    DriveInfo d = geometry("FAT16", FsType::Fat1x, 100);
    FatTable t = table(d, fat16({{12, 0xFFFF}, {13, 0xFFFF}, {20, 0xFFFF}}));
    using Runs = std::vector<ClusterRun>;
    EXPECT_EQ(t.freeRuns(0, 10, 8), (Runs{{10, 2}, {14, 6}, {21, 81}}));
    EXPECT_EQ(t.freeRuns(0, 10, 2), (Runs{{10, 2}, {14, 6}}));  // the last run wanted is whole
    EXPECT_EQ(t.freeRuns(0, 12, 1), (Runs{{14, 6}}));
    EXPECT_EQ(t.freeRuns(0, 10, 0), Runs{});
    d.sectorsPerFat = 2;  // 256 entries a sector: 256 .. 299 in the unread second one
    d.clusterCount = 298;
    FatTable u(d);
    u.setData(std::vector<std::uint8_t>(u.totalBytes(), 0));
    u.markUnknown(0, 1);
    EXPECT_EQ(u.freeRuns(0, 250, 8), (Runs{{250, 6}}));
    EXPECT_EQ(u.freeRuns(1, 250, 8), (Runs{{250, 50}}));
}

TEST(FatTable, EntriesOfUnreadSectorsAreNeverFreeNorFollowed) {
    // FAT16, one sector per copy entry block of 256 entries: sector 1 of copy 0 holds 256..511.
    DriveInfo d = geometry("FAT16", FsType::Fat1x, 1000);
    d.sectorsPerFat = 4;
    FatTable t(d);
    std::vector<std::uint8_t> data(t.totalBytes(), 0);
    auto set = [&](int copy, std::uint32_t c, std::uint16_t v) {
        const std::size_t at = static_cast<std::size_t>(copy * t.bytesPerCopy() + 2 * c);
        data[at] = static_cast<std::uint8_t>(v);
        data[at + 1] = static_cast<std::uint8_t>(v >> 8);
    };
    for (int copy : {0, 1}) {  // 250 -> 260 -> 270 (end): a chain through sector 1
        set(copy, 250, 260);
        set(copy, 260, 270);
        set(copy, 270, 0xFFFF);
        set(copy, 300, 0xFFF7);
    }
    t.setData(data);
    t.markUnknown(0, 1);
    EXPECT_TRUE(t.known(0, 255));
    EXPECT_FALSE(t.known(0, 256));
    EXPECT_TRUE(t.known(1, 256));
    EXPECT_FALSE(t.wholeCopy(0));
    EXPECT_TRUE(t.wholeCopy(1));
    EXPECT_FALSE(t.firstClusterFree(0, 400));   // free in copy 1, unknown in copy 0
    EXPECT_TRUE(t.firstClusterFree(1, 400));
    EXPECT_FALSE(t.markedBad(0, 300));         // the mark of an unknown entry is not a bad cluster
    EXPECT_TRUE(t.markedBad(1, 300));
    EXPECT_FALSE(t.chainMatchesSize(0, 250, 1536));
    EXPECT_TRUE(t.chainMatchesSize(1, 250, 1536));
    EXPECT_FALSE(t.entriesKnown(0, 250, 1536));
    EXPECT_TRUE(t.entriesKnown(0, 250, 512));   // one cluster needs no entry
    EXPECT_TRUE(t.entriesKnown(1, 250, 1536));
    EXPECT_EQ(t.nextKnown(0, 260), std::optional<std::uint32_t>(270));  // from copy 1
    EXPECT_EQ(t.nextFree(0, 240), 241u);
    EXPECT_EQ(t.nextFree(0, 254), 255u);
    EXPECT_EQ(t.nextFree(0, 255), 0u);         // 256 might have been free: no guess
    EXPECT_FALSE(t.entriesKnown(0, 240, 512 * 20));  // the free run from 240 passes 256
    t.markUnknown(1, 1);
    EXPECT_EQ(t.nextKnown(0, 260), std::nullopt);
}

}  // namespace
}  // namespace harrow
