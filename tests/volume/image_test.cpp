// Image files: what the reader refuses, and where each volume sector is read from.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "volume/image_source.h"
#include "volume/source_factory.h"

namespace harrow {
namespace {

namespace fs = std::filesystem;

// FAT16, 512-byte sectors, 4 per cluster: 4 reserved sectors, two FATs of 8, 64 root entries (4
// sectors), so the system area is sectors 4..23 and cluster c begins at 24 + (c - 2) x 4.
DriveInfo fat16() {
    DriveInfo d;
    d.label = "VOLUME";
    d.fsName = "FAT16";
    d.bytesPerSector = 512;
    d.sectorsPerCluster = 4;
    d.reservedSectors = 4;
    d.numberOfFats = 2;
    d.sectorsPerFat = 8;
    d.rootEntries = 64;
    d.totalSectors = 184;
    d.clusterCount = 40;
    return d;
}

DriveInfo ntfs() {
    DriveInfo d;
    d.fsName = "NTFS";
    d.fsType = FsType::Ntfs;
    d.bytesPerSector = 512;
    d.sectorsPerCluster = 8;
    d.bytesPerCluster = 4096;
    d.clustersPerFileRecord = 0xF6;
    d.sectorsPerFileRecord = 2;
    d.bytesPerFileRecord = 1024;
    d.bytesPerIndexRecord = 4096;
    d.mftCluster = 4;
    d.clusterCount = 1000;
    return d;
}

// Every byte tells its sector: (sector, byte) -> sector * 3 + byte, never 0 for sector > 0.
std::uint8_t volumeByte(std::uint64_t sector, std::size_t i) { return static_cast<std::uint8_t>(sector * 3 + i % 7 + 1); }

std::vector<std::uint8_t> sectorsOf(std::uint64_t first, std::uint64_t count) {
    std::vector<std::uint8_t> out;
    for (std::uint64_t s = first; s < first + count; ++s)
        for (std::size_t i = 0; i < 512; ++i) out.push_back(volumeByte(s, i));
    return out;
}

struct ImageFile {
    fs::path path = fs::temp_directory_path() / ("harrow-image-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    explicit ImageFile(const std::vector<std::uint8_t>& bytes) {
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    ~ImageFile() { fs::remove(path); }
    static inline int counter = 0;
};

// The FAT16 volume's image of clusters 10..12: header, sector 0, sectors 4..23, sectors 56..67.
std::vector<std::uint8_t> fatImageBytes() {
    ImageHeader h{fat16(), 20, 1, 10, 12};
    std::vector<std::uint8_t> file = h.serialize();
    for (auto [first, count] : {std::pair<std::uint64_t, std::uint64_t>{0, 1}, {4, 20}, {56, 12}}) {
        auto part = sectorsOf(first, count);
        file.insert(file.end(), part.begin(), part.end());
    }
    return file;
}

TEST(ImageHeader, RefusesOtherVersionsAndGeometryNoVolumeHas) {
    const std::vector<std::uint8_t> good = ImageHeader{fat16(), 20, 1, 10, 12}.serialize();
    ASSERT_TRUE(ImageHeader::parse(good));
    auto changed = [&](auto edit) {
        std::vector<std::uint8_t> b = good;
        edit(b);
        return ImageHeader::parse(b).has_value();
    };
    auto withInfo = [&](auto edit) {
        DriveInfo d = fat16();
        edit(d);
        return ImageHeader::parse(ImageHeader{d, 20, 1, 10, 12}.serialize()).has_value();
    };
    EXPECT_FALSE(changed([](auto& b) { std::memcpy(b.data(), "Disk File ver 2.2", 17); }));
    EXPECT_FALSE(changed([](auto& b) { b[20] = 1; }));        // the signature's zeros
    EXPECT_FALSE(changed([](auto& b) { b.resize(181); }));
    EXPECT_FALSE(changed([](auto& b) { storeLe<std::uint32_t>(b, 174, 0); }));  // FAT has no cluster 0
    EXPECT_TRUE(changed([](auto& b) { storeLe<std::uint32_t>(b, 174, 13); }));  // c2 below c1: an empty range
    EXPECT_FALSE(withInfo([](DriveInfo& d) { d.bytesPerSector = 128; }));        // no room for the header
    EXPECT_FALSE(withInfo([](DriveInfo& d) { d.bytesPerSector = 1000; }));
    EXPECT_FALSE(withInfo([](DriveInfo& d) { d.clusterCount = 41; }));
    EXPECT_FALSE(withInfo([](DriveInfo& d) { d.numberOfFats = 0; }));
    EXPECT_FALSE(withInfo([](DriveInfo& d) { d.totalSectors = 20; }));          // FATs past the end
    EXPECT_FALSE(withInfo([](DriveInfo& d) { d.fsType = static_cast<FsType>(7); }));

    EXPECT_TRUE(ImageHeader::parse(ImageHeader{ntfs(), 20, 1, 4, 999}.serialize()));
    DriveInfo torn = ntfs();
    torn.bytesPerFileRecord = 1000;
    EXPECT_FALSE(ImageHeader::parse(ImageHeader{torn, 20, 1, 4, 999}.serialize()));
    DriveInfo huge = ntfs();
    huge.mftCluster = UINT64_MAX / 4;
    EXPECT_FALSE(ImageHeader::parse(ImageHeader{huge, 20, 1, 4, 999}.serialize()));
}

TEST(ImageHeader, IsHeldToTheFileAsARawVolumeIsToItsSource) {
    // The image of clusters 10..12 is 34 sectors: header, boot sector, 20 of system area, 12.
    const struct {
        const char* what;
        std::function<void(ImageHeader&)> edit;
        std::uint64_t fileSectors;
        std::optional<std::uint64_t> held;  // nothing: refused
        std::uint64_t clusters = 40;
    } cases[] = {
        {"whole", [](ImageHeader&) {}, 34, 3},
        {"cut before cluster 12", [](ImageHeader&) {}, 30, 2},
        {"no room for the FATs", [](ImageHeader&) {}, 17, std::nullopt},
        {"a total beyond its FAT", [](ImageHeader& h) {
             h.info.totalSectors = 0xFFFFFFFF;
             h.info.clusterCount = 2046;  // all that 8 sectors of FAT16 can name
         }, 34, 3, 11},
    };
    for (const auto& c : cases) {
        ImageHeader h{fat16(), 20, 1, 10, 12};
        c.edit(h);
        auto parsed = ImageHeader::parse(h.serialize());
        ASSERT_TRUE(parsed) << c.what;
        std::string why;
        const auto held = fitImageToFile(*parsed, c.fileSectors * 512 + 100, why);
        EXPECT_EQ(why.empty(), held.has_value()) << c.what;
        EXPECT_EQ(held.has_value(), c.held.has_value()) << c.what;
        if (!held || !c.held) continue;
        EXPECT_EQ(*held, *c.held) << c.what;
        EXPECT_EQ(parsed->info.clusterCount, c.clusters) << c.what;
    }
}

TEST(ImageSource, ReadsEachSectorFromItsPlaceAndZerosElsewhere) {
    ImageFile file(fatImageBytes());
    auto image = ImageSource::open(file.path);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->deviceSectorSize(), 512u);
    EXPECT_EQ(image->sizeBytes(), 184u * 512);
    ASSERT_TRUE(image->driveInfo());
    EXPECT_EQ(image->driveInfo()->label, "VOLUME");
    ASSERT_TRUE(image->savedClusters());
    EXPECT_EQ(image->savedClusters()->last, 12u);

