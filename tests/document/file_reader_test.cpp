// Reading items: which clusters a file's bytes come from, and what a read that fails delivers.
#include <gtest/gtest.h>

#include "common/strings.h"
#include "document/file_reader.h"
#include "fatfs/boot_sector.h"
#include "fatfs/fat_verdict.h"
#include "support/fat_image.h"
#include "support/fault_source.h"

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

struct Copied {
    std::vector<std::uint8_t> bytes;
    CopyResult result;
};

// The item copied as saving copies it.
Copied copyAll(CDrive& drive, const FileItem& item, FatIndex fat) {
    Copied out{{}, CopyResult::Done};
    FileReader reader(drive, item, fat);
    out.result = copyItemData(reader, item.size, [&](Bytes b) {
        out.bytes.insert(out.bytes.end(), b.begin(), b.end());
        return true;
    });
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

TEST(FileReader, PathsThroughTheFat) {
    ReadFixture f;
    f.img.chain({20, 25, 21});                   // a fragmented live file
    f.img.setFat(101, 0xFFFF);                   // in use, between the deleted file's clusters
    f.img.chain({30, 31, 32}, 0);                // FAT1 and FAT2 disagree
    f.img.chain({30, 40, 41}, 1);
    f.img.chain({50, 51});                       // chain shorter than the size
    f.img.chain({60, 61, 62, 63, 64, 70, 71});   // two runs of consecutive clusters
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
        {"runs", 60, 7 * 512, 0, {60, 61, 62, 63, 64, 70, 71}},
    };
    for (const auto& c : cases) {
        Copied data = copyAll(drive, fileAt(c.first, c.size), c.fat);
        ASSERT_EQ(data.result, CopyResult::Done) << c.what;
        EXPECT_EQ(data.bytes.size(), c.size) << c.what;
        EXPECT_EQ(clustersOf(data.bytes, 512), c.clusters) << c.what;
    }

    // A chain that ends before the size: the clusters it has arrive, then the read fails there.
    Copied shortChain = copyAll(drive, fileAt(50, 2048), 0);
    EXPECT_EQ(shortChain.result, CopyResult::ReadFailed);
    EXPECT_EQ(clustersOf(shortChain.bytes, 512), (std::vector<int>{50, 51}));
    FileReader reader(drive, fileAt(50, 2048), 0);
    std::vector<std::uint8_t> buf(2048, 0xEE);
    FileReader::Result r = reader.read(0, buf);
    EXPECT_EQ(r.bytes, 1024u);
    EXPECT_EQ(r.status, ReadResult::Unreadable);
    // Reading at an offset past the end of the chain fails instead of returning data; going back
    // to an earlier cluster after a later one still finds the right one; a piece of a cluster
    // comes from its place.
    EXPECT_EQ(reader.read(3 * 512, MutableBytes(buf).first(512)).bytes, 0u);
    ASSERT_EQ(reader.read(512, MutableBytes(buf).first(512)).status, ReadResult::Done);
    EXPECT_EQ(buf[0], 51);
    ASSERT_EQ(reader.read(500, MutableBytes(buf).first(100)).status, ReadResult::Done);
    EXPECT_EQ(buf[0], 50);
    EXPECT_EQ(buf[12], 51);
}

TEST(FileReader, ADeletedFileInPiecesIsReadWhereItsContentSaysOrAsAGuess) {
    // Each file: its first free run too short for it, then free runs separated by clusters in use.
    struct Case {
        const char* what;
        std::vector<std::uint32_t> used;  // the clusters in use from its first on, up to 199
        std::uint32_t first, clusters, endsIn;  // a JPEG's FF D9 at the end of cluster `endsIn`
        bool jpeg;
        std::vector<std::uint32_t> read;
        PiecesRead how;
    } cases[] = {
        // A run of a file deleted later lies between its pieces: passed over.
        {"jpeg past another's run", {102, 103, 106, 107, 109, 110}, 100, 6, 112, true, {100, 101, 104, 105, 111, 112},
         PiecesRead::Confirmed},
        {"no check: the free clusters on", {102, 103, 106, 107, 109, 110}, 100, 6, 112, false, {100, 101, 104, 105, 108, 111},
         PiecesRead::Guessed},
        // Passing over 123 or 125 gives the same end: the content cannot choose, the first is read.
        {"two ways alike", {122, 124, 126}, 120, 4, 127, true, {120, 121, 125, 127}, PiecesRead::Guessed},
        {"no way confirmed", {142, 143, 146, 147, 149, 150}, 140, 6, 199, true, {140, 141, 144, 145, 148, 151},
         PiecesRead::Guessed},
        {"fits in its first run", {}, 160, 3, 162, true, {160, 161, 162}, PiecesRead::NotInPieces},
    };
    for (const auto& c : cases) {
        ReadFixture f;
        for (std::uint32_t u : c.used) f.img.setFat(u, 0xFFFF);
        f.img.setFat(c.first + 60, 0xFFFF);  // the next file's
        const std::uint64_t size = std::uint64_t{c.clusters} * 512 - 100;
        const std::uint64_t head = f.img.clusterOffset(c.first);
        if (c.jpeg) {
            f.img.bytes[head] = 0xFF, f.img.bytes[head + 1] = 0xD8, f.img.bytes[head + 2] = 0xFF;
            const std::uint64_t end = f.img.clusterOffset(c.endsIn) + 512 - 100;
            f.img.bytes[end - 2] = 0xFF, f.img.bytes[end - 1] = 0xD9;
        }
        std::vector<std::uint8_t> want;
        for (std::uint32_t r : c.read)
            want.insert(want.end(), f.img.bytes.begin() + static_cast<std::ptrdiff_t>(f.img.clusterOffset(r)),
                        f.img.bytes.begin() + static_cast<std::ptrdiff_t>(f.img.clusterOffset(r) + 512));
        want.resize(size);
        OpenedImage o(f.img);
        ASSERT_TRUE(o.opened);
        CDrive& drive = o.doc.drive();
        ASSERT_TRUE(drive.open("T:\\", DriveKind::Local));
        ASSERT_TRUE(drive.loadFats());
        EXPECT_EQ(FileReader(drive, fileAt(c.first, size), 0).piecesRead(), c.how) << c.what;
        Copied data = copyAll(drive, fileAt(c.first, size), 0);
        EXPECT_EQ(data.result, CopyResult::Done) << c.what;
        EXPECT_TRUE(data.bytes == want) << c.what;
    }
}

