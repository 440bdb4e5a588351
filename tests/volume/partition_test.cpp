// Partition tables: the walks and checks that real tools never need but damaged disks do.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "volume/memory_source.h"
#include "volume/partition_table.h"

namespace harrow {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kDiskSectors = 4096;

struct Disk {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kDiskSectors * 512);
    MutableBytes sector(std::uint64_t s) { return MutableBytes(bytes).subspan(s * 512, 512); }
    // An MBR-style entry in the record at `s`.
    void entry(std::uint64_t s, int slot, std::uint8_t type, std::uint32_t first, std::uint32_t count) {
        MutableBytes e = sector(s).subspan(446 + 16 * slot, 16);
        e[4] = type;
        storeLe(e, 8, first);
        storeLe(e, 12, count);
        storeLe<std::uint16_t>(sector(s), 510, 0xAA55);
    }
    // A FAT16 volume of 100 sectors: the drive table reads its geometry as an open would.
    void fat16Boot(std::uint64_t s) {
        MutableBytes b = sector(s);
        storeLe<std::uint16_t>(b, 0x0B, 512);
        b[0x0D] = 1;
        storeLe<std::uint16_t>(b, 0x0E, 1);
        b[0x10] = 2;
        storeLe<std::uint16_t>(b, 0x11, 16);
        storeLe<std::uint16_t>(b, 0x13, 100);
        storeLe<std::uint16_t>(b, 0x16, 1);
        std::copy_n("FAT16   ", 8, b.begin() + 0x36);
    }
    std::vector<std::pair<int, std::uint64_t>> table() {
        MemorySource source(std::make_shared<const std::vector<std::uint8_t>>(bytes));
        auto t = readPartitionTable(source);
        std::vector<std::pair<int, std::uint64_t>> out;
        if (t)
            for (const Partition& p : t->partitions) out.emplace_back(p.number, p.firstSector * 1000000 + p.sectors);
        return out;
    }
};

TEST(PartitionTable, WalksTheExtendedChainWithinItsBounds) {
    Disk d;
    d.entry(0, 0, 0x06, 64, 100);
    d.entry(0, 1, 0x0F, 1000, 3000);      // extended: 1000 .. 3999
    d.entry(0, 2, 0x07, 4000, 500);       // runs past the disk: cut to 96 sectors
    d.entry(1000, 0, 0x0B, 8, 100);       // logical 5 at 1008
    d.entry(1000, 1, 0x05, 500, 200);     // next record at 1500
    d.entry(1500, 0, 0x07, 8, 5000);      // logical 6 at 1508, cut to the extended partition's end
    d.entry(1500, 1, 0x05, 0, 10);        // back to the first record: the walk stops
    EXPECT_EQ(d.table(), (std::vector<std::pair<int, std::uint64_t>>{
                             {1, 64000100}, {3, 4000000096}, {5, 1008000100}, {6, 1508002492}}));
    // A second extended partition numbers its logicals on from the first one's.
    d.entry(0, 3, 0x05, 200, 300);        // 200 .. 499
    d.entry(200, 0, 0x06, 4, 50);         // logical 7 at 204
    EXPECT_EQ(d.table(), (std::vector<std::pair<int, std::uint64_t>>{
                             {1, 64000100}, {3, 4000000096}, {5, 1008000100}, {6, 1508002492}, {7, 204000050}}));

    // A sector 0 that a FAT formatter wrote is a volume, whatever lies where entries would.
    d.fat16Boot(0);
    EXPECT_TRUE(d.table().empty());
    Disk bad;
    bad.entry(0, 0, 0x06, 64, 100);
    bad.sector(0)[446 + 16] = 0x12;  // a status byte no table has
    EXPECT_TRUE(bad.table().empty());
}

// A GPT disk: protective MBR, header at 1 and its backup at the end, 128 entries at 2 (and at
// the end, before the backup).
struct GptDisk : Disk {
    GptDisk() {
        entry(0, 0, 0xEE, 1, kDiskSectors - 1);
        for (auto [n, first, last] : {std::tuple{1, 100, 199}, {3, 300, 5000}, {4, 400, 499}}) {
            MutableBytes e = MutableBytes(bytes).subspan(2 * 512 + (n - 1) * 128, 128);
            e[0] = 0xA2;  // any type GUID that is not zero
            storeLe<std::uint64_t>(e, 32, first);
            storeLe<std::uint64_t>(e, 40, last);
        }
        std::copy_n(bytes.begin() + 2 * 512, 32 * 512, bytes.begin() + (kDiskSectors - 33) * 512);
        header(1, 2);
        header(kDiskSectors - 1, kDiskSectors - 33);
    }
    void header(std::uint64_t at, std::uint64_t entries) {
        MutableBytes h = sector(at);
        std::copy_n("EFI PART", 8, h.begin());
        storeLe<std::uint32_t>(h, 12, 92);
        storeLe<std::uint64_t>(h, 72, entries);
        storeLe<std::uint32_t>(h, 80, 128);
        storeLe<std::uint32_t>(h, 84, 128);
        storeLe<std::uint32_t>(h, 88, crc32(Bytes(bytes).subspan(entries * 512, 128 * 128)));
        storeLe<std::uint32_t>(h, 16, 0);
        storeLe<std::uint32_t>(h, 16, crc32(h.first(92)));
    }
};

