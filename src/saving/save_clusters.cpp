#include "saving/save_clusters.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "common/dostime.h"
#include "common/page_buffer.h"
#include "common/replacing_file.h"
#include "common/strings.h"
#include "common/unique_fd.h"
#include "document/drive.h"
#include "volume/image_file.h"

namespace harrow {
namespace {

// Clusters are read and written in requests of this size, as the file reader reads: the calls
// then cost little next to the copying.
constexpr std::uint64_t kBlockBytes = 1u << 20;

// The whole disk a partition device belongs to, by the kernel's own account.
std::optional<dev_t> diskOfPartition(dev_t partition) {
    namespace fs = std::filesystem;
    const fs::path sys = "/sys/dev/block/" + std::to_string(major(partition)) + ":" + std::to_string(minor(partition));
    std::error_code ec;
    if (!fs::exists(sys / "partition", ec)) return std::nullopt;
    std::ifstream in(fs::canonical(sys, ec).parent_path() / "dev");
    unsigned maj = 0, min = 0;
    char colon = 0;
    if (ec || !(in >> maj >> colon >> min) || colon != ':') return std::nullopt;
    return makedev(maj, min);
}

struct Clock {
    std::time_t start = std::time(nullptr);
    std::time_t lastShown = start;

    void update(SaveClustersProgress& p, std::uint64_t done, std::uint64_t left) {
        const std::time_t now = std::time(nullptr);
        if (now == lastShown || done == 0) return;
        lastShown = now;
        const auto elapsed = static_cast<std::uint64_t>(now - start);
        p.elapsedSeconds = elapsed;
        p.remainingSeconds = left * elapsed / done;
    }
};

class Writer {
public:
    Writer(CDrive& drive, const SaveClustersOptions& options, SaveClustersObserver& observer)
        : drive_(drive), prompts_(drive.prompts()), info_(drive.info()), options_(options), observer_(observer) {}

