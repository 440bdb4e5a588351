#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "common/dostime.h"
#include "common/strings.h"
#include "fatfs/fat_verdict.h"
#include "ntfs/record.h"
#include "saving/save_run.h"
#include "support/fat_image.h"
#include "support/ntfs_image.h"

namespace harrow {
namespace {

namespace fs = std::filesystem;
using test::FatImage;
using test::NtfsImage;
using test::OpenedImage;

constexpr std::uint16_t kDate = (44 << 9) | (3 << 5) | 5;   // 2024-03-05
constexpr std::uint16_t kTime = (14 << 11) | (22 << 5) | 5;  // 14:22:10

struct Folder {
    fs::path path = fs::temp_directory_path() / ("harrow-save-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    Folder() {
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~Folder() {
        std::error_code ec;
        fs::permissions(path, fs::perms::all, ec);
        fs::remove_all(path, ec);
    }
    std::string read(const std::string& name) const {
        std::ifstream in(path / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static inline int counter = 0;
};

// A FAT16 volume of 512-byte clusters whose files are each filled with one letter.
struct Volume {
    FatImage img = FatImage::make(16, 4096, 1);
    FileItem file(const std::string& name, std::uint32_t first, std::uint32_t size, std::uint8_t attr = 0x20) {
        FileItem f;
        f.kind = ITEM_FILE;
        f.name = name;
        f.cluster = first;
        f.size = size;
        f.attributes = attr;
        f.date = kDate;
        f.time = kTime;
        return f;
    }
    void fill(std::uint32_t c, char letter) { img.fillCluster(c, static_cast<std::uint8_t>(letter)); }
};

struct Counting : SaveObserver {
    std::vector<SaveStatus> statuses;
    int cancelAfterBlocks = -1, blocks = 0;
    void progress(std::uint64_t) override { ++blocks; }
    bool cancelled() override { return cancelAfterBlocks >= 0 && blocks >= cancelAfterBlocks; }
    void itemDone(const FileItem&, const std::string&, SaveStatus s) override { statuses.push_back(s); }
};

TEST(SaveRun, FilesComeBackWithTheirBytesTimesAndAttributes) {
    Volume v;
    v.fill(10, 'a');
    v.fill(11, 'b');
    v.img.chain({10, 11});
    v.fill(20, 'x');  // a deleted file: first cluster free, read along the free clusters
    v.fill(21, 'y');
    OpenedImage o(v.img);
    ASSERT_TRUE(o.opened);
    FileItem live = v.file("LIVE.TXT", 10, 700, 0x21);
    FileItem gone = v.file("#ONE.TXT", 20, 600, 0x22);
    FileItem empty = v.file("EMPTY", 0, 0);
    Folder out;
    Counting obs;
    SaveSummary s = runSave(o.doc, {live, gone, empty}, {out.path.string()}, obs);
    EXPECT_EQ(s.saved, 3);
    EXPECT_EQ(s.failed, 0);
    // Times first: reading the file back would move its access time.
    struct stat st {};
    ASSERT_EQ(::stat((out.path / "LIVE.TXT").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, *unixFromDos(kDate, kTime));
    EXPECT_EQ(st.st_atime, *unixFromDos(kDate, kTime));
    EXPECT_EQ(out.read("LIVE.TXT"), std::string(512, 'a') + std::string(188, 'b'));
    EXPECT_EQ(out.read("#ONE.TXT"), std::string(512, 'x') + std::string(88, 'y'));
    EXPECT_EQ(out.read("EMPTY"), "");
    EXPECT_EQ(s.savedItems, (std::vector<std::size_t>{0, 1, 2}));  // for the caller to mark

    ASSERT_EQ(::stat((out.path / "LIVE.TXT").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);  // read-only
    ASSERT_EQ(::stat((out.path / "#ONE.TXT").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0200, 0u);
    char attr[16] = {};
    if (::getxattr((out.path / "#ONE.TXT").c_str(), kDosAttributeXattr, attr, sizeof attr) > 0) {
        EXPECT_STREQ(attr, "0x22");
    }
}

TEST(SaveRun, ExistingFilesFollowTheAnswers) {
    Volume v;
    v.fill(10, 'n');
    v.img.chain({10});
    OpenedImage o(v.img);
    FileItem a = v.file("A.TXT", 10, 10), b = v.file("B.TXT", 10, 10), c = v.file("C.TXT", 10, 10);
    Folder out;
    for (const char* n : {"A.TXT", "B.TXT", "C.TXT"}) std::ofstream(out.path / n) << "old";
    fs::permissions(out.path / "B.TXT", fs::perms::owner_read);  // a read-only file is replaced too
    Counting obs;

    o.prompts.overwriteAnswers = {ReplaceAnswer::No, ReplaceAnswer::YesToAll};
    SaveSummary s = runSave(o.doc, {a, b, c}, {out.path.string()}, obs);
    EXPECT_EQ(o.prompts.overwriteQuestions.size(), 2u);  // yes to all asks no more
    EXPECT_EQ(o.prompts.overwriteQuestions[0].name, "A.TXT");
    EXPECT_EQ(o.prompts.overwriteQuestions[0].existingSize, 3u);
    EXPECT_EQ(o.prompts.overwriteQuestions[0].itemDate, "2024-03-05  14:22:10");
    EXPECT_EQ(s.skipped, 1);
    EXPECT_EQ(s.saved, 2);
    EXPECT_EQ(out.read("A.TXT"), "old");
    EXPECT_EQ(out.read("B.TXT"), std::string(10, 'n'));
    EXPECT_EQ(out.read("C.TXT"), std::string(10, 'n'));

    // No to all: every existing file is kept without a question; Cancel ends the run.
    SaveOptions keep{out.path.string()};
    keep.initialAnswer = ReplaceAnswer::NoToAll;
    o.prompts.overwriteQuestions.clear();
    s = runSave(o.doc, {a, b}, keep, obs);
    EXPECT_EQ(s.skipped, 2);
    EXPECT_TRUE(o.prompts.overwriteQuestions.empty());
    o.prompts.overwriteAnswers = {ReplaceAnswer::Cancel};
    s = runSave(o.doc, {a, b}, {out.path.string()}, obs);
    EXPECT_TRUE(s.cancelled);
    EXPECT_EQ(o.prompts.overwriteQuestions.size(), 1u);
}

TEST(SaveRun, NamesNeverEscapeTheTargetFolder) {
    Volume v;
    v.fill(10, 'z');
    v.img.chain({10});
    OpenedImage o(v.img);
    Folder out;
    fs::create_directories(out.path / "inside");
    fs::create_directory_symlink(fs::temp_directory_path(), out.path / "inside" / "link");
    std::vector<FileItem> bad = {v.file("../escape.txt", 10, 5), v.file("a/b", 10, 5), v.file("..", 10, 5),
                                 v.file("", 10, 5)};
    FileItem link = v.file("link", 10, 5);  // a symlink already there: replaced, never followed
    Counting obs;
    // Saved under safe names inside the folder; ".." is taken for the listed directory's own entry.
    SaveSummary s = runSave(o.doc, bad, {out.path.string()}, obs);
    EXPECT_EQ(s.failed, 0);
    EXPECT_EQ(s.saved, 3);
    EXPECT_TRUE(o.prompts.ids().empty());
    EXPECT_FALSE(fs::exists(out.path.parent_path() / "escape.txt"));
    EXPECT_EQ(out.read(".._escape.txt"), std::string(5, 'z'));
    EXPECT_EQ(out.read("a_b"), std::string(5, 'z'));
    EXPECT_EQ(out.read("_"), std::string(5, 'z'));

    SaveOptions inside{(out.path / "inside").string()};
    inside.initialAnswer = ReplaceAnswer::YesToAll;
    struct stat before {}, after {};
    ASSERT_EQ(::stat(fs::temp_directory_path().c_str(), &before), 0);
    s = runSave(o.doc, {link}, inside, obs);
    ASSERT_EQ(::stat(fs::temp_directory_path().c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);  // nothing changed where the link pointed
    EXPECT_EQ(s.saved, 1);
    EXPECT_FALSE(fs::is_symlink(out.path / "inside" / "link"));
    EXPECT_EQ(out.read("inside/link"), std::string(5, 'z'));
}

TEST(SaveRun, NamesThatCannotBeFileNamesGetSafeOnesOfTheirOwn) {
    std::string cjk;
    for (int i = 0; i < 100; ++i) cjk += "\u65e5";
    const std::string stem = cjk.substr(0, 83 * 3);  // the most whole characters that fit
    cjk += ".txt";
    struct Case {
        std::vector<std::string_view> names;
        std::vector<std::string> want;
    } cases[] = {
        {{"a/b", "a_b", "..", "."}, {"a_b~2", "a_b", "_..", "_."}},
        {{"..", "_..", "..", "_..~2"}, {"_..~3", "_..", "_..~4", "_..~2"}},
        {{std::string_view("x\0y", 3), "", "x\ny"}, {"x_y", "_", "x\ny"}},
        {{cjk, cjk}, {stem + ".txt", stem + "~2.txt"}},
        // Two deleted files listed alike: the second must not land on the first one's file.
        {{"#EPORT.TXT", "#EPORT.TXT", "#EPORT~2.TXT"}, {"#EPORT.TXT", "#EPORT~3.TXT", "#EPORT~2.TXT"}},
    };
    for (const auto& c : cases) EXPECT_EQ(fileNamesInFolder(c.names), c.want) << c.want[0];
    // Thousands of one hostile name each get a name of their own, quickly.
    const std::vector<std::string> names = fileNamesInFolder(std::vector<std::string_view>(20000, ".."));
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 20000u);
}

TEST(SaveRun, DirectoriesNamedDotDotAreSavedWithEverythingBelow) {
    // FAT: the root holds a directory named "..", whose own "." slot carries the volume-label
    // attribute, and in it another "..", with a file.
    Volume v;
    v.img.putEntry(v.img.putLongName(v.img.rootOffset(), u".."), "DOTDOT     ", 0x10, 40, 0);
    v.img.putEntry(v.img.putLongName(v.img.makeDirectory(40, 0), u".."), "INNER      ", 0x10, 44, 0);
    v.img.bytes[v.img.clusterOffset(40) + 11] = 0x08;
    v.img.putEntry(v.img.makeDirectory(44, 40), "DEEP    TXT", 0x20, 45, 4);
    for (std::uint32_t c : {40u, 44u, 45u}) v.img.chain({c});
    v.fill(45, 'd');
    OpenedImage o(v.img);
    FileItem root{ITEM_TOPDIR, "root", ATTR_DIRECTORY, 0, 0, 0, 0, 0, 0, 0, false, ""};
    Folder out;
    Counting obs;
    SaveOptions deep{out.path.string()};
    deep.recursive = true;
    EXPECT_EQ(runSave(o.doc, {root}, deep, obs).saved, 1);
    EXPECT_EQ(out.read("root/_../_../DEEP.TXT"), "dddd");

    // NTFS: directory 20 holds 21, named ".." and a NUL, which holds a file.
    NtfsImage ntfs;
    auto directory = [&](std::uint32_t r, std::uint32_t child, const std::u16string& name) {
        ntfs.beginRecord(r, 3);
        ntfs.addAttribute(r, NtfsImage::resident(AT_INDEX_ROOT, u"$I30",
                                                 NtfsImage::indexRoot({NtfsImage::indexEntry(child, r, name),
                                                                       NtfsImage::indexEntry(0, 0, u"", true)})));
    };
    directory(5, 20, u"D");
    directory(20, 21, std::u16string(u"..\0", 3));
    directory(21, 22, u"in.txt");
    ntfs.beginRecord(22);
    ntfs.addAttribute(22, NtfsImage::resident(AT_DATA, u"", {'n', 't', 'f', 's'}));
    test::OpenedNtfs n(ntfs);
    ASSERT_TRUE(n.ok);
    FileItem d{ITEM_DIR, "D", ATTR_DIRECTORY, 0, 0, ntfs.recordSector(20), 0, 20, 5, 0, false, ""};
    EXPECT_EQ(runSave(n.doc, {d}, deep, obs).saved, 1);
    EXPECT_EQ(out.read("D/_../in.txt"), "ntfs");
}

// Files are copied a megabyte at a time: a 3 MiB file takes three blocks. Clusters of 2 KiB from
// 10 on hold one, chained in FAT1.
Volume withThreeMegabytesAt10() {
    Volume v;
    v.img = FatImage::make(16, 16384, 4);
    std::vector<std::uint32_t> clusters;
    for (std::uint32_t c = 10; c < 10 + 1536; ++c) clusters.push_back(c);
    v.img.chain(clusters);
    return v;
}

TEST(SaveRun, CancelKeepsThePartUnmarkedAndReadErrorsEndTheRun) {
    Volume v = withThreeMegabytesAt10();
    v.img.chain({2000});
    OpenedImage o(v.img);
    FileItem big = v.file("BIG.BIN", 10, 3u << 20), next = v.file("NEXT.BIN", 2000, 100);
    Folder out;
    Counting obs;
    obs.cancelAfterBlocks = 1;
    SaveSummary s = runSave(o.doc, {big, next}, {out.path.string()}, obs);
    EXPECT_TRUE(s.cancelled);
    EXPECT_EQ(s.saved, 0);
    EXPECT_TRUE(s.savedItems.empty());  // not to be marked saved
    EXPECT_EQ(out.read("BIG.BIN").size(), 1u << 20);
    EXPECT_FALSE(fs::exists(out.path / "NEXT.BIN"));
    struct stat st {};
    ASSERT_EQ(::stat((out.path / "BIG.BIN").c_str(), &st), 0);
    EXPECT_NE(st.st_mtime, *unixFromDos(kDate, kTime));  // no restored time on a partial file

    // A chain that ends early cannot be read to the size: what it has is written, 61251, the run
    // ends.
    FileItem shortChain = v.file("SHORT.BIN", 10, 1600 * 2048);
    o.doc.options.fatPrompt = FatPromptMode::Force;
    Counting plain;
    s = runSave(o.doc, {shortChain, next}, {out.path.string()}, plain);
    EXPECT_EQ(s.failed, 1);
    EXPECT_TRUE(o.prompts.shown(msg::kCannotReadItem));
    EXPECT_EQ(out.read("SHORT.BIN").size(), 1536u * 2048);
    EXPECT_FALSE(fs::exists(out.path / "NEXT.BIN"));
    EXPECT_TRUE(s.savedItems.empty());
}

TEST(SaveRun, AnInvalidFatCopyIsAskedAboutForThatFileAlone) {
    Volume v;
    v.fill(10, '1');
    v.fill(30, '2');
    v.fill(50, 'a');
    v.fill(52, 'b');
    v.img.chain({10, 30}, 1);      // FAT2 holds F's real chain
    v.img.chain({10, 11, 12}, 0);  // FAT1 holds a longer one
    v.img.chain({50, 52}, 0);      // H is fragmented; FAT2 has it end in the gap
    v.img.chain({50, 51}, 1);
    OpenedImage o(v.img);
    const std::string f12 = std::string(512, '1') + std::string(488, '2');
    const std::string fNoFat = std::string(512, '1') + std::string(488, '\0');
    const std::string hFat1 = std::string(512, 'a') + std::string(512, 'b');
    const std::string hGap = std::string(512, 'a') + std::string(512, '\0');

    // Declined, or answered for F alone: H is still read through the run's copy (a declined
    // question once left every later file read as contiguous clusters). "For all" stands for
    // the rest of the run, and is said.
    struct Case {
        FatChoice answer;
        FatIndex fatAfter;
        std::string f, h;  // what the files hold afterwards ("" not saved)
    } cases[] = {
        {{std::nullopt, false}, 0, "", hFat1},
        {{1, false}, 0, f12, hFat1},
        {{1, true}, 1, f12, hGap},
        {{kNoFat, true}, kNoFat, fNoFat, hGap},
    };
    for (const Case& c : cases) {
        Folder out;
        Counting obs;
        o.prompts.fatAnswers = {c.answer};
        o.prompts.messages.clear();
        FileItem f = v.file("F.BIN", 10, 1000), h = v.file("H.BIN", 50, 1024);
        EXPECT_EQ(runSave(o.doc, {f, h}, {out.path.string()}, obs).fat, c.fatAfter);
        EXPECT_EQ(o.prompts.shown(msg::kFatChoiceForAll.id), c.answer.forAll);
        EXPECT_EQ(out.read("F.BIN"), c.f);
        EXPECT_EQ(out.read("H.BIN"), c.h);
    }
    // The verdicts the file list shows.
    ASSERT_TRUE(o.doc.drive().isOpen());
    EXPECT_EQ(fatVerdict(o.doc.drive().fat(), v.file("F", 10, 1000)), VERDICT_FITS_SOME);
    EXPECT_EQ(fatVerdict(o.doc.drive().fat(), v.file("F", 10, 1536)), VERDICT_FITS_SOME);
    EXPECT_EQ(fatVerdict(o.doc.drive().fat(), v.file("F", 10, 100)), VERDICT_FITS_NONE);
    EXPECT_EQ(fatVerdict(o.doc.drive().fat(), v.file("D", 60, 1000)), VERDICT_DELETED_FREE_RUN);
}

TEST(SaveRun, DirectoriesMakeFoldersAndRecursiveRunsBringTheirContents) {
    Volume v;
    std::uint64_t at = v.img.makeDirectory(40, 0);
    v.img.putEntry(at, "INNER   TXT", 0x20, 41, 3);
    v.img.putEntry(at + 32, "SUB        ", 0x10, 42, 0);
    std::uint64_t sub = v.img.makeDirectory(42, 40);
    v.img.putEntry(sub, "DEEP    TXT", 0x20, 43, 4);
    v.img.putEntry(sub + 32, "LOOP       ", 0x10, 40, 0);  // back up the tree: saved once only
    v.img.putEntry(at + 64, "ZEROED     ", 0x10, 44, 0);    // its cluster holds no directory
    v.img.putEntry(at + 96, "\xE5ONE       ", 0x10, 45, 0);  // nor does this deleted one's
    for (std::uint32_t c : {40u, 41u, 42u, 43u, 44u}) v.img.chain({c});
    v.fill(41, 'i');
    v.fill(43, 'd');
    OpenedImage o(v.img);
    FileItem dir;
    dir.kind = ITEM_DIR;
    dir.name = "LOST";
    dir.attributes = ATTR_DIRECTORY;
    dir.cluster = 40;
    Folder out;
    Counting obs;
    runSave(o.doc, {dir}, {out.path.string()}, obs);
    EXPECT_TRUE(fs::is_directory(out.path / "LOST"));
    EXPECT_TRUE(fs::is_empty(out.path / "LOST"));
    SaveOptions deep{out.path.string()};
    deep.recursive = true;
    SaveSummary s = runSave(o.doc, {dir}, deep, obs);
    EXPECT_EQ(s.saved, 2);
    // A live directory that cannot be listed is a failure, not an empty folder.
    EXPECT_EQ(s.failed, 1);
    EXPECT_EQ(std::count(obs.statuses.begin(), obs.statuses.end(), SaveStatus::Failed), 1);
    EXPECT_EQ(out.read("LOST/INNER.TXT"), "iii");
    EXPECT_EQ(out.read("LOST/SUB/DEEP.TXT"), "dddd");
    EXPECT_FALSE(fs::exists(out.path / "LOST" / "SUB" / "LOOP" / "INNER.TXT"));
}

// The older file keeps its name until the new copy is whole; what a failed or cancelled copy
// wrote is kept beside it, and said with both names.
TEST(SaveRun, AReplacedFileIsLostOnlyToAWholeCopy) {
    Volume v = withThreeMegabytesAt10();
    OpenedImage o(v.img);
    o.doc.options.fatPrompt = FatPromptMode::Force;
    struct Case {
        std::uint32_t size;   // past the chain's end, the read fails
        int cancelAfter;
        std::size_t partial;  // bytes kept beside the older file; 0: replaced
    } cases[] = {
        {1600 * 2048, -1, 1536u * 2048},
        {3u << 20, 1, 1u << 20},
        {3u << 20, -1, 0},
    };
    for (const Case& c : cases) {
        Folder out;
        std::ofstream(out.path / "BIG.BIN") << "old";
        Counting obs;
        obs.cancelAfterBlocks = c.cancelAfter;
        o.prompts.messages.clear();
        o.prompts.overwriteAnswers = {ReplaceAnswer::Yes};
        runSave(o.doc, {v.file("BIG.BIN", 10, c.size)}, {out.path.string()}, obs);
        EXPECT_EQ(out.read("BIG.BIN").size(), c.partial ? 3u : c.size) << c.size;
        EXPECT_EQ(out.read("BIG.partial.BIN").size(), c.partial);
        EXPECT_EQ(o.prompts.shown(msg::kPartialKeptBeside.id), c.partial > 0);
        std::size_t entries = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(out.path)) ++entries;
        EXPECT_EQ(entries, c.partial ? 2u : 1u);  // no temporary file left behind
    }
}

// A target that cannot be examined is not taken for a free name.
TEST(SaveRun, ATargetThatCannotBeExaminedIsSaid) {
    Volume v;
    v.fill(10, 'n');
    v.img.chain({10});
    OpenedImage o(v.img);
    Folder out;
    fs::permissions(out.path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EXIT(
        {
            // Without search permission on the folder (root has it everywhere: drop it).
            if (::geteuid() == 0 && ::setuid(65534) != 0) std::_Exit(3);
            Counting obs;
            SaveSummary s = runSave(o.doc, {v.file("A.TXT", 10, 10)}, {out.path.string()}, obs);
            std::_Exit(o.prompts.shown(msg::kCannotAccess.id) && s.failed == 1 && s.saved == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(SaveRun, ThePrivateFolderIsThisUsersAlone) {
    Folder base;
    fs::create_directory(base.path / "open");
    fs::permissions(base.path / "open", fs::perms::all);
    fs::create_directory(base.path / "real");
    fs::create_directory_symlink(base.path / "real", base.path / "link");
    fs::create_directory(base.path / "theirs");
    const bool canGiveAway = ::chown((base.path / "theirs").c_str(), 65534, 65534) == 0;
    struct Case {
        const char* name;
        bool usable;
    } cases[] = {{"fresh", true}, {"open", true}, {"link", false}, {"theirs", !canGiveAway}};
    for (const Case& c : cases) {
        const fs::path p = base.path / c.name;
        EXPECT_EQ(usePrivateFolder(p.string()), c.usable) << c.name;
        struct stat st {};
        if (c.usable && ::lstat(p.c_str(), &st) == 0) {
            EXPECT_EQ(st.st_mode & 0777, 0700u) << c.name;
            EXPECT_EQ(st.st_uid, ::geteuid());
        }
    }
}

}  // namespace
}  // namespace harrow
