// Sources of sectors: the conformance suite every source must pass, what is particular to local
// devices and files, and the drive table.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "support/fault_source.h"
#include "volume/drive_table.h"
#include "volume/image_source.h"
#include "volume/local_source.h"
#include "volume/memory_source.h"
#include "volume/source_factory.h"

namespace harrow {
namespace {

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

// The bytes of a volume inside a larger file: some before it, some after, that a source over the
// volume must never show.
constexpr std::size_t kBefore = 3 * 512, kAfter = 5 * 512;
std::vector<std::uint8_t> framed(const std::vector<std::uint8_t>& volume) {
    std::vector<std::uint8_t> out(kBefore + volume.size() + kAfter, 0xA0);
    std::fill_n(out.begin(), kBefore, 0xB0);
    std::copy(volume.begin(), volume.end(), out.begin() + kBefore);
    return out;
}

// A block device over a file, for as long as the source lives.
class LoopSource : public SectorSource {
public:
    static std::unique_ptr<SectorSource> make(const std::vector<std::uint8_t>& volume) {
        if (geteuid() != 0 || access("/dev/loop-control", F_OK) != 0 || std::system("command -v losetup >/dev/null") != 0)
            return nullptr;
        auto file = std::make_unique<TempFile>(framed(volume));
        std::string device;
        if (FILE* p = popen(("losetup -f --show -r " + file->path() + " 2>/dev/null").c_str(), "r")) {
            char line[256] = {};
            if (fgets(line, sizeof line, p)) device = line;
            pclose(p);
        }
        while (!device.empty() && device.back() == '\n') device.pop_back();
        if (device.empty()) return nullptr;
        auto inner = LocalSource::open(device, kBefore, volume.size());
        if (!inner) {
            std::system(("losetup -d " + device).c_str());
            return nullptr;
        }
        return std::unique_ptr<SectorSource>(new LoopSource(std::move(inner), device, std::move(file)));
    }
    ~LoopSource() override {
        inner_.reset();
        std::system(("losetup -d " + device_).c_str());
    }
    ReadResult read(std::uint64_t first, std::uint32_t sectorSize, MutableBytes out) override {
        return inner_->read(first, sectorSize, out);
    }
    std::uint32_t deviceSectorSize() const override { return inner_->deviceSectorSize(); }
    std::optional<std::uint64_t> sizeBytes() const override { return inner_->sizeBytes(); }

private:
    LoopSource(std::unique_ptr<LocalSource> inner, std::string device, std::unique_ptr<TempFile> file)
        : inner_(std::move(inner)), device_(std::move(device)), file_(std::move(file)) {}
    std::unique_ptr<LocalSource> inner_;
    std::string device_;
    std::unique_ptr<TempFile> file_;
};

struct SourceMaker {
    const char* name;
    // A source over `volume`; nothing where this machine cannot make one (the test is skipped).
    std::function<std::unique_ptr<SectorSource>(const std::vector<std::uint8_t>&)> make;
};

std::unique_ptr<SectorSource> fileSource(const std::vector<std::uint8_t>& volume) {
    TempFile file(framed(volume));
    return LocalSource::open(file.path(), kBefore, volume.size());  // the descriptor outlives the name
}

// An image file that holds every sector of the volume, read as a FAT12 volume of one-sector
// clusters: boot sector, system area (FAT and root directory) and all clusters follow the header
// in volume order.
std::unique_ptr<SectorSource> imageSource(const std::vector<std::uint8_t>& volume) {
    ImageHeader h;
    h.info.fsName = "FAT12";
    h.info.bytesPerSector = 512;
    h.info.sectorsPerCluster = 1;
    h.info.reservedSectors = 1;
    h.info.numberOfFats = 1;
    h.info.sectorsPerFat = 1;
    h.info.rootEntries = 16;
    h.info.totalSectors = static_cast<std::uint32_t>(volume.size() / 512);
    h.info.clusterCount = h.info.totalSectors - 3;
    h.systemSectors = 2;
    h.firstCluster = 2;
    h.lastCluster = static_cast<std::uint32_t>(h.info.clusterCount + 1);
    std::vector<std::uint8_t> file = h.serialize();
    file.insert(file.end(), volume.begin(), volume.end());
    TempFile image(file);
    return ImageSource::open(image.path());
}

const SourceMaker kMakers[] = {
    {"memory", [](const auto& v) { return std::make_unique<MemorySource>(std::make_shared<const std::vector<std::uint8_t>>(v)); }},
    {"faulty_without_faults",
     [](const auto& v) {
         return std::make_unique<test::FaultySource>(std::make_shared<const std::vector<std::uint8_t>>(v),
                                                     std::make_shared<test::FaultPlan>());
     }},
    {"file", fileSource},
    {"loop_device", LoopSource::make},
    {"image_file", imageSource},
};

void PrintTo(const SourceMaker& maker, std::ostream* os) { *os << maker.name; }

class SourceConformance : public ::testing::TestWithParam<SourceMaker> {};

TEST_P(SourceConformance, ReadsWhatItHoldsAndNothingBeyond) {
    constexpr std::uint64_t kSectors = 64;
    std::vector<std::uint8_t> volume(kSectors * 512);
    for (std::size_t i = 0; i < volume.size(); ++i) volume[i] = static_cast<std::uint8_t>(i * 7 + i / 512);
    auto source = GetParam().make(volume);
    if (!source) GTEST_SKIP() << GetParam().name << " cannot be made here";
    EXPECT_EQ(source->deviceSectorSize(), 512u);
    EXPECT_EQ(source->sizeBytes(), volume.size());

    struct Case {
        std::uint64_t first;
        std::uint32_t sectorSize;
        std::size_t bytes;
        ReadResult result;
    } cases[] = {
        {0, 512, 512, ReadResult::Done},
        {10, 512, 5 * 512, ReadResult::Done},
        {kSectors - 1, 512, 512, ReadResult::Done},        // the last sector
        {7, 4096, 4096, ReadResult::Done},                 // a volume of larger sectors
        {kSectors - 2, 512, 3 * 512, ReadResult::Unreadable},  // runs off the end: what is there arrives
        {kSectors, 512, 512, ReadResult::Unreadable},
        {~0ull / 512, 512, 512, ReadResult::Unreadable},   // a byte offset that would overflow
        {~0ull, 4096, 4096, ReadResult::Unreadable},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> out(c.bytes, 0xEE);
        EXPECT_EQ(source->read(c.first, c.sectorSize, out), c.result) << c.first << "*" << c.sectorSize;
        for (std::size_t i = 0; i < out.size(); ++i) {
            const std::uint64_t at = c.first < ~0ull / c.sectorSize ? c.first * c.sectorSize + i : ~0ull;
            const std::uint8_t want = at < volume.size() ? volume[at] : 0;
            ASSERT_EQ(out[i], want) << c.first << "*" << c.sectorSize << " byte " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, SourceConformance, ::testing::ValuesIn(kMakers),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LocalSource, ReadsReadOnlyAndTellsWhyItCannotOpen) {
    TempFile file(std::vector<std::uint8_t>(4 * 512, 1));
    // The descriptor is read-only: a write through it fails.
    UniqueFd fd(::open(file.path().c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    EXPECT_LT(::write(fd.get(), "x", 1), 0);
    // A volume that would begin past the end of its file holds nothing.
    auto past = LocalSource::open(file.path(), 1u << 20);
    ASSERT_TRUE(past);
    EXPECT_EQ(past->sizeBytes(), 0u);
    EXPECT_FALSE(LocalSource::open("/nonexistent/harrow"));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(LocalSource::open("/tmp"));  // neither a device nor a file
    EXPECT_EQ(errno, ENOTBLK);
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

// Root opens every device, so the check runs in a child that has given root up. The exit code
// says which expectation failed.
int checkUnreadableDeviceAsUser(const std::string& block, const std::string& dev) {
    if (geteuid() == 0 && (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) return 10;
    DriveTable t;
    t.loadSystem(block, "/nonexistent", dev);
    const DriveEntry* locked = t.find('C');
    const DriveEntry* open = t.find('D');
    if (!locked || !open) return 11;  // a device the user may not open is still listed
    if (locked->readable || !open->readable) return 12;
    OpenedSource opened = SystemSources(t).open("C:\\", DriveKind::Local);
    // The stand-in devices are files: what the user can do about them is their permissions.
    if (opened.source || opened.failure != msg::kNoPermissionFile) return 13;
    const std::string text = opened.failureText();
    if (text.find(locked->path) == std::string::npos || text.find("chmod") == std::string::npos) return 14;
    return 0;
}

TEST(DriveTable, ListsDevicesTheUserMayNotOpenAndSaysWhy) {
    namespace fs = std::filesystem;
    fs::path root = fs::temp_directory_path() / ("harrow-perm-" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::path block = root / "class/block", dev = root / "dev";
    fs::create_directories(block);
    fs::create_directories(dev);
    for (const char* name : {"sda", "sdb"}) {
        fs::path sys = root / "devices" / name;
        fs::create_directories(sys);
        std::ofstream(sys / "size") << "100\n";
        std::ofstream(sys / "removable") << "0\n";
        fs::create_directory_symlink(sys, block / name);
        std::ofstream(dev / name) << std::string(512, '\0');
    }
    fs::permissions(dev / "sda", fs::perms::none);
    EXPECT_EXIT(std::_Exit(checkUnreadableDeviceAsUser(block.string(), dev.string())), ::testing::ExitedWithCode(0), "");
    fs::remove_all(root);
}

TEST(DriveTable, AccessAdviceFitsWhatWasRefused) {
    const std::string file = (std::filesystem::temp_directory_path() / ("harrow-advice-" + std::to_string(getpid()))).string();
    std::ofstream(file) << "x";
    struct Case {
        std::string path;
        bool root;
        int advice;
    };
    for (const Case& c : std::vector<Case>{{file, false, msg::kNoPermissionFile},
                                           {"/dev/null", false, msg::kNoPermission},
                                           {"/dev/no-such-disk", false, msg::kNoPermission},
                                           {"/dev/null", true, msg::kNoPermissionAsRoot},
                                           {file, true, msg::kNoPermissionAsRoot}})
        EXPECT_EQ(noPermissionMessage(c.path, c.root).id, c.advice) << c.path << " root " << c.root;
    std::filesystem::remove(file);
}

TEST(DriveTable, AssignmentsLettersAndRegistration) {
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