    SaveClustersSummary run() {
        if (!drive_.isOpen()) {
            prompts_.showMessage(0, diag::kSaveClustersNotOpen);
            return summary_;
        }
        if (!validClusterRange(info_, options_.range)) {
            prompts_.showMessage(msg::kInvalidRange, messageText(msg::kInvalidRange));
            return summary_;
        }
        if (!imageGeometryOk(info_)) {
            prompts_.showMessage(msg::kImageGeometry, formatMessage(msg::kImageGeometry, int{info_.bytesPerSector}));
            return summary_;
        }
        if (imageOnSource(drive_.devicePath(), options_.imagePath)) {
            prompts_.showMessage(msg::kCannotSaveOnSource, messageText(msg::kCannotSaveOnSource));
            return summary_;
        }
        if (!create()) return summary_;
        summary_.result = SaveClustersResult::Failed;
        drive_.source()->expectSequential();
        const bool written = writeSystemPart() && writeClusters();
        if (written && out_->commit()) {
            summary_.result = SaveClustersResult::Done;
            return summary_;
        }
        // A write the kernel kept back can still fail at the close, on a full or remote file system.
        if (written) prompts_.showMessage(msg::kDiskFull, messageText(msg::kDiskFull));
        keepPart();
        return summary_;
    }

private:
    // The image is written under a name of its own beside the target and takes the target's name
    // only when whole: an existing file is replaced only when the answer says so, and a link
    // planted under the name is replaced, not written through.
    bool create() {
        namespace fs = std::filesystem;
        const fs::path path(options_.imagePath);
        const std::string name = path.filename();
        const fs::path parent = path.parent_path();
        dir_ = UniqueFd(::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat st {};
        existed_ = dir_.valid() && ::fstatat(dir_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        // Only ever a file (or a link in its place): a device or folder named as the target is left alone.
        if (!dir_.valid() || name.empty() || name == "." || name == ".." ||
            (existed_ && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))) {
            prompts_.showMessage(msg::kCannotCreate, formatMessage(msg::kCannotCreate, options_.imagePath));
            return false;
        }
        if (existed_ && !replaceExisting(st)) return false;
        out_ = ReplacingFile::create(dir_.get(), name);
        if (!out_) prompts_.showMessage(msg::kCannotCreate, formatMessage(msg::kCannotCreate, options_.imagePath));
        return out_.has_value();
    }

    bool replaceExisting(const struct stat& st) {
        ReplaceAnswer answer = options_.existing;
        if (answer == ReplaceAnswer::Yes) {
            OverwriteQuestion q;
            q.name = options_.imagePath;
            if (auto d = dosFromUnix(st.st_mtime)) q.existingDate = formatDosDate(d->date, d->time);
            q.existingSize = static_cast<std::uint64_t>(st.st_size);
            answer = prompts_.askOverwrite(q);
        } else if (answer == ReplaceAnswer::NoToAll) {
            prompts_.showMessage(msg::kExistingKept, formatMessage(msg::kExistingKept, options_.imagePath));
        }
        return answer == ReplaceAnswer::Yes || answer == ReplaceAnswer::YesToAll;
    }

    // What was written of an image that failed or was cancelled stays: under the target's name
    // when nothing had it, else beside the older file, which is kept as it was.
    void keepPart() {
        if (!existed_) {
            out_->commit();
            return;
        }
        const std::string name = std::filesystem::path(options_.imagePath).filename();
        if (auto kept = out_->keepAs(nameWithSuffix(name, ".partial")))
            prompts_.showMessage(msg::kPartialKeptBeside, formatMessage(msg::kPartialKeptBeside, options_.imagePath, *kept));
    }

    bool writeOrSay(Bytes data) {
        if (writeAll(out_->fd(), data)) return true;
        prompts_.showMessage(msg::kCannotWrite, formatMessage(msg::kCannotWrite, options_.imagePath));
        return false;
    }

    void sayUnreadable(std::uint64_t sector) {
        const std::uint64_t spc = info_.clusterSectors();
        prompts_.showMessage(msg::kCannotReadCluster,
                             formatMessage(msg::kCannotReadCluster, static_cast<unsigned long>(sector / spc)));
    }

    // The header, the boot sector and the system area: without any of them the image cannot be
    // read as the volume, so a sector that cannot be read ends the save.
    bool writeSystemPart() {
        const SystemArea area = systemAreaOf(info_);
        ImageHeader header{info_, static_cast<std::uint32_t>(area.count), 1, options_.range.first, options_.range.last};
        if (!writeOrSay(header.serialize())) return false;

        const std::uint32_t bps = info_.bytesPerSector;
        const std::uint64_t blockSectors = kBlockBytes / bps;
        buffer_.resize(static_cast<std::size_t>(std::max<std::uint64_t>(kBlockBytes, drive_.bytesPerCluster())));
        const MutableBytes block = buffer_.bytes();
        if (!drive_.readSectors(block, 0, 1)) {
            sayUnreadable(0);
            return false;
        }
        if (!writeOrSay(block.first(bps))) return false;
        for (std::uint64_t done = 0; done < area.count;) {
            const std::uint64_t count = std::min(blockSectors, area.count - done);
            const MutableBytes part = block.first(static_cast<std::size_t>(count * bps));
            if (!drive_.readSectors(part, area.first + done, static_cast<std::uint32_t>(count))) {
                // Which sector it was, for the message.
                for (std::uint64_t k = 0; k < count; ++k) {
                    if (drive_.sourceLost() || !drive_.readSectors(part.subspan(static_cast<std::size_t>(k * bps), bps),
                                                                   area.first + done + k, 1)) {
                        if (!drive_.sourceLost()) sayUnreadable(area.first + done + k);
                        return false;
                    }
                }
            }
            if (!writeOrSay(part)) return false;
            done += count;
        }
        return true;
    }

    bool skipped(std::uint64_t c) const {
        const FatTable& fat = drive_.fat();
        return options_.skipBadClusters && !info_.isNtfs() && fat.markedBad(0, static_cast<std::uint32_t>(c));
    }

    // Reads `count` clusters from `c` into `out`; a cluster that cannot be read is zeros.
    bool readClusters(std::uint64_t c, std::uint64_t count, MutableBytes out) {
        const std::uint32_t spc = info_.clusterSectors();
        const std::uint64_t cs = drive_.bytesPerCluster();
        if (drive_.readSectors(out, drive_.sectorOfCluster(static_cast<std::uint32_t>(c)), static_cast<std::uint32_t>(count * spc)))
            return true;
        for (std::uint64_t k = 0; k < count; ++k) {
            if (drive_.sourceLost()) return false;
            MutableBytes cluster = out.subspan(static_cast<std::size_t>(k * cs), static_cast<std::size_t>(cs));
            if (!drive_.readSectors(cluster, drive_.sectorOfCluster(static_cast<std::uint32_t>(c + k)), spc)) {
                // Zeros, not what the buffer held before: the reader passes them on as they are,
                // and a cluster of another place would look like valid data.
                std::fill(cluster.begin(), cluster.end(), 0);
                ++summary_.unreadable;
            }
        }
        return !drive_.sourceLost();
    }

    bool writeClusters() {
        const ClusterRange range = options_.range;
        const std::uint64_t cs = drive_.bytesPerCluster();
        const std::uint64_t blockClusters = std::max<std::uint64_t>(1, kBlockBytes / cs);
        const std::uint64_t total = std::uint64_t{range.last} - range.first + 1;
        if (options_.skipBadClusters && !info_.isNtfs() && !drive_.fat().loaded()) drive_.loadFats();
        observer_.started(range);
        SaveClustersProgress progress;
        Clock clock;
        const MutableBytes buffer = buffer_.bytes();
        for (std::uint64_t c = range.first; c <= range.last;) {
            // A run of clusters that are all read, or all skipped as bad.
            const bool bad = skipped(c);
            std::uint64_t count = 1;
            while (count < blockClusters && c + count <= range.last && skipped(c + count) == bad) ++count;
            const MutableBytes block = buffer.first(static_cast<std::size_t>(count * cs));
            if (bad) {
                std::fill(block.begin(), block.end(), 0);
                summary_.skippedBad += count;
            } else if (!readClusters(c, count, block)) {
                return false;  // the source is gone, and has said so
            }
            if (!writeAll(out_->fd(), block)) {
                prompts_.showMessage(msg::kDiskFull, messageText(msg::kDiskFull));
                return false;
            }
            c += count;
            const std::uint64_t done = c - range.first;
            progress.current = c - 1;
            progress.percent = static_cast<int>(done * 100 / total);
            clock.update(progress, done, total - done);
            observer_.step(progress);
            if (observer_.cancelled()) {
                summary_.result = SaveClustersResult::Cancelled;
                return false;
            }
        }
        return true;
    }

    CDrive& drive_;
    Prompts& prompts_;
    const DriveInfo& info_;
    const SaveClustersOptions& options_;
    SaveClustersObserver& observer_;
    UniqueFd dir_;
    std::optional<ReplacingFile> out_;
    bool existed_ = false;  // the target's name was taken before
    PageBuffer buffer_;
    SaveClustersSummary summary_;
};

}  // namespace

ClusterRange allowedClusters(const DriveInfo& info) {
    if (info.isNtfs()) {
        const std::uint64_t last = std::min<std::uint64_t>(info.clusterCount, 0x100000000ull) - (info.clusterCount > 0);
        if (info.clusterCount == 0 || info.mftCluster > last) return {1, 0};
        return {static_cast<std::uint32_t>(info.mftCluster), static_cast<std::uint32_t>(last)};
    }
    // The last data cluster: FAT32 counts the two reserved numbers in its cluster count, FAT12
    // and FAT16 do not.
    const std::uint64_t last = info.fsType == FsType::Fat32 ? info.clusterCount - (info.clusterCount > 0) : info.clusterCount + 1;
    if (last < 2) return {1, 0};
    return {2, static_cast<std::uint32_t>(std::min<std::uint64_t>(last, 0xFFFFFFFFu))};
}

bool validClusterRange(const DriveInfo& info, ClusterRange range) {
    const ClusterRange allowed = allowedClusters(info);
    return range.first <= range.last && range.first >= allowed.first && range.last <= allowed.last;
}

bool imageOnSource(const std::string& sourcePath, const std::string& imagePath) {
    struct stat source {}, target {};
    if (sourcePath.empty() || ::stat(sourcePath.c_str(), &source) != 0) return false;
    // The file itself where it exists, else the folder it would be made in.
    if (::stat(imagePath.c_str(), &target) != 0) {
        const std::filesystem::path parent = std::filesystem::path(imagePath).parent_path();
        if (::stat(parent.empty() ? "." : parent.c_str(), &target) != 0) return false;
        if (S_ISREG(source.st_mode)) return false;
    }
    if (S_ISREG(source.st_mode)) return S_ISREG(target.st_mode) && source.st_dev == target.st_dev && source.st_ino == target.st_ino;
    if (!S_ISBLK(source.st_mode)) return false;
    return target.st_dev == source.st_rdev || diskOfPartition(target.st_dev) == source.st_rdev;
}

SaveClustersSummary saveClusters(CDrive& drive, const SaveClustersOptions& options, SaveClustersObserver& observer) {
    return Writer(drive, options, observer).run();
}

}  // namespace harrow
