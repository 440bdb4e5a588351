#include "saving/save_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <map>
#include <set>

#include "common/dostime.h"
#include "common/replacing_file.h"
#include "common/strings.h"
#include "common/text.h"
#include "common/unique_fd.h"
#include "document/document.h"
#include "document/file_reader.h"
#include "document/tree_walk.h"
#include "fatfs/fat_verdict.h"
#include "saving/save_clusters.h"

namespace harrow {
namespace {

constexpr std::uint8_t kSavedAttributes = 0x27;  // read-only, hidden, system, archive
// Folders nested deeper than this are not made: each level holds a descriptor open.
constexpr int kMaxDepth = 256;

enum class Next { Continue, StopRun };

// The last part of a target path: the name written in the folder (names never hold a '/').
std::string leafName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// '/' and NUL cannot be in a file name, "." and ".." name other folders, an empty name none.
std::string safeForm(std::string_view name) {
    std::string safe(name);
    for (char& c : safe)
        if (c == '/' || c == '\0') c = '_';
    if (safe.empty() || safe == "." || safe == "..") safe.insert(0, "_");
    return safe;
}

// What an item asks to be called in its folder. A named stream is saved beside its file as a
// file of its own, which every target file system keeps (extended attributes are lost on FAT and
// most others): asked for as "name/stream", which no file can be called, it comes out of
// fileNamesInFolder as "name_stream", and yields with "~2" to a file so named.
std::string wantedName(const FileItem& item) {
    if (!item.isStream() || item.name.size() <= item.stream.size()) return item.name;
    return item.name.substr(0, item.name.size() - item.stream.size() - 1) + "/" + item.stream;
}

class Run : public TreeVisitor {
public:
    Run(CQUIDNEYDoc& doc, const SaveOptions& options, SaveObserver& observer)
        : doc_(doc), drive_(doc.drive()), prompts_(doc.prompts()), options_(options), observer_(observer),
          answer_(options.initialAnswer), fats_(doc, options.fat) {}

    SaveSummary run(const std::vector<FileItem>& items) {
        UniqueFd target(::open(options_.targetFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!target.valid()) {
            fail(msg::kCannotCreate, options_.targetFolder);
            return summary_;
        }
        if (!drive_.isOpen()) return summary_;
        summary_.started = true;
        std::string folder = options_.targetFolder;
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        folders_.push_back(std::move(target));
        // A selection from a listing may hold the directory's own "." and "..": nothing to save.
        std::vector<std::size_t> chosen;
        std::vector<std::string> given;
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (options_.dotNamesAreOwnEntries && items[i].isDotName()) continue;
            chosen.push_back(i);
            given.push_back(wantedName(items[i]));
        }
        const std::vector<std::string> names = fileNamesInFolder({given.begin(), given.end()});
        TreeWalk walk(doc_, *this);
        for (std::size_t k = 0; k < chosen.size(); ++k) {
            const FileItem& item = items[chosen[k]];
            const std::string path = folder + "/" + names[k];
            if (!item.isDirectory()) {
                const int savedBefore = summary_.saved;
                const Next next = saveFile(item, path);
                if (summary_.saved > savedBefore) summary_.savedItems.push_back(chosen[k]);
                if (next == Next::StopRun) break;
                continue;
            }
            makeFolder(item, path);
            if (!options_.recursive || !enter(item, path, -1)) continue;
            auto list = doc_.listItem(item, item);
            if (!list) listFailed(item, path);
            const bool goOn = !list || walk.walk(std::move(*list), item, path);
            leave(item);
            if (!goOn || stopped_ || drive_.sourceLost()) break;
        }
        if (drive_.sourceLost() && !summary_.cancelled) ++summary_.failed;
        summary_.fat = fats_.runFat();
        summary_.unanswered += fats_.unanswered();
        return summary_;
    }

    // The directory's own "." and ".." keep their names, which no other item is given.
    std::vector<std::string> pathNames(const ItemList& items, std::size_t ownDots) override {
        std::vector<std::string> given;
        for (std::size_t i = ownDots; i < items.size(); ++i) given.push_back(wantedName(items[i]));
        std::vector<std::string> names = fileNamesInFolder({given.begin(), given.end()});
        for (std::size_t i = ownDots; i-- > 0;) names.insert(names.begin(), items[i].name);
        return names;
    }

    bool visit(const FileItem& listed, const std::string& path, int) override {
        const std::string name = leafName(path);
        if (name == "." || name == "..") return true;
        if (listed.isDirectory()) {
            makeFolder(listed, path);
            return true;
        }
        return saveFile(listed, path) == Next::Continue;
    }

