// Save clusters: what is written where a cluster cannot be read, and each refusal and failure
// with its message.
#include <gtest/gtest.h>

#include <deque>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "common/strings.h"
#include "saving/save_clusters.h"
#include "support/fat_image.h"
#include "support/fault_source.h"

namespace harrow {
namespace {

namespace fs = std::filesystem;
using test::FatImage;

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Target {
    fs::path dir = fs::temp_directory_path() / ("harrow-clusters-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    fs::path file = dir / "out.dsk";
    Target() { fs::create_directories(dir); }
    ~Target() { fs::remove_all(dir); }
    static inline int counter = 0;
};

// FAT16 of 2048-byte clusters. Range 8..60 of it: a sector of cluster 8 cannot be read (the
// first of the range), nor one of cluster 22 (after one full of 'B'); the FAT marks 30 bad.
struct Volume {
    FatImage img = FatImage::make(16, 4096, 4);
    test::FaultySources sources{[this] {
        img.fillCluster(8, 'U');  // the sectors before the bad one can be read
        img.fillCluster(22, 'U');
        img.fillCluster(21, 'B');
        img.fillCluster(30, 'C');
        img.setFat(30, 0xFFF7);
        return img.bytes;
    }()};
    RecordingPrompts prompts;
    CDrive drive{prompts, sources};

    Volume() {
        sources.plan().badSectors = {img.clusterOffset(8) / 512 + 1, img.clusterOffset(22) / 512 + 3};
        EXPECT_TRUE(drive.open("C:\\", DriveKind::Local));
    }
    std::uint64_t systemSectors() const { return img.dataStart() - 1; }
};

struct Recorder : SaveClustersObserver {
    std::vector<SaveClustersProgress> steps;
    std::size_t cancelAt = 0;
    void step(const SaveClustersProgress& p) override { steps.push_back(p); }
    bool cancelled() override { return cancelAt != 0 && steps.size() >= cancelAt; }
};

TEST(SaveClusters, WritesZerosWhereAClusterCannotBeReadOrIsMarkedBad) {
    Volume v;
    Target t;
    Recorder r;
    SaveClustersSummary s = saveClusters(v.drive, {t.file.string(), {8, 60}, true}, r);
    ASSERT_EQ(s.result, SaveClustersResult::Done);
    EXPECT_EQ(s.unreadable, 2u);
    EXPECT_EQ(s.skippedBad, 1u);
    EXPECT_TRUE(v.prompts.messages.empty());
    ASSERT_FALSE(r.steps.empty());
    EXPECT_EQ(r.steps.back().current, 60u);
    EXPECT_EQ(r.steps.back().percent, 100);

    // The places of the clusters in the file (the header's bytes are checked end to end).
    const std::string file = readAll(t.file);
    const std::uint64_t n = v.systemSectors();
    ASSERT_EQ(file.size(), (2 + n + 53 * 4) * 512);
    const std::string volume(v.img.bytes.begin(), v.img.bytes.end());
    EXPECT_EQ(file.substr(1024, n * 512), volume.substr(512, n * 512));  // FATs and root
    auto cluster = [&](std::uint32_t c) { return file.substr((2 + n + (c - 8) * 4) * 512, 2048); };
    EXPECT_EQ(cluster(8), std::string(2048, '\0'));   // not memory left unset
    EXPECT_EQ(cluster(21), std::string(2048, 'B'));
    EXPECT_EQ(cluster(22), std::string(2048, '\0'));  // not cluster 21 again
    EXPECT_EQ(cluster(30), std::string(2048, '\0'));  // marked bad, skipped
    EXPECT_EQ(cluster(60), volume.substr(v.img.clusterOffset(60), 2048));

    // Without skipping, the cluster marked bad is read like any other.
    Recorder again;
    EXPECT_EQ(saveClusters(v.drive, {t.file.string(), {30, 30}, false, ReplaceAnswer::YesToAll}, again).result, SaveClustersResult::Done);
    EXPECT_EQ(readAll(t.file).substr((2 + n) * 512), std::string(2048, 'C'));
}

TEST(SaveClusters, RefusesRangesTargetsAndDrivesBeforeWritingAnything) {
    Volume v;
    const ClusterRange allowed = allowedClusters(v.drive.info());
    EXPECT_EQ(allowed.first, 2u);
    EXPECT_EQ(allowed.last, v.drive.info().clusterCount + 1);  // FAT16's last data cluster
    DriveInfo ntfs;
    ntfs.fsType = FsType::Ntfs;
    ntfs.mftCluster = 4;
    ntfs.clusterCount = 1000;
    EXPECT_EQ(allowedClusters(ntfs).first, 4u);
    EXPECT_EQ(allowedClusters(ntfs).last, 999u);

    Target t;
    const std::uint32_t last = allowed.last;
    const struct {
        const char* what;
        ClusterRange range;
        std::string path;
        int message;
    } cases[] = {
        {"reversed", {20, 10}, t.file.string(), msg::kInvalidRange},
        {"below the first", {1, 10}, t.file.string(), msg::kInvalidRange},
        {"past the last", {2, last + 1}, t.file.string(), msg::kInvalidRange},
        {"no such folder", {2, 10}, (t.dir / "none" / "x.dsk").string(), msg::kCannotCreate},
        {"a device", {2, 10}, "/dev/null", msg::kCannotCreate},
    };
    for (const auto& c : cases) {
        v.prompts.messages.clear();
        Recorder r;
        EXPECT_EQ(saveClusters(v.drive, {c.path, c.range, true}, r).result, SaveClustersResult::Refused) << c.what;
        EXPECT_EQ(v.prompts.ids(), std::vector<int>{c.message}) << c.what;
        EXPECT_FALSE(fs::exists(t.file)) << c.what;
    }

    // The source file itself, through the drive table like any volume file.
    const fs::path source = t.dir / "volume.img";
    std::ofstream(source, std::ios::binary).write(reinterpret_cast<const char*>(v.img.bytes.data()), static_cast<std::streamsize>(v.img.bytes.size()));
    DriveTable table;
    ASSERT_EQ(table.registerPath(source.string()), 'C');
    SystemSources files(table);
    RecordingPrompts prompts;
    CDrive drive(prompts, files);
    ASSERT_TRUE(drive.open("C:\\", DriveKind::Local));
    Recorder r;
    EXPECT_EQ(saveClusters(drive, {source.string(), {2, 10}, true}, r).result, SaveClustersResult::Refused);
    EXPECT_EQ(prompts.ids(), std::vector<int>{msg::kCannotSaveOnSource});
    EXPECT_EQ(fs::file_size(source), v.img.bytes.size());
    EXPECT_EQ(saveClusters(drive, {(t.dir / "other.dsk").string(), {2, 10}, true}, r).result, SaveClustersResult::Done);

    drive.close();
    prompts.messages.clear();
    EXPECT_EQ(saveClusters(drive, {t.file.string(), {2, 10}, true}, r).result, SaveClustersResult::Refused);
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0].text, diag::kSaveClustersNotOpen);
}

TEST(SaveClusters, AnExistingFileIsReplacedOnlyWhenAskedAndOnlyByAWholeImage) {
    Volume v;
    Target t;
    const fs::path victim = t.dir / "victim";
    std::ofstream(victim) << "victim";
    fs::create_symlink(victim, t.file);  // planted under the image's name
    const std::string old = "old image";
    const fs::path kept = t.dir / "kept.dsk";
    std::ofstream(kept) << old;
    struct Case {
        fs::path path;
        ReplaceAnswer existing;
        std::deque<ReplaceAnswer> answers;  // to the question, where one is asked
        SaveClustersResult result;
        std::vector<int> messages;
    } cases[] = {
        {kept, ReplaceAnswer::NoToAll, {}, SaveClustersResult::Refused, {msg::kExistingKept}},
        {kept, ReplaceAnswer::Yes, {ReplaceAnswer::No}, SaveClustersResult::Refused, {}},
        {kept, ReplaceAnswer::Yes, {ReplaceAnswer::Yes}, SaveClustersResult::Cancelled, {msg::kPartialKeptBeside}},
        {t.file, ReplaceAnswer::YesToAll, {}, SaveClustersResult::Done, {}},
    };
    for (const Case& c : cases) {
        v.prompts.messages.clear();
        v.prompts.overwriteAnswers = c.answers;
        Recorder r;
        r.cancelAt = c.result == SaveClustersResult::Cancelled ? 1 : 0;
        EXPECT_EQ(saveClusters(v.drive, {c.path.string(), {2, 1000}, true, c.existing}, r).result, c.result);
        EXPECT_EQ(v.prompts.ids(), c.messages);
        EXPECT_EQ(readAll(kept), old);  // never replaced by a part
    }
    EXPECT_GT(fs::file_size(t.dir / "kept.partial.dsk"), 0u);
    EXPECT_EQ(readAll(victim), "victim");  // the link was replaced, not written through
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(t.file)));
}

