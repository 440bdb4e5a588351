#include "saving/save_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <set>

#include "common/dostime.h"
#include "common/strings.h"
#include "fatfs/document.h"
#include "volume/local_source.h"

namespace harrow {
namespace {

constexpr std::uint8_t kSavedAttributes = 0x27;  // read-only, hidden, system, archive
constexpr int kMaxDepth = 256;

enum class Next { Continue, StopRun };

bool writeAll(int fd, Bytes data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data = data.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

class Run {
public:
    Run(CQUIDNEYDoc& doc, const SaveOptions& options, SaveObserver& observer)
        : doc_(doc), drive_(doc.drive()), prompts_(doc.prompts()), options_(options), observer_(observer),
          answer_(options.initialAnswer) {}

    SaveSummary run(const std::vector<FileItem*>& items) {
        UniqueFd target(::open(options_.targetFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!target.valid()) {
            fail(msg::kCannotCreate, options_.targetFolder);
            return summary_;
        }
        if (!doc_.openCurrent()) return summary_;
        summary_.started = true;
        std::string folder = options_.targetFolder;
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        for (FileItem* item : items)
            if (saveOne(target.get(), folder, *item, nullptr, 0) == Next::StopRun) break;
        drive_.close();
        return summary_;
    }

private:
    void fail(int id, const std::string& subject) {
        prompts_.showMessage(id, formatMessage(id, subject.c_str()));
        ++summary_.failed;
    }

    Next done(const FileItem& item, const std::string& path, SaveStatus status) {
        observer_.itemDone(item, path, status);
        return Next::Continue;
    }

    Next saveOne(int dirFd, const std::string& dirPath, FileItem& item, const FileItem* parent, int depth) {
        const std::string path = dirPath + "/" + item.name;
        if (item.isDirectory()) return saveDirectory(dirFd, path, item, parent, depth);
        observer_.beginItem(item, path);
        if (!isSafeFileName(item.name) || path.size() >= PATH_MAX) {
            fail(msg::kCannotCreate, path);
            return done(item, path, SaveStatus::Failed);
        }

        struct stat existing {};
        if (::fstatat(dirFd, item.name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
            if (answer_ == ReplaceAnswer::NoToAll) {
                ++summary_.skipped;
                return done(item, path, SaveStatus::Skipped);
            }
            if (answer_ != ReplaceAnswer::YesToAll) {
                OverwriteQuestion q;
                q.name = item.name;
                q.itemDate = formatDosDate(item.date, item.time);
                q.itemSize = item.size;
                if (auto d = dosFromUnix(existing.st_mtime)) q.existingDate = formatDosDate(d->date, d->time);
                q.existingSize = static_cast<std::uint64_t>(existing.st_size);
                answer_ = prompts_.askOverwrite(q);
                if (answer_ == ReplaceAnswer::Cancel) {
                    summary_.cancelled = true;
                    observer_.itemDone(item, path, SaveStatus::Skipped);
                    return Next::StopRun;
                }
                if (answer_ == ReplaceAnswer::No || answer_ == ReplaceAnswer::NoToAll) {
                    ++summary_.skipped;
                    return done(item, path, SaveStatus::Skipped);
                }
            }
            // Unlinking needs no write permission on the file itself, so a read-only file goes
            // like any other; nothing is changed through a link that stands in its place.
            if (::unlinkat(dirFd, item.name.c_str(), 0) != 0) {
                fail(msg::kCannotCreate, path);
                return done(item, path, SaveStatus::Failed);
            }
        }

        if (!drive_.beginRead(item, doc_.saveFat)) {
            fail(msg::kCannotOpenItem, item.name);
            return done(item, path, SaveStatus::Failed);
        }
        if (!checkFat(item)) {
            ++summary_.failed;
            return done(item, path, SaveStatus::Failed);
        }

        UniqueFd out(::openat(dirFd, item.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!out.valid()) {
            drive_.endRead();
            fail(msg::kCannotCreate, path);
            return done(item, path, SaveStatus::Failed);
        }
        return copy(item, path, out);
    }

    // Asks for another FAT copy while the chosen one does not describe the file. False when the
    // user declines (the file is skipped); the read is begun again with the new copy otherwise.
    bool checkFat(const FileItem& item) {
        const FatTable& fat = drive_.fat();
        // An empty file has no chain to judge (its first cluster is 0): there is nothing to read.
        while (item.size > 0 && !drive_.info().isNtfs() && doc_.fatPromptMode == kFatPromptAsk && doc_.saveFat >= 0 &&
               !fat.firstClusterFree(doc_.saveFat, item.firstCluster()) &&
               !fat.chainMatchesSize(doc_.saveFat, item.firstCluster(), item.size)) {
            drive_.endRead();
            const FatIndex invalid = doc_.saveFat;
            doc_.saveFat = kNoFat;
            auto choice = prompts_.chooseFat(invalid, drive_.info().numberOfFats);
            if (!choice) return false;
            doc_.saveFat = *choice;
            if (!drive_.beginRead(item, doc_.saveFat)) {
                prompts_.showMessage(msg::kCannotOpenItem, formatMessage(msg::kCannotOpenItem, item.name.c_str()));
                return false;
            }
        }
        return true;
    }

    Next copy(FileItem& item, const std::string& path, UniqueFd& out) {
        const CopyResult result = copyItemData(
            drive_, item, [&](Bytes block) { return writeAll(out.get(), block); },
            [&](std::uint64_t done) {
                observer_.progress(static_cast<int>(done * 100 / item.size));
                return !observer_.cancelled();
            });
        drive_.endRead();
        const int failure = result == CopyResult::ReadFailed    ? msg::kCannotReadItem
                            : result == CopyResult::WriteFailed ? msg::kDiskFull
                                                                : 0;
        const bool cancelled = result == CopyResult::Cancelled;
        if (failure || cancelled) {
            // The part written so far stays, with the current time and plain attributes; the item
            // is not marked saved, so it still shows among the unsaved ones.
            out.reset();
            if (failure) {
                const std::string subject = failure == msg::kCannotReadItem ? item.name : path;
                prompts_.showMessage(failure, formatMessage(failure, subject.c_str()));
                ++summary_.failed;
            }
            summary_.cancelled = cancelled;
            observer_.itemDone(item, path, cancelled ? SaveStatus::Cancelled : SaveStatus::Failed);
            return Next::StopRun;
        }
        finish(item, out.get());
        out.reset();
        item.kind = ITEM_SAVEDFILE;
        ++summary_.saved;
        return done(item, path, SaveStatus::Saved);
    }

    // The item's DOS time, taken as local time, becomes the file's access and modification time;
    // read-only clears the write bits; the DOS attributes are kept where the target allows.
    static void finish(const FileItem& item, int fd) {
        if (auto t = unixFromDos(item.date, item.time)) {
            struct timespec times[2] = {{*t, 0}, {*t, 0}};
            ::futimens(fd, times);
        }
        const std::uint8_t attributes = item.attributes & kSavedAttributes;
        char text[8];
        std::snprintf(text, sizeof text, "0x%02x", attributes);
        ::fsetxattr(fd, kDosAttributeXattr, text, std::char_traits<char>::length(text), 0);
        struct stat st {};
        if ((attributes & ATTR_READONLY) && ::fstat(fd, &st) == 0) ::fchmod(fd, st.st_mode & ~mode_t{0222});
    }

    Next saveDirectory(int dirFd, const std::string& path, FileItem& item, const FileItem* parent, int depth) {
        // "." and ".." and names that cannot be folders make nothing, and say nothing.
        if (!isSafeFileName(item.name)) return Next::Continue;
        ::mkdirat(dirFd, item.name.c_str(), 0777);
        if (!options_.recursive) return Next::Continue;
        const std::uint64_t key = drive_.info().isNtfs() ? item.record : item.cluster;
        if (depth >= kMaxDepth || !visited_.insert(key).second) return Next::Continue;
        // Never into a link someone left in the target folder: only a real directory of ours.
        UniqueFd sub(::openat(dirFd, item.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!sub.valid()) {
            fail(msg::kCannotCreate, path);
            return Next::Continue;
        }
        auto list = doc_.listItem(item, parent ? parent : &item);
        if (!list) return Next::Continue;
        for (FileItem& child : *list) {
            if (child.name == "." || child.name == "..") continue;
            if (saveOne(sub.get(), path, child, &item, depth + 1) == Next::StopRun) return Next::StopRun;
        }
        return Next::Continue;
    }

    CQUIDNEYDoc& doc_;
    CDrive& drive_;
    Prompts& prompts_;
    const SaveOptions& options_;
    SaveObserver& observer_;
    ReplaceAnswer answer_;
    std::set<std::uint64_t> visited_;
    SaveSummary summary_;
};

}  // namespace

CopyResult copyItemData(CDrive& drive, const FileItem& item, const std::function<bool(Bytes)>& write,
                        const std::function<bool(std::uint64_t)>& afterBlock) {
    const std::uint32_t block = drive.bytesPerCluster();
    // Reads deliver whole sectors: room for one cluster and a little more.
    std::vector<std::uint8_t> buffer(std::size_t{block} + 16);
    for (std::uint64_t position = 0; position < item.size;) {
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(block, item.size - position));
        // A chain that ends inside a block leaves the rest unread: zeros, not the block before.
        std::fill(buffer.begin(), buffer.end(), 0);
        if (!drive.read(buffer, position, n)) return CopyResult::ReadFailed;
        if (!write(Bytes(buffer).first(n))) return CopyResult::WriteFailed;
        position += n;
        if (afterBlock && !afterBlock(position)) return CopyResult::Cancelled;
    }
    return CopyResult::Done;
}

bool isSafeFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

SaveSummary runSave(CQUIDNEYDoc& doc, const std::vector<FileItem*>& items, const SaveOptions& options,
                    SaveObserver& observer) {
    return Run(doc, options, observer).run(items);
}

}  // namespace harrow
