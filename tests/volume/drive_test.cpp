#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "common/strings.h"
#include "support/fat_image.h"
#include "volume/drive.h"
#include "volume/local_source.h"

namespace harrow {
namespace {

using test::FatImage;
using test::OpenedImage;

FileItem fileAt(std::uint32_t cluster, std::uint64_t size) {
    FileItem f;
    f.kind = ITEM_FILE;
    f.name = "F";
    f.cluster = cluster;
    f.size = size;
    return f;
}

// Reads the item as saving does, a cluster per call; nothing if a read fails.
std::optional<std::vector<std::uint8_t>> readAll(CDrive& drive, const FileItem& item, FatIndex fat) {
    if (!drive.beginRead(item, fat)) return std::nullopt;
    std::vector<std::uint8_t> out, buf(drive.bytesPerCluster() + 16);
    for (std::uint64_t pos = 0; pos < item.size;) {
        std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(drive.bytesPerCluster(), item.size - pos));
        std::fill(buf.begin(), buf.end(), 0xEE);
        if (!drive.read(buf, pos, n)) {
            drive.endRead();
            return std::nullopt;
        }
        out.insert(out.end(), buf.begin(), buf.begin() + n);
        pos += n;
    }
    drive.endRead();
    return out;
}

// Which cluster each block of `data` came from, by the fill byte of that cluster.
std::vector<int> clustersOf(const std::vector<std::uint8_t>& data, std::uint32_t clusterBytes) {
    std::vector<int> out;
    for (std::size_t i = 0; i < data.size(); i += clusterBytes) out.push_back(data[i]);
    return out;
}

struct ReadFixture {
    FatImage img = FatImage::make(16, 4096, 1);
    ReadFixture() {
        for (std::uint32_t c = 2; c < 200; ++c) img.fillCluster(c, static_cast<std::uint8_t>(c));
    }
};

TEST(DriveRead, PathsThroughTheFat) {
    ReadFixture f;
    f.img.chain({20, 25, 21});                   // a fragmented live file
    f.img.setFat(101, 0xFFFF);                   // in use, between the deleted file's clusters
    f.img.chain({30, 31, 32}, 0);                // FAT1 and FAT2 disagree
    f.img.chain({30, 40, 41}, 1);
    f.img.chain({50, 51});                       // chain shorter than the size
    OpenedImage o(f.img);
    ASSERT_TRUE(o.opened);
    CDrive& drive = o.doc.drive();
    ASSERT_TRUE(drive.open("T:\\", DriveKind::Local));
    ASSERT_TRUE(drive.loadFats());

    struct Case {
        const char* what;
        std::uint32_t first;
        std::uint64_t size;
        FatIndex fat;
        std::vector<int> clusters;
    } cases[] = {
        {"live chain", 20, 1536, 0, {20, 25, 21}},
        {"no FAT reads contiguously", 20, 1536, kNoFat, {20, 21, 22}},
        {"deleted file skips clusters in use", 100, 1536, 0, {100, 102, 103}},
        {"FAT1", 30, 1536, 0, {30, 31, 32}},
        {"FAT2", 30, 1536, 1, {30, 40, 41}},
        {"partial last cluster", 20, 1100, 0, {20, 25, 21}},
    };
    for (const auto& c : cases) {
        auto data = readAll(drive, fileAt(c.first, c.size), c.fat);
        ASSERT_TRUE(data) << c.what;
        EXPECT_EQ(data->size(), c.size) << c.what;
        EXPECT_EQ(clustersOf(*data, 512), c.clusters) << c.what;
    }

    // A chain that ends before the size: reading the block past its end fails.
    EXPECT_FALSE(readAll(drive, fileAt(50, 2048), 0));
    // Within one read that spans clusters, the part past the end is left as it was.
    std::vector<std::uint8_t> buf(4 * 512 + 16, 0xEE);
    ASSERT_TRUE(drive.beginRead(fileAt(50, 2048), 0));
    EXPECT_TRUE(drive.read(buf, 0, 2048));
    EXPECT_EQ(clustersOf(std::vector<std::uint8_t>(buf.begin(), buf.begin() + 2048), 512), (std::vector<int>{50, 51, 0xEE, 0xEE}));
    // Reading at an offset past the end of the chain fails instead of returning data.
    EXPECT_FALSE(drive.read(buf, 3 * 512, 512));
    // Going back to an earlier block after a later one still finds the right cluster.
    EXPECT_TRUE(drive.read(buf, 512, 512));
    EXPECT_EQ(buf[0], 51);
    EXPECT_TRUE(drive.read(buf, 0, 512));
    EXPECT_EQ(buf[0], 50);
    // The buffer must hold whole sectors.
    std::vector<std::uint8_t> small(100);
    EXPECT_FALSE(drive.read(small, 0, 100));
    drive.endRead();
}

TEST(DriveRead, TheLastDataClusterOfAFat16VolumeIsPartOfIt) {
    // 4096 sectors, 67 before the data: clusters 2 .. 4030 exist.
    FatImage img = FatImage::make(16, 4096, 1);
    img.fillCluster(4029, 0x29);
    img.fillCluster(4030, 0x30);
    img.chain({4029, 4030});
    OpenedImage o(img);
    ASSERT_TRUE(o.opened);
    CDrive& drive = o.doc.drive();
    EXPECT_EQ(drive.info().clusterCount, 4029u);
    ASSERT_TRUE(drive.open("T:\\", DriveKind::Local));
    ASSERT_TRUE(drive.loadFats());
    EXPECT_TRUE(drive.fat().chainMatchesSize(0, 4029, 1024));
    auto data = readAll(drive, fileAt(4029, 1024), 0);
    ASSERT_TRUE(data);
    EXPECT_EQ(clustersOf(*data, 512), (std::vector<int>{0x29, 0x30}));
}

TEST(DriveRead, OffsetsInsideAClusterAndLargeFiles) {
    FatImage img = FatImage::make(32, 70000, 4);
    std::vector<std::uint32_t> chain;
    for (std::uint32_t c = 3; c < 3 + 2000; c += 2) chain.push_back(c);  // every other cluster
    img.chain(chain);
    for (std::uint32_t i = 0; i < chain.size(); ++i) {
        std::uint64_t at = img.clusterOffset(chain[i]);
        for (std::uint32_t s = 0; s < 4; ++s) img.bytes[at + s * 512] = static_cast<std::uint8_t>(i * 4 + s);
    }
    OpenedImage o(img);
    ASSERT_TRUE(o.opened);
    CDrive& drive = o.doc.drive();
    ASSERT_TRUE(drive.open("T:\\", DriveKind::Local));
    ASSERT_TRUE(drive.loadFats());
    ASSERT_TRUE(drive.beginRead(fileAt(chain[0], chain.size() * 2048), 0));
    std::vector<std::uint8_t> buf(4096);
    // Sector 2 of cluster 5 of the file, then on into cluster 6.
    ASSERT_TRUE(drive.read(buf, 5 * 2048 + 1024, 2048));
    EXPECT_EQ(buf[0], static_cast<std::uint8_t>(5 * 4 + 2));
    EXPECT_EQ(buf[512], static_cast<std::uint8_t>(5 * 4 + 3));
    EXPECT_EQ(buf[1024], static_cast<std::uint8_t>(6 * 4 + 0));
    // Block by block to the end: every block from its own cluster.
    for (std::uint32_t i = 0; i < chain.size(); ++i) {
        ASSERT_TRUE(drive.read(buf, std::uint64_t{i} * 2048, 2048)) << i;
        ASSERT_EQ(buf[512], static_cast<std::uint8_t>(i * 4 + 1)) << i;
    }
    drive.endRead();
}

TEST(Drive, NeverWritesAndReadsOnlyWhenOpen) {
    FatImage img = FatImage::make(16, 4096, 1);
    OpenedImage o(img);
    CDrive& drive = o.doc.drive();
    std::vector<std::uint8_t> buf(512);
    EXPECT_FALSE(drive.isOpen());
    EXPECT_FALSE(drive.lock());
    EXPECT_FALSE(drive.unlock());
    EXPECT_FALSE(drive.readSectors(buf, 0, 1));
    EXPECT_TRUE(drive.readFailed());

    ASSERT_TRUE(drive.open("T:\\", DriveKind::Local));
    EXPECT_TRUE(drive.lock());
    EXPECT_TRUE(drive.unlock());
    EXPECT_EQ(drive.driveNumber(), 'T' - 64);
    EXPECT_FALSE(drive.writeSectors(buf, 0, 1));
    EXPECT_TRUE(drive.readSectors(buf, 1, 1));
    EXPECT_FALSE(drive.readFailed());
    EXPECT_FALSE(drive.readSectors(buf, 4096, 1));  // past the end
    EXPECT_TRUE(drive.readFailed());
    EXPECT_FALSE(drive.readSectors(buf, 0, 2));     // buffer too small for two sectors
    EXPECT_FALSE(drive.readSectors(buf, ~0ull, 1));
    EXPECT_FALSE(drive.readAtCluster(~0ull, 0, 512, buf));

    // Opening again closes first; an image or remote open fails on this build with a message.
    ASSERT_TRUE(drive.open("T:\\", DriveKind::Local));
    EXPECT_FALSE(drive.open("T:\\", DriveKind::Image));
    EXPECT_FALSE(drive.isOpen());
    EXPECT_FALSE(drive.open("Q:\\", DriveKind::Local));
    EXPECT_TRUE(o.prompts.shown(msg::kCannotOpenDrive));
}

class TempFile {
public:
    explicit TempFile(const std::vector<std::uint8_t>& bytes) {
        char name[] = "/tmp/harrow-test-XXXXXX";
        int fd = mkstemp(name);
        path_ = name;
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fd);
        chmod(name, 0444);
    }
    ~TempFile() { unlink(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

TEST(LocalSource, ReadsAFileReadOnlyAtAnOffset) {
    std::vector<std::uint8_t> bytes(8 * 512);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i / 512);
    TempFile file(bytes);
    auto src = LocalSource::open(file.path(), 2 * 512);
    ASSERT_TRUE(src);
    EXPECT_EQ(src->deviceSectorSize(), 512u);
    EXPECT_EQ(src->sizeBytes(), 6u * 512);
    std::vector<std::uint8_t> out(1024);
    ASSERT_TRUE(src->read(1, 512, out));
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(out[512], 4);
    // The last sector and one past it: the part that exists arrives, the rest is zero.
    ASSERT_FALSE(src->read(5, 512, out));
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(out[512], 0);
    EXPECT_FALSE(src->read(1000, 512, out));
    EXPECT_FALSE(LocalSource::open("/nonexistent/harrow"));

    // The descriptor is read-only: a write through it fails.
    UniqueFd fd(::open(file.path().c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    EXPECT_LT(::write(fd.get(), "x", 1), 0);
}

TEST(DriveTable, EnumeratesBlockDevicesLikeDriveLetters) {
    namespace fs = std::filesystem;
    fs::path root = fs::temp_directory_path() / ("harrow-sys-" + std::to_string(getpid()));
    fs::remove_all(root);
    auto file = [](const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text << "\n";
    };
    fs::path devices = root / "devices", block = root / "class/block", dev = root / "dev", labels = root / "by-label";
    fs::create_directories(block);
    fs::create_directories(labels);
    struct Dev {
        const char* name;
        const char* parent;  // for partitions
        const char* size;
        const char* removable;
        bool node;
    } devs[] = {
        {"fd0", nullptr, "2880", "1", true},  {"sda", nullptr, "100", "0", true}, {"sda1", "sda", "50", nullptr, true},
        {"sdb", nullptr, "100", "1", true},   {"sdc", nullptr, "0", "0", true},   {"sr0", nullptr, "100", "1", true},
        {"ram0", nullptr, "100", "0", true},  {"sdd", nullptr, "100", "0", false},
    };
    for (const auto& d : devs) {
        fs::path sys = d.parent ? devices / d.parent / d.name : devices / d.name;
        file(sys / "size", d.size);
        if (d.removable) file(sys / "removable", d.removable);
        if (d.parent) file(sys / "partition", "1");
        fs::create_directory_symlink(sys, block / d.name);
        if (d.node) file(dev / d.name, "");
    }
    fs::create_symlink(dev / "sda1", labels / "MY\\x20DISK");

    DriveTable t;
    t.loadSystem(block.string(), labels.string(), dev.string());
    std::vector<std::string> got;
    for (const auto& e : t.entries())
        got.push_back(std::string(1, e.letter) + " " + fs::path(e.path).filename().string() + " " +
                      std::to_string(static_cast<int>(e.type)) + " " + e.label);
    EXPECT_EQ(got, (std::vector<std::string>{"A fd0 2 ", "C ram0 6 ", "D sda 3 ", "E sda1 3 MY DISK", "F sdb 2 "}));
    fs::remove_all(root);
}

TEST(DriveTable, SpecsLettersAndRegistration) {
    DriveTable t;
    EXPECT_TRUE(t.addAssignments("x=/dev/null,C=/tmp/a.img"));
    ASSERT_TRUE(t.find('X'));
    EXPECT_EQ(t.find('x')->path, "/dev/null");
    EXPECT_EQ(t.find('C')->path, "/tmp/a.img");
    EXPECT_FALSE(t.addAssignments("bad,Y=/tmp/y"));
    EXPECT_TRUE(t.find('Y'));
    EXPECT_TRUE(t.addAssignments("C=/tmp/b.img"));
    EXPECT_EQ(t.find('C')->path, "/tmp/b.img");
    EXPECT_EQ(t.registerPath("/tmp/new.img"), 'D');
    EXPECT_EQ(t.registerPath("/tmp/new.img"), 'D');
    EXPECT_EQ(t.entries().front().letter, 'C');

    EXPECT_EQ(letterOfRootPath("c:\\"), 'C');
    EXPECT_EQ(letterOfRootPath("C:"), 'C');
    EXPECT_EQ(letterOfRootPath("/dev/sda"), std::nullopt);
    EXPECT_EQ(letterOfRootPath("C:\\x"), std::nullopt);
    EXPECT_EQ(letterOfRootPath(""), std::nullopt);
}

}  // namespace
}  // namespace harrow