// Run in a child: the limit stays with the process. The exit code says whether the save failed
// with the one message it should.
int saveOnFullDisk(const fs::path& target) {
    std::signal(SIGXFSZ, SIG_IGN);
    Volume v;
    const struct rlimit limit = {(2 + v.systemSectors() + 10 * 4) * 512, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &limit);
    Recorder r;
    const SaveClustersResult result = saveClusters(v.drive, {target.string(), {2, 1000}, true}, r).result;
    return result == SaveClustersResult::Failed && v.prompts.ids() == std::vector<int>{msg::kDiskFull} ? 0 : 1;
}

TEST(SaveClusters, FailuresSayWhatStoppedThemAndCancelKeepsWhatWasWritten) {
    Target t;
    {
        Volume v;
        v.sources.plan().badSectors = {9};  // in the second FAT
        Recorder r;
        EXPECT_EQ(saveClusters(v.drive, {t.file.string(), {2, 10}, true, ReplaceAnswer::YesToAll}, r).result, SaveClustersResult::Failed);
        ASSERT_EQ(v.prompts.ids(), std::vector<int>{msg::kCannotReadCluster});
        EXPECT_EQ(v.prompts.messages[0].text, formatMessage(msg::kCannotReadCluster, 2ul));  // sector 9 / 4
    }
    {
        Volume v;
        v.sources.plan().badSectors = {0};
        Recorder r;
        EXPECT_EQ(saveClusters(v.drive, {t.file.string(), {2, 10}, true, ReplaceAnswer::YesToAll}, r).result, SaveClustersResult::Failed);
        EXPECT_EQ(v.prompts.messages.at(0).text, formatMessage(msg::kCannotReadCluster, 0ul));
    }
    {
        // 1 MiB blocks of 512 clusters: the first block is written, then the cancel is seen.
        Volume v;
        Recorder r;
        r.cancelAt = 1;
        const fs::path fresh = t.dir / "cancelled.dsk";
        EXPECT_EQ(saveClusters(v.drive, {fresh.string(), {31, 1000}, true}, r).result, SaveClustersResult::Cancelled);
        EXPECT_EQ(fs::file_size(fresh), (2 + v.systemSectors() + 512 * 4) * 512);
    }
    // A target that fills up: a file-size limit stands in for a full disk.
    EXPECT_EXIT(std::_Exit(saveOnFullDisk(t.dir / "full.dsk")), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace harrow
