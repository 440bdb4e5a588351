#include <gtest/gtest.h>

#include <vector>

#include "exfat/entry_set.h"
#include "volume/boot_probe.h"

namespace harrow::exfat {
namespace {

// A File entry, its stream and the name entries `name` needs, the set checksum filled in.
std::vector<std::uint8_t> entrySet(std::u16string_view name, std::uint8_t utcModified = 0) {
    const std::size_t names = (name.size() + 14) / 15;
    std::vector<std::uint8_t> b((2 + names) * kEntryBytes);
    b[0] = kFileEntry;
    b[1] = static_cast<std::uint8_t>(1 + names);
    b[23] = utcModified;
    b[32] = kStreamEntry;
    b[32 + 3] = static_cast<std::uint8_t>(name.size());
    for (std::size_t i = 0; i < names; ++i) b[(2 + i) * kEntryBytes] = kNameEntry;
    for (std::size_t u = 0; u < name.size(); ++u) storeLe<std::uint16_t>(b, (2 + u / 15) * kEntryBytes + 2 + 2 * (u % 15), name[u]);
    storeLe(MutableBytes(b), 2, setChecksum(b));
    return b;
}

// `set` with byte `at` changed to `value`.
std::vector<std::uint8_t> with(std::vector<std::uint8_t> set, std::size_t at, std::uint8_t value) {
    set[at] = value;
    return set;
}

TEST(ExfatEntrySet, ParsesWhatHoldsTogetherAndRefusesTheRest) {
    auto deleted = entrySet(u"gone.txt");
    for (std::size_t at = 0; at < deleted.size(); at += kEntryBytes) deleted[at] &= 0x7F;
    const auto a = entrySet(u"a");
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        SetParse want;
        bool checksumOk;
    } cases[] = {
        {"long name", entrySet(std::u16string(255, u'长')), SetParse::Set, true},
        {"deleted, checksum as written", deleted, SetParse::Set, true},
        {"one secondary", with(a, 1, 1), SetParse::Corrupt, false},
        {"count past the buffer", with(a, 1, 9), SetParse::Corrupt, false},
        {"no stream", with(a, 32, kNameEntry), SetParse::Corrupt, false},
        {"empty name", with(a, 32 + 3, 0), SetParse::Corrupt, false},
        {"name past its entries", with(a, 32 + 3, 16), SetParse::Corrupt, false},
        {"checksum fails", with(a, 2, a[2] ^ 1), SetParse::Set, false},
        {"no File entry", with(a, 0, kBitmapEntry), SetParse::NotASet, false},
    };
    for (const Case& c : cases) {
        EntrySet set;
        EXPECT_EQ(parseEntrySet(c.bytes, set), c.want) << c.what;
        if (c.want == SetParse::Set) {
            EXPECT_EQ(set.checksumOk, c.checksumOk) << c.what;
        }
    }
    EntrySet set;
    ASSERT_EQ(parseEntrySet(deleted, set), SetParse::Set);
    EXPECT_EQ(set.name, u"gone.txt");
    EXPECT_TRUE(set.deleted);
}

TEST(ExfatEntrySet, TimesKeepTheirOffsetFromUtc) {
    struct Case {
        std::uint8_t utc;
        std::optional<std::int16_t> minutes;
    } cases[] = {{0x00, std::nullopt}, {0x80, 0}, {0x80 | 32, 480}, {0x80 | 0x7C, -60}, {0x80 | 0x40, -960}};
    for (const Case& c : cases) EXPECT_EQ(timestampOf(0, 0, c.utc).utcOffsetMinutes, c.minutes) << int(c.utc);
    EXPECT_EQ(timestampOf(0, 250, 0).centiseconds, 0);  // past 1.99 s: not a time
}

TEST(ExfatBoot, GeometryMustHoldTogether) {
    DriveInfo good;
    good.fsType = FsType::Exfat;
    good.bytesPerSector = 512;
    good.sectorsPerCluster = 8;
    good.numberOfFats = 1;
    good.fatOffset = 2048;
    good.sectorsPerFat = 128;
    good.heapOffset = 4096;
    good.volumeSectors = 131072;
    good.clusterCount = 15872;
    good.rootCluster = 5;
    ASSERT_TRUE(exfatGeometryOk(good));
    struct Case {
        const char* what;
        void (*spoil)(DriveInfo&);
    } cases[] = {
        {"FAT inside the boot regions", [](DriveInfo& d) { d.fatOffset = 20; }},
        {"FAT over the heap", [](DriveInfo& d) { d.heapOffset = 2100; }},
        {"heap past the volume", [](DriveInfo& d) { d.clusterCount = 15873; }},
        {"FAT too short for the clusters", [](DriveInfo& d) { d.sectorsPerFat = 8; }},
        {"root outside the heap", [](DriveInfo& d) { d.rootCluster = 15874; }},
        {"three FATs", [](DriveInfo& d) { d.numberOfFats = 3; }},
    };
    for (const Case& c : cases) {
        DriveInfo d = good;
        c.spoil(d);
        EXPECT_FALSE(exfatGeometryOk(d)) << c.what;
    }
    // The record that images and the server carry keeps where the FAT and heap lie.
    const DriveInfo back = DriveInfo::deserialize(good.serialize());
    EXPECT_EQ(back.fatOffset, good.fatOffset);
    EXPECT_EQ(back.heapOffset, good.heapOffset);
    EXPECT_EQ(back.volumeSectors, good.volumeSectors);
}

}  // namespace
}  // namespace harrow::exfat