    const struct {
        std::uint64_t first, count;
        ReadResult result;
        std::vector<std::uint64_t> held;  // the sectors of the read that the image holds
    } cases[] = {
        {0, 1, ReadResult::Done, {0}},
        {0, 2, ReadResult::Done, {0}},                  // sector 1 is not the system area's first
        {22, 40, ReadResult::Done, {22, 23, 56, 57, 58, 59, 60, 61}},  // system area, gap, cluster 10
        {66, 3, ReadResult::Done, {66, 67}},            // the end of cluster 12, then cluster 13
        {100, 1, ReadResult::Done, {}},
        {183, 2, ReadResult::Unreadable, {}},           // past the volume's end
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> out(c.count * 512, 0xEE);
        EXPECT_EQ(image->read(c.first, 512, out), c.result) << c.first;
        for (std::uint64_t s = c.first; s < c.first + c.count; ++s) {
            const bool held = std::find(c.held.begin(), c.held.end(), s) != c.held.end();
            const std::size_t at = (s - c.first) * 512;
            ASSERT_EQ(out[at + 5], held ? volumeByte(s, 5) : 0) << "read at " << c.first << ", sector " << s;
        }
    }
}

TEST(ImageSource, ATruncatedFileFailsTheReadInsteadOfReturningShortData) {
    std::vector<std::uint8_t> bytes = fatImageBytes();
    bytes.resize(bytes.size() - 512 - 100);  // cluster 12 loses its last sector and a bit
    ImageFile file(bytes);
    auto image = ImageSource::open(file.path);
    ASSERT_TRUE(image);
    std::vector<std::uint8_t> out(4 * 512, 0xEE);
    EXPECT_EQ(image->read(64, 512, out), ReadResult::Unreadable);
    EXPECT_EQ(out[512 + 5], volumeByte(65, 5));
    EXPECT_EQ(out[3 * 512 + 5], 0);  // what is missing is zeros
    EXPECT_EQ(image->read(64, 512, MutableBytes(out).first(1024)), ReadResult::Done);

    // A file that ends before its boot sector is no image; nor is a volume.
    bytes.resize(700);
    ImageFile cut(bytes);
    EXPECT_FALSE(ImageSource::open(cut.path));
    DriveTable table;
    ImageFile plain(sectorsOf(0, 8));
    OpenedSource opened = SystemSources(table).open(plain.path.string(), DriveKind::Image);
    EXPECT_FALSE(opened.source);
    EXPECT_EQ(opened.failure, msg::kCannotOpenDrive);
    EXPECT_TRUE(SystemSources(table).open(file.path.string(), DriveKind::Image).source);
}

}  // namespace
}  // namespace harrow