TEST(FileReader, TheLastDataClusterOfAFat16VolumeIsPartOfIt) {
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
    Copied data = copyAll(drive, fileAt(4029, 1024), 0);
    ASSERT_EQ(data.result, CopyResult::Done);
    EXPECT_EQ(clustersOf(data.bytes, 512), (std::vector<int>{0x29, 0x30}));
}

TEST(FileReader, OffsetsInsideAClusterAndLargeFiles) {
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
    FileReader reader(drive, fileAt(chain[0], chain.size() * 2048), 0);
    std::vector<std::uint8_t> buf(4096);
    // Sector 2 of cluster 5 of the file, then on into cluster 6.
    ASSERT_EQ(reader.read(5 * 2048 + 1024, MutableBytes(buf).first(2048)).status, ReadResult::Done);
    EXPECT_EQ(buf[0], static_cast<std::uint8_t>(5 * 4 + 2));
    EXPECT_EQ(buf[512], static_cast<std::uint8_t>(5 * 4 + 3));
    EXPECT_EQ(buf[1024], static_cast<std::uint8_t>(6 * 4 + 0));
    // The whole file in one read: every cluster from its own place.
    std::vector<std::uint8_t> all(chain.size() * 2048);
    ASSERT_EQ(reader.read(0, all).status, ReadResult::Done);
    for (std::uint32_t i = 0; i < chain.size(); ++i) ASSERT_EQ(all[i * 2048 + 512], static_cast<std::uint8_t>(i * 4 + 1)) << i;
}

TEST(FileReader, CircularChainsStopWhereTheyClose) {
    // 10 -> 11 -> 12 -> 10 ...: a file claiming eight clusters gets the three of its chain and
    // no repetition; its verdict says the chain does not fit; a directory chained in a circle
    // lists a bounded number of entries.
    ReadFixture f;
    f.img.setFat(10, 11);
    f.img.setFat(11, 12);
    f.img.setFat(12, 10);
    f.img.putEntry(f.img.rootOffset(), "LOOP       ", 0x10, 20, 0);
    f.img.makeDirectory(20, 0);
    f.img.setFat(20, 21);
    f.img.setFat(21, 20);
    // A long chain 100..179 that comes back to 150, and runs 40 41 42 30 31 ... 40 that walk
    // into clusters they went through before.
    for (std::uint32_t c = 100; c < 179; ++c) f.img.setFat(c, c + 1);
    f.img.setFat(179, 150);
    f.img.setFat(40, 41);
    f.img.setFat(41, 42);
    f.img.setFat(42, 30);
    for (std::uint32_t c = 30; c < 40; ++c) f.img.setFat(c, c + 1);
    OpenedImage o(f.img);
    ASSERT_TRUE(o.opened);
    CDrive& drive = o.doc.drive();

    struct Case {
        std::uint32_t first;
        std::uint64_t clusters;
        std::vector<int> expected;
    };
    std::vector<int> longChain;
    for (int c = 100; c < 180; ++c) longChain.push_back(c);
    std::vector<int> runs{40, 41, 42};
    for (int c = 30; c < 40; ++c) runs.push_back(c);
    for (const Case& c : {Case{10, 8, {10, 11, 12}}, Case{100, 200, longChain}, Case{40, 30, runs}}) {
        FileReader reader(drive, fileAt(c.first, c.clusters * 512), 0);
        std::vector<std::uint8_t> bytes;
        const CopyResult result = copyItemData(reader, c.clusters * 512, [&](Bytes b) {
            bytes.insert(bytes.end(), b.begin(), b.end());
            return true;
        });
        EXPECT_EQ(result, CopyResult::ReadFailed) << c.first;
        EXPECT_TRUE(reader.chainClosed()) << c.first;
        EXPECT_EQ(clustersOf(bytes, 512), c.expected) << c.first;
    }
    EXPECT_EQ(fatVerdict(drive.fat(), fileAt(10, 8 * 512)), VERDICT_FITS_NONE);
    // A chain that ends where it should closes nothing.
    FileReader whole(drive, fileAt(30, 10 * 512), 0);
    std::vector<std::uint8_t> ten(10 * 512);
    EXPECT_EQ(whole.read(0, ten).status, ReadResult::Done);
    EXPECT_FALSE(whole.chainClosed());

    auto listed = o.doc.listItem(o.doc.rootList[0], o.doc.rootItem());
    ASSERT_TRUE(listed);
    EXPECT_LE(listed->size(), 65536u);
}