    // Into a folder of our own making only, never through a link someone left in the target.
    bool enter(const FileItem& dir, const std::string& path, int depth) override {
        if (!folderMade_) return false;  // said when it was not made
        if (depth + 1 >= kMaxDepth) {
            fail(msg::kCannotCreate, path);
            done(dir, path, SaveStatus::Failed);
            return false;
        }
        const std::string name = leafName(path);
        UniqueFd sub(::openat(folders_.back().get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!sub.valid()) {
            fail(msg::kCannotCreate, path);
            done(dir, path, SaveStatus::Failed);
            return false;
        }
        folders_.push_back(std::move(sub));
        return true;
    }

    void leave(const FileItem&) override { folders_.pop_back(); }

    // Its folder stays empty. A deleted directory is often overwritten, and says nothing here as
    // in a listing; a live one that cannot be read is a failure.
    void listFailed(const FileItem& dir, const std::string& path) override {
        if (dir.deleted || drive_.sourceLost()) return;
        prompts_.showMessage(0, formatText(diag::kCantChangeDir, path));
        ++summary_.failed;
        done(dir, path, SaveStatus::Failed);
    }

private:
    void fail(MessageId<TextArg> id, const std::string& subject) {
        prompts_.showMessage(id, formatMessage(id, subject));
        ++summary_.failed;
    }

    Next done(const FileItem& item, const std::string& path, SaveStatus status) {
        observer_.itemDone(item, path, status);
        return Next::Continue;
    }

    // A folder there already will do; anything else standing in its place will not. A folder that
    // took another name than its directory's is said.
    void makeFolder(const FileItem& dir, const std::string& path) {
        const int dirFd = folders_.back().get();
        const std::string name = leafName(path);
        struct stat st {};
        folderMade_ = isSafeFileName(name) &&
                      (::mkdirat(dirFd, name.c_str(), 0777) == 0 ||
                       (errno == EEXIST && ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)));
        if (!folderMade_) {
            fail(msg::kCannotCreate, path);
            done(dir, path, SaveStatus::Failed);
        } else if (name != dir.name) {
            done(dir, path, SaveStatus::Saved);
        }
    }