TEST(PartitionTable, ReadsGptFromItsBackupWhenThePrimaryIsDamaged) {
    // 3 runs past the end of the disk: cut to it, as MBR partitions are.
    const std::vector<std::pair<int, std::uint64_t>> want{{1, 100000100}, {3, 300003796}, {4, 400000100}};
    GptDisk d;
    EXPECT_EQ(d.table(), want);
    d.sector(1)[40] ^= 1;  // the header's CRC no longer holds
    EXPECT_EQ(d.table(), want);
    d.bytes[2 * 512 + 32] ^= 1;  // nor does the primary array's, which the backup does not use
    EXPECT_EQ(d.table(), want);
    d.bytes[(kDiskSectors - 33) * 512 + 32] ^= 1;
    EXPECT_TRUE(d.table().empty());

    EXPECT_EQ(crc32(Bytes(reinterpret_cast<const std::uint8_t*>("123456789"), 9)), 0xCBF43926u);
    EXPECT_EQ(splitPartitionSuffix("disk.img@12"), (std::pair<std::string, int>{"disk.img", 12}));
    EXPECT_EQ(splitPartitionSuffix("C:@2"), (std::pair<std::string, int>{"C:", 2}));
    for (const char* no : {"disk.img", "disk.img@", "@3", "disk.img@0", "disk.img@x", "disk.img@-1"})
        EXPECT_FALSE(splitPartitionSuffix(no)) << no;
}

// A disk of this machine as /sys/class/block and /dev under `root` show it.
fs::path addDevice(const fs::path& root, const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const fs::path sys = root / "devices" / name, block = root / "class/block";
    fs::create_directories(sys);
    fs::create_directories(block);
    fs::create_directories(root / "dev");
    std::ofstream(sys / "size") << bytes.size() / 512 << "\n";
    fs::create_directory_symlink(sys, block / name);
    std::ofstream(root / "dev" / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return sys;
}

TEST(PartitionTable, TheDriveTableSplitsDisksTheKernelLeftWhole) {
    const fs::path root = fs::temp_directory_path() / ("harrow-parts-" + std::to_string(getpid()));
    fs::remove_all(root);
    const fs::path block = root / "class/block", dev = root / "dev";
    fs::create_directories(block);
    fs::create_directories(dev);
    Disk d;
    d.entry(0, 0, 0x06, 64, 100);
    d.entry(0, 1, 0x83, 200, 100);  // holds no FAT or NTFS: not offered
    d.entry(0, 2, 0x06, 300, 100);
    d.fat16Boot(64);
    d.fat16Boot(300);
    for (const char* name : {"sdx", "sdy"}) addDevice(root, name, d.bytes);
    // The kernel has made a device of sdy's partition: sdy stays whole.
    fs::create_directories(root / "devices/sdy/sdy1");
    std::ofstream(root / "devices/sdy/sdy1/partition") << "1\n";

    DriveTable t;
    t.loadSystem(block.string(), "/nonexistent", dev.string());
    std::vector<std::string> got;
    for (const DriveEntry& e : t.entries())
        got.push_back(std::string(1, e.letter) + " " + fs::path(e.path).filename().string() + "@" +
                      std::to_string(e.partition) + " " + e.fileSystem + " " + std::to_string(e.offset) + " " +
                      std::to_string(e.length.value_or(0)));
    EXPECT_EQ(got, (std::vector<std::string>{"C sdx@1 FAT16 32768 51200", "D sdy@0  0 0", "E sdx@3 FAT16 153600 51200"}));
    fs::remove_all(root);
}

TEST(PartitionTable, TheDriveTableListsEachDeviceOnceWithItsDetails) {
    const fs::path root = fs::temp_directory_path() / ("harrow-once-" + std::to_string(getpid()));
    fs::remove_all(root);
    Disk d;
    d.entry(0, 0, 0x06, 64, 100);
    d.entry(0, 1, 0x06, 300, 100);
    d.fat16Boot(64);
    d.fat16Boot(300);
    const fs::path sdx = addDevice(root, "sdx", d.bytes);
    fs::create_directories(sdx / "device");
    std::ofstream(sdx / "device/model") << "SAFE DISK 2000  \n";
    std::ofstream(sdx / "serial") << " WD-123\n";
    addDevice(root, "loop0", std::vector<std::uint8_t>(8192));
    const std::string dev = (root / "dev").string();

    DriveTable t;
    t.loadSystem((root / "class/block").string(), "/nonexistent", dev);
    ASSERT_TRUE(t.find('C') && t.find('D') && t.find('E'));
    EXPECT_EQ(t.find('C')->path, dev + "/loop0");
    EXPECT_EQ(t.find('C')->bytes, 8192u);
    EXPECT_EQ(t.find('D')->model, "SAFE DISK 2000");
    EXPECT_EQ(t.find('D')->serial, "WD-123");

    // Named again on the command line: listed under the letter given, and nowhere else.
    EXPECT_TRUE(t.addAssignments("L=" + dev + "/loop0,M=" + dev + "/sdx@2"));
    std::vector<std::string> got;
    for (const DriveEntry& e : t.entries())
        got.push_back(std::string(1, e.letter) + " " + fs::path(e.path).filename().string() + "@" + std::to_string(e.partition));
    EXPECT_EQ(got, (std::vector<std::string>{"D sdx@1", "L loop0@0", "M sdx@2"}));
    fs::remove_all(root);
}

}  // namespace
}  // namespace harrow