TEST(FileReader, ReadsRunsWholeAndFailsExactlyWhereAClusterDoes) {
    FatImage img = FatImage::make(16, 8192, 2);
    std::vector<std::uint32_t> chain;
    for (std::uint32_t c = 10; c < 110; ++c) chain.push_back(c);
    img.chain(chain);
    for (std::uint32_t c = 10; c < 110; ++c) img.fillCluster(c, static_cast<std::uint8_t>(c));
    test::FaultySources sources(img.bytes);
    RecordingPrompts prompts;
    CDrive drive(prompts, sources);
    ASSERT_TRUE(drive.open("T:\\", DriveKind::Local));
    ASSERT_TRUE(drive.loadFats());
    const FileItem file = fileAt(10, 100 * 1024 - 600);  // the last cluster holds one sector of it

    // Healthy: a hundred consecutive clusters come in one request.
    const std::uint64_t before = sources.plan().reads;
    Copied whole = copyAll(drive, file, 0);
    ASSERT_EQ(whole.result, CopyResult::Done);
    EXPECT_EQ(whole.bytes.size(), file.size);
    EXPECT_LE(sources.plan().reads - before, 2u);

    // The second sector of cluster 40 is bad: clusters 10 .. 39 arrive, the copy fails there,
    // as it would copying a cluster at a time.
    sources.plan().badSectors = {img.clusterOffset(40) / 512 + 1};
    Copied hurt = copyAll(drive, file, 0);
    EXPECT_EQ(hurt.result, CopyResult::ReadFailed);
    ASSERT_EQ(hurt.bytes.size(), 30u * 1024);
    EXPECT_EQ(hurt.bytes.back(), 39);
    // A bad sector after the end of the file, in its last cluster, is not the file's.
    sources.plan().badSectors = {img.clusterOffset(109) / 512 + 1};
    EXPECT_EQ(copyAll(drive, file, 0).result, CopyResult::Done);

    // The source goes away: the copy ends at once, said once.
    sources.plan().badSectors.clear();
    sources.plan().loseAfterReads = sources.plan().reads;
    EXPECT_EQ(copyAll(drive, file, 0).result, CopyResult::SourceLost);
    EXPECT_TRUE(drive.sourceLost());
    EXPECT_EQ(prompts.ids(), (std::vector<int>{msg::kSourceLost}));
}

TEST(Drive, ASourceThatCarriesItsDescriptionIsTakenAtItsWord) {
    // As an image file's header or a server's reply describes the volume: the boot sector, here
    // wiped, is not asked.
    FatImage img = FatImage::make(16, 4096, 1);
    DriveInfo carried;
    ASSERT_EQ(parseBootSector(img.boot(), carried), BootVerdict::Fat);
    carried.label = "CARRIED";
    std::fill(img.boot().begin(), img.boot().end(), 0);
    struct Carrying : SourceFactory {
        std::vector<std::uint8_t> bytes;
        DriveInfo info;
        OpenedSource open(const std::string&, DriveKind) override {
            struct Source : MemorySource {
                Source(std::vector<std::uint8_t> b, DriveInfo i)
                    : MemorySource(std::make_shared<const std::vector<std::uint8_t>>(std::move(b))), info(std::move(i)) {}
                std::optional<DriveInfo> driveInfo() const override { return info; }
                DriveInfo info;
            };
            return {std::make_unique<Source>(bytes, info), 0, "carried", {}};
        }
    } sources;
    sources.bytes = img.bytes;
    sources.info = carried;
    RecordingPrompts prompts;
    CDrive drive(prompts, sources);
    ASSERT_TRUE(drive.open("T:\\", DriveKind::Local));
    EXPECT_EQ(drive.info().label, "CARRIED");
    EXPECT_EQ(drive.info().clusterCount, carried.clusterCount);
    EXPECT_TRUE(drive.loadFats());
}

TEST(Drive, NeverWritesAndReadsOnlyWhenOpen) {
    FatImage img = FatImage::make(16, 4096, 1);
    OpenedImage o(img);
    o.doc.closeDrive();
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
    EXPECT_TRUE(o.prompts.shown(msg::kCannotOpenDrive));
}

}  // namespace
}  // namespace harrow