    Next saveFile(const FileItem& item, const std::string& path) {
        const int dirFd = folders_.back().get();
        const std::string name = leafName(path);
        observer_.beginItem(item, path);
        if (!isSafeFileName(name) || path.size() >= PATH_MAX) {
            fail(msg::kCannotCreate, path);
            return done(item, path, SaveStatus::Failed);
        }

        struct stat existing {};
        const bool existed = ::fstatat(dirFd, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
        if (!existed && errno != ENOENT) {
            // Not knowing whether a file is there is no licence to write one.
            fail(msg::kCannotAccess, path);
            return done(item, path, SaveStatus::Failed);
        }
        if (existed) {
            if (answer_ == ReplaceAnswer::NoToAll) {
                ++summary_.skipped;
                return done(item, path, SaveStatus::Skipped);
            }
            if (answer_ != ReplaceAnswer::YesToAll) {
                OverwriteQuestion q;
                q.name = name;
                q.itemDate = formatDosDate(item.date, item.time);
                q.itemSize = item.size;
                if (auto d = dosFromUnix(existing.st_mtime)) q.existingDate = formatDosDate(d->date, d->time);
                q.existingSize = static_cast<std::uint64_t>(existing.st_size);
                answer_ = prompts_.askOverwrite(q);
                if (answer_ == ReplaceAnswer::Unanswered) ++summary_.unanswered;
                if (answer_ == ReplaceAnswer::Cancel) {
                    summary_.cancelled = true;
                    stopped_ = true;
                    observer_.itemDone(item, path, SaveStatus::Skipped);
                    return Next::StopRun;
                }
                if (answer_ != ReplaceAnswer::Yes && answer_ != ReplaceAnswer::YesToAll) {
                    ++summary_.skipped;
                    return done(item, path, SaveStatus::Skipped);
                }
            }
            // The image being read, saved over itself, would be gone once the copy took its name.
            if (imageOnSource(drive_.devicePath(), path)) {
                prompts_.showMessage(msg::kCannotSaveOnSource, messageText(msg::kCannotSaveOnSource));
                ++summary_.failed;
                return done(item, path, SaveStatus::Failed);
            }
            if (S_ISDIR(existing.st_mode)) {
                fail(msg::kCannotCreate, path);
                return done(item, path, SaveStatus::Failed);
            }
        }

        const std::optional<FatIndex> fat = fats_.choose(item);
        if (!fat) {
            ++summary_.failed;
            return done(item, path, SaveStatus::Failed);
        }
        if (!drive_.info().isNtfs()) observer_.readThrough(item, *fat);
        FileReader reader(drive_, item, *fat);
        if (!reader.ok()) {
            fail(msg::kCannotOpenItem, item.name);
            return done(item, path, SaveStatus::Failed);
        }
        if (reader.piecesRead() != PiecesRead::NotInPieces) observer_.readInPieces(item, reader.piecesRead());
        // The older file keeps its name until the new copy is whole: a copy that fails halfway
        // must not cost the user the file they had. Unlinking needs no write permission on it,
        // so a read-only file is replaced like any other, and a link in its place is replaced,
        // never followed.
        if (existed) {
            std::optional<ReplacingFile> out = ReplacingFile::create(dirFd, name);
            if (!out) {
                fail(msg::kCannotCreate, path);
                return done(item, path, SaveStatus::Failed);
            }
            return copy(item, path, reader, out->fd(), &*out);
        }
        UniqueFd out(::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!out.valid()) {
            fail(msg::kCannotCreate, path);
            return done(item, path, SaveStatus::Failed);
        }
        return copy(item, path, reader, out.get(), nullptr);
    }

    // Copies into `fd`, which is `replacing`'s when an older file waits to be replaced (the caller
    // closes it otherwise).
    Next copy(const FileItem& item, const std::string& path, FileReader& reader, int fd, ReplacingFile* replacing) {
        const CopyResult result = copyItemData(
            reader, item.size, [&](Bytes block) { return writeAll(fd, block); },
            [&](std::uint64_t done) {
                observer_.progress(done);
                return !observer_.cancelled();
            });
        if (result == CopyResult::Done) {
            finish(item, fd);
            if (!replacing || replacing->commit()) {
                ++summary_.saved;
                return done(item, path, SaveStatus::Saved);
            }
            // A write the kernel kept back can still fail at the close.
            prompts_.showMessage(msg::kDiskFull, messageText(msg::kDiskFull));
            ++summary_.failed;
            keepPartBeside(*replacing, path);
            stopped_ = true;
            observer_.itemDone(item, path, SaveStatus::Failed);
            return Next::StopRun;
        }
        // The part written so far stays, with the current time and plain attributes; the item is
        // not marked saved, so it still shows among the unsaved ones.
        if (result == CopyResult::ReadFailed) fail(msg::kCannotReadItem, item.name);
        if (result == CopyResult::WriteFailed) {
            prompts_.showMessage(msg::kDiskFull, messageText(msg::kDiskFull));
            ++summary_.failed;
        }
        if (replacing) keepPartBeside(*replacing, path);
        // A lost source has said so already; it counts once, when the run ends.
        const bool cancelled = result == CopyResult::Cancelled;
        summary_.cancelled = cancelled;
        stopped_ = true;
        observer_.itemDone(item, path, cancelled ? SaveStatus::Cancelled : SaveStatus::Failed);
        return Next::StopRun;
    }

    // The older file stays as it was; what was copied is kept beside it, under a name that says
    // it is partial.
    void keepPartBeside(ReplacingFile& part, const std::string& path) {
        if (auto kept = part.keepAs(nameWithSuffix(leafName(path), ".partial")))
            prompts_.showMessage(msg::kPartialKeptBeside, formatMessage(msg::kPartialKeptBeside, path, *kept));
    }

    // The item's DOS time, taken as local time, becomes the file's access and modification time;
    // read-only clears the write bits; the DOS attributes are kept where the target allows. An
    // exFAT time that says its offset from UTC is taken at that offset, with its hundredths.
    static void finish(const FileItem& item, int fd) {
        const auto t = item.utcOffsetMinutes ? unixFromDosAt(item.date, item.time, *item.utcOffsetMinutes)
                                             : unixFromDos(item.date, item.time);
        if (t) {
            const std::time_t seconds = *t + item.timeCentiseconds / 100;
            const long nanoseconds = static_cast<long>(item.timeCentiseconds % 100) * 10'000'000;
            struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
            ::futimens(fd, times);
        }
        const std::uint8_t attributes = item.attributes & kSavedAttributes;
        char text[8];
        std::snprintf(text, sizeof text, "0x%02x", attributes);
        ::fsetxattr(fd, kDosAttributeXattr, text, std::char_traits<char>::length(text), 0);
        struct stat st {};
        if ((attributes & ATTR_READONLY) && ::fstat(fd, &st) == 0) ::fchmod(fd, st.st_mode & ~mode_t{0222});
    }

    CQUIDNEYDoc& doc_;
    CDrive& drive_;
    Prompts& prompts_;
    const SaveOptions& options_;
    SaveObserver& observer_;
    ReplaceAnswer answer_;
    FileFats fats_;
    // The target folder, then each folder the walk is in.
    std::vector<UniqueFd> folders_;
    // Whether the folder of the directory visited last is there to be entered.
    bool folderMade_ = false;
    bool stopped_ = false;
    SaveSummary summary_;
};

}  // namespace

// The FAT copy to read `item` through: the run's, unless it does not describe the file. A copy
// whose entries for the file could not be read is never guessed through: another that was
// read there takes its place, with a word. A copy whose chain does not fit the file is asked
// about (in the asking mode); the answer is for this file alone unless it says "for all".
// Nothing when the file is not to be read (said, or declined).
std::optional<FatIndex> FileFats::choose(const FileItem& item) {
    const FatTable& fat = doc_.drive().fat();
    Prompts& prompts = doc_.prompts();
    FatIndex copy = runFat_;
    // An empty file has no chain to judge (its first cluster is 0): there is nothing to read.
    if (item.size == 0 || doc_.drive().info().isNtfs() || copy < 0) return copy;
    const std::uint32_t first = item.firstCluster();
    if (!fat.entriesKnown(copy, first, item.size)) {
        for (FatIndex other = 0; other < fat.copies(); ++other) {
            if (other == copy || !fat.entriesKnown(other, first, item.size) || !chainDescribesFile(fat, other, item))
                continue;
            prompts.showMessage(msg::kFatReadThroughOther,
                                 formatMessage(msg::kFatReadThroughOther, item.name, other + 1, copy + 1),
                                 MsgIcon::Information);
            return other;
        }
        prompts.showMessage(msg::kFatUnknownEverywhere, formatMessage(msg::kFatUnknownEverywhere, item.name));
        if (doc_.options.fatPrompt != FatPromptMode::Ask) return std::nullopt;
    }
    while (doc_.options.fatPrompt == FatPromptMode::Ask && copy >= 0 &&
           (!fat.entriesKnown(copy, first, item.size) || !chainDescribesFile(fat, copy, item))) {
        if (declineAll_) return std::nullopt;
        std::vector<bool> usable;
        for (FatIndex k = 0; k < fat.copies(); ++k) usable.push_back(fatCopyUsable(fat, item, k));
        const FatChoice choice = prompts.chooseFatShowing(copy, usable);
        unanswered_ += choice.unanswered;
        if (choice.forAll) {
            declineAll_ = !choice.copy;
            if (choice.copy) {
                runFat_ = *choice.copy;
                const std::string which = *choice.copy < 0 ? messageText(msg::kNoFat) : "FAT" + std::to_string(*choice.copy + 1);
                prompts.showMessage(msg::kFatChoiceForAll, formatMessage(msg::kFatChoiceForAll, which),
                                     MsgIcon::Information);
            }
        }
        if (!choice.copy) return std::nullopt;
        copy = *choice.copy;
    }
    return copy;
}

bool isSafeFileName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxNameBytes && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::vector<std::string> fileNamesInFolder(const std::vector<std::string_view>& names) {
    std::vector<std::string> out(names.size());
    std::set<std::string, std::less<>> taken;
    // A safe name keeps itself the first time; a second item of the same name (two deleted
    // files both listed as "#EPORT.TXT") would land on the first one's file.
    std::vector<bool> renamed(names.size());
    for (std::size_t i = 0; i < names.size(); ++i)
        renamed[i] = !isSafeFileName(names[i]) || !taken.emplace(out[i] = names[i]).second;
    // Where many names come to one safe form, counting goes on from the last number given to it:
    // a hostile directory of thousands of ".." takes linear time, not quadratic.
    std::map<std::string, int, std::less<>> lastNumber;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!renamed[i]) continue;
        const std::string base = safeForm(names[i]);
        std::string name = nameWithSuffix(base, "");
        int& n = lastNumber.try_emplace(name, 1).first->second;
        if (n > 1) name.clear();
        while (name.empty() || taken.count(name)) name = nameWithSuffix(base, "~" + std::to_string(++n));
        taken.insert(name);
        out[i] = std::move(name);
    }
    return out;
}

bool targetOnSource(const CQUIDNEYDoc& doc, const std::string& folder) {
    return doc.driveKind != DriveKind::Image && imageOnSource(doc.drive().devicePath(), folder);
}

bool fatCopyUsable(const FatTable& fat, const FileItem& item, FatIndex copy) {
    const std::uint32_t first = item.firstCluster();
    return fat.entriesKnown(copy, first, item.size) &&
           (fat.chainMatchesSize(copy, first, item.size) || fat.firstClusterFree(copy, first));
}

bool usePrivateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    // Checked through the descriptor: what is checked is what is then used.
    UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!dir.valid() || ::fstat(dir.get(), &st) != 0 || st.st_uid != ::geteuid()) return false;
    return (st.st_mode & 077) == 0 || ::fchmod(dir.get(), 0700) == 0;
}

SaveSummary runSave(CQUIDNEYDoc& doc, const std::vector<FileItem>& items, const SaveOptions& options,
                    SaveObserver& observer) {
    return Run(doc, options, observer).run(items);
}

}  // namespace harrow
