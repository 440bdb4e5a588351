#include <gtest/gtest.h>

#include <array>

#include "common/strings.h"
#include "fatfs/boot_sector.h"
#include "support/fat_image.h"
#include "document/drive.h"

namespace harrow {
namespace {

using Sector = std::array<std::uint8_t, 512>;

Sector fatBoot(std::uint16_t bps, std::uint8_t spc, std::uint16_t reserved, std::uint8_t fats, std::uint16_t rootEntries,
               std::uint32_t total, std::uint16_t spf16, const char* type16) {
    Sector s{};
    MutableBytes b(s);
    storeLe(b, 0x0B, bps);
    b[0x0D] = spc;
    storeLe(b, 0x0E, reserved);
    b[0x10] = fats;
    storeLe(b, 0x11, rootEntries);
    if (total < 0x10000)
        storeLe<std::uint16_t>(b, 0x13, static_cast<std::uint16_t>(total));
    else
        storeLe<std::uint32_t>(b, 0x20, total);
    storeLe(b, 0x16, spf16);
    storeLe<std::uint16_t>(b, 0x18, 63);
    storeLe<std::uint16_t>(b, 0x1A, 255);
    if (type16) std::copy_n(type16, 8, b.begin() + 0x36);
    return s;
}

Sector fat32Boot(std::uint32_t total, std::uint8_t spc, std::uint16_t reserved, std::uint32_t spf, const char* type = "FAT32   ",
                 std::uint8_t sig = 0x29) {
    Sector s = fatBoot(512, spc, reserved, 2, 0, total, 0, nullptr);
    MutableBytes b(s);
    storeLe<std::uint32_t>(b, 0x24, spf);
    storeLe<std::uint32_t>(b, 0x2C, 2);
    b[0x42] = sig;
    std::copy_n(type, 8, b.begin() + 0x52);
    return s;
}

Sector ntfsBoot(std::uint64_t totalSectors, std::uint8_t spc, std::uint32_t recordField, std::uint32_t indexField = 1) {
    Sector s{};
    MutableBytes b(s);
    std::copy_n("NTFS    ", 8, b.begin() + 3);
    storeLe<std::uint16_t>(b, 0x0B, 512);
    b[0x0D] = spc;
    storeLe<std::uint64_t>(b, 0x28, totalSectors);
    storeLe<std::uint64_t>(b, 0x30, 786432);
    storeLe<std::uint32_t>(b, 0x40, recordField);
    storeLe<std::uint32_t>(b, 0x44, indexField);
    return s;
}

TEST(BootSector, WorkedGeometries) {
    DriveInfo d;
    Sector fat16 = fatBoot(512, 32, 1, 2, 512, 1000000, 123, "FAT16   ");
    ASSERT_EQ(parseBootSector(fat16, d), BootVerdict::Fat);
    EXPECT_EQ(d.fsName, "FAT16");
    EXPECT_EQ(d.fsType, FsType::Fat1x);
    EXPECT_EQ(d.dataStartSector(), 279u);
    EXPECT_EQ(d.clusterCount, 31241u);
    EXPECT_EQ(d.sectorsPerCylinder, 63u * 255u);
    EXPECT_EQ(sectorOfCluster(d, 2), 279u);
    EXPECT_EQ(sectorOfCluster(d, 0), 247u);  // cluster 0 is the fixed root
    EXPECT_EQ(sectorOfCluster(d, 1), 247u);

    Sector fat32 = fat32Boot(4194304, 8, 32, 4088);
    ASSERT_EQ(parseBootSector(fat32, d), BootVerdict::Fat);
    EXPECT_EQ(d.fsName, "FAT32");
    EXPECT_EQ(d.rootEntries, 0x7FFF);
    EXPECT_EQ(d.rootCluster, 2u);
    EXPECT_EQ(d.clusterCount, 523264u);  // data clusters + 2
    EXPECT_EQ(sectorOfCluster(d, 2), 8208u);
    EXPECT_EQ(sectorOfCluster(d, 3), 8216u);
    EXPECT_GT(sectorOfCluster(d, 0), 1ull << 32);  // wraps far beyond the volume

    Sector ntfs = ntfsBoot(8388608, 8, 0xF6);
    ASSERT_EQ(parseBootSector(ntfs, d), BootVerdict::Ntfs);
    EXPECT_EQ(d.fsName, "NTFS");
    EXPECT_EQ(d.clusterCount, 1048576u);
    EXPECT_EQ(d.bytesPerCluster, 4096u);
    EXPECT_EQ(d.mftCluster, 786432u);
    EXPECT_EQ(sectorOfCluster(d, 5), 40u);
}

TEST(BootSector, NtfsFileRecordSizeFieldIsAPowerOfTwoAbove0x80) {
    struct Case {
        std::uint32_t field;
        std::uint8_t spc;
        std::uint32_t bytes;
    } cases[] = {{0xF6, 8, 1024}, {0xF4, 8, 4096}, {0xF6, 1, 1024}, {2, 1, 1024}, {1, 2, 1024}, {0xFFFFFFF6, 8, 1024}};
    for (const auto& c : cases) {
        DriveInfo d;
        ASSERT_EQ(parseBootSector(ntfsBoot(1 << 20, c.spc, c.field), d), BootVerdict::Ntfs);
        EXPECT_EQ(d.bytesPerFileRecord, c.bytes) << std::hex << c.field;
        EXPECT_EQ(d.sectorsPerFileRecord, c.bytes / 512);
        EXPECT_EQ(d.clustersPerFileRecord, c.field);
    }
}

TEST(BootSector, ClusterCountDecidesTwelveOrSixteenBitsAndTheStringOnlyWhereItIsInDoubt) {
    struct Case {
        const char* what;
        Sector sector;
        const char* name;
    } cases[] = {
        // 9971 clusters, a FAT sized for 16-bit entries: FAT16 whatever the string says.
        {"FAT16 string", fatBoot(512, 4, 1, 2, 512, 40000, 40, "FAT16   "), "FAT16"},
        {"blank string", fatBoot(512, 4, 1, 2, 512, 40000, 40, "        "), "FAT16"},
        {"FAT12 string", fatBoot(512, 4, 1, 2, 512, 40000, 40, "FAT12   "), "FAT16"},
        // A floppy: 2847 clusters, a FAT too small for 16-bit entries.
        {"floppy", fatBoot(512, 1, 1, 2, 224, 2880, 9, "FAT12   "), "FAT12"},
        {"floppy saying FAT16", fatBoot(512, 1, 1, 2, 224, 2880, 9, "FAT16   "), "FAT12"},
        // 1999 clusters under a FAT16 string and a FAT sized for it: a small FAT16 volume.
        {"small FAT16", fatBoot(512, 1, 1, 2, 512, 2048, 8, "FAT16   "), "FAT16"},
        {"small, blank", fatBoot(512, 1, 1, 2, 512, 2048, 8, "        "), "FAT12"},
        // Within a few clusters of 4085 the string decides: 4086 and 4100 clusters.
        {"4086 saying FAT12", fatBoot(512, 1, 1, 2, 512, 4151, 16, "FAT12   "), "FAT12"},
        {"4086, blank", fatBoot(512, 1, 1, 2, 512, 4151, 16, "        "), "FAT16"},
        {"4100 saying FAT12", fatBoot(512, 1, 1, 2, 512, 4167, 17, "FAT12   "), "FAT16"},
    };
    for (const auto& c : cases) {
        DriveInfo d;
        ASSERT_EQ(parseBootSector(c.sector, d), BootVerdict::Fat) << c.what;
        EXPECT_EQ(d.fsName, c.name) << c.what;
        EXPECT_EQ(d.fatBits(), std::string(c.name) == "FAT16" ? 16 : 12) << c.what;
    }
    // A zero 16-bit total uses the 32-bit one.
    DriveInfo d;
    Sector s = fatBoot(512, 1, 1, 2, 224, 0, 9, "FAT12   ");
    storeLe<std::uint32_t>(MutableBytes(s), 0x20, 2880);
    ASSERT_EQ(parseBootSector(s, d), BootVerdict::Fat);
    EXPECT_EQ(d.totalSectors, 2880u);
    EXPECT_EQ(d.clusterCount, 2880u - 33u);
    // 100 root entries of 32 bytes are 6.25 sectors: the root takes 6.
    ASSERT_EQ(parseBootSector(fatBoot(512, 1, 1, 2, 100, 2880, 9, "FAT12   "), d), BootVerdict::Fat);
    EXPECT_EQ(d.dataStartSector(), 1u + 18u + 6u);
}

TEST(BootSector, RefusesWhatLaterArithmeticCannotStand) {
    struct Case {
        const char* what;
        Sector sector;
    } cases[] = {
        {"FAT32 without signature", fat32Boot(4194304, 8, 32, 4088, "FAT32   ", 0x28)},
        {"FAT32 with another type", fat32Boot(4194304, 8, 32, 4088, "FAT     ")},
        {"zero bytes per sector", fatBoot(0, 4, 1, 2, 512, 40000, 40, "FAT16   ")},
        {"odd bytes per sector", fatBoot(500, 4, 1, 2, 512, 40000, 40, "FAT16   ")},
        {"zero sectors per cluster", fatBoot(512, 0, 1, 2, 512, 40000, 40, "FAT16   ")},
        {"zero FATs", fatBoot(512, 4, 1, 0, 512, 40000, 40, "FAT16   ")},
        {"FATs beyond the volume", fatBoot(512, 4, 1, 2, 512, 60, 40, "FAT16   ")},
        {"root beyond the volume", fatBoot(512, 4, 1, 2, 4096, 300, 40, "FAT16   ")},
        {"FAT32 FATs beyond the volume", fat32Boot(10000, 8, 32, 0x80000000)},
        {"NTFS without sectors per cluster", ntfsBoot(1 << 20, 0, 0xF6)},
        {"all zero", Sector{}},
    };
    for (const auto& c : cases) {
        DriveInfo d;
        EXPECT_EQ(parseBootSector(c.sector, d), BootVerdict::Unrecognised) << c.what;
    }
    // The drive shows the message and stays closed.
    test::FatImage img = test::FatImage::make(16, 8192, 4);
    img.boot()[0x10] = 0;
    test::OpenedImage opened(img);
    EXPECT_FALSE(opened.opened);
    EXPECT_EQ(opened.prompts.ids(), std::vector<int>{msg::kUnknownFormat});
    EXPECT_FALSE(opened.doc.drive().isOpen());
}

TEST(BootSector, NoMoreClustersThanTheFatCanName) {
    struct Case {
        const char* what;
        Sector sector;
        std::uint64_t clusters;
    } cases[] = {
        {"FAT32 total beyond its FAT", fat32Boot(0xFFFFFFFF, 1, 32, 1009), 1009u * 128},
        {"FAT32 beyond 28-bit cluster numbers", fat32Boot(0xFFFFFFFF, 1, 32, 0x00A00000), 0x0FFFFFF5u + 2},
        {"FAT16 beyond 16-bit cluster numbers", fatBoot(512, 1, 1, 2, 512, 0xFFFFFFFF, 0xFFFF, "FAT16   "), 0xFFF5},
        {"FAT12 beyond its FAT", fatBoot(512, 4, 1, 2, 512, 40000, 2, "FAT12   "), 2 * 512 * 2 / 3 - 2},
    };
    for (const auto& c : cases) {
        DriveInfo d;
        ASSERT_EQ(parseBootSector(c.sector, d), BootVerdict::Fat) << c.what;
        EXPECT_EQ(d.clusterCount, c.clusters) << c.what;
    }
}

TEST(BootSector, LabelsStopAtNulAndDecodeTheCodePage) {
    struct Case {
        const char* raw;
        const char* text;
    } cases[] = {{"AB\0CD      ", "AB"}, {"NAME       ", "NAME"}, {"TWO WORDS  ", "TWO WORDS"}, {"\x82T\x82" "        ", "\xC3\xA9T\xC3\xA9"}};
    for (const auto& c : cases) {
        std::array<std::uint8_t, 11> field{};
        std::copy_n(c.raw, 11, field.begin());
        EXPECT_EQ(fatLabelText(field), c.text);
    }
}

TEST(BootSector, FirstClusterOfAnEntry) {
    std::array<std::uint8_t, 32> e{};
    storeLe<std::uint16_t>(MutableBytes(e), 20, 0x0012);
    storeLe<std::uint16_t>(MutableBytes(e), 26, 0x3456);
    DriveInfo d;
    d.fsType = FsType::Fat32;
    EXPECT_EQ(firstClusterOfEntry(d, e), 0x00123456u);
    d.fsType = FsType::Fat1x;
    EXPECT_EQ(firstClusterOfEntry(d, e), 0x3456u);
    d.fsType = FsType::Ntfs;
    EXPECT_EQ(firstClusterOfEntry(d, e), 0u);
}

TEST(DriveInfo, EveryFieldLiesAtItsOffset) {
    DriveInfo d;
    d.label = "VOLUME";
    d.fsName = "FAT32";
    d.fsType = FsType::Fat32;
    d.bytesPerSector = 0x0201;
    d.sectorsPerCluster = 0x03;
    d.reservedSectors = 0x0504;
    d.numberOfFats = 0x06;
    d.rootEntries = 0x0807;
    d.totalSectors = 0x0C0B0A09;
    d.sectorsPerFat = 0x100F0E0D;
    d.sectorsPerTrack = 0x1211;
    d.heads = 0x1413;
    d.rootCluster = 0x18171615;
    d.bytesPerCluster = 0x1C1B1A19;
    d.bytesPerFileRecord = 0x201F1E1D;
    d.clustersPerFileRecord = 0x24232221;
    d.sectorsPerFileRecord = 0x28272625;
    d.bytesPerIndexRecord = 0x2C2B2A29;
    d.clustersPerIndexRecord = 0x302F2E2D;
    d.mftCluster = 0x3837363534333231;
    d.clusterCount = 0x403F3E3D3C3B3A39;
    d.sectorsPerCylinder = 0x4847464544434241;
    auto raw = d.serialize();
    ASSERT_EQ(raw.size(), 134u);
    Bytes b(raw);
    struct Field {
        std::size_t offset, size;
        std::uint64_t value;
    } fields[] = {
        {60, 2, 2},           {62, 2, 0x0201},     {64, 1, 0x03},       {65, 2, 0x0504},     {67, 1, 0x06},
        {68, 2, 0x0807},      {70, 4, 0x0C0B0A09}, {74, 4, 0x100F0E0D}, {78, 2, 0x1211},     {80, 2, 0x1413},
        {82, 4, 0x18171615},  {86, 4, 0x1C1B1A19}, {90, 4, 0x201F1E1D}, {94, 4, 0x24232221}, {98, 4, 0x28272625},
        {102, 4, 0x2C2B2A29}, {106, 4, 0x302F2E2D}, {110, 8, 0x3837363534333231}, {118, 8, 0x403F3E3D3C3B3A39},
        {126, 8, 0x4847464544434241},
    };
    for (const auto& f : fields) {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < f.size; ++i) v |= std::uint64_t{b[f.offset + i]} << (8 * i);
        EXPECT_EQ(v, f.value) << "offset " << f.offset;
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&raw[0])), "VOLUME");
    EXPECT_EQ(raw[6], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&raw[50])), "FAT32");

    DriveInfo back = DriveInfo::deserialize(raw);
    EXPECT_EQ(back.serialize(), raw);
    EXPECT_EQ(back.label, "VOLUME");
    EXPECT_EQ(back.clusterCount, d.clusterCount);

    // A 60-byte label keeps its terminator inside the field.
    d.label = std::string(60, 'L');
    raw = d.serialize();
    EXPECT_EQ(raw[49], 0);
    EXPECT_EQ(DriveInfo::deserialize(raw).label.size(), 49u);
}

}  // namespace
}  // namespace harrow
