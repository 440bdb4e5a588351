#include "scan/disk_scan.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "common/strings.h"
#include "fatfs/document.h"
#include "ntfs/inode.h"
#include "ntfs/record.h"
#include "scan/skip_ranges.h"

namespace harrow {
namespace {

// NTFS sectors are read this many at a time (128 KiB of 512-byte sectors, a size the page cache
// copies fastest); each is tested on its own, so the block size only decides how many requests
// the scan makes. After a failed read the scan falls back to blocks of 128 so that one bad
// sector costs one cluster, not a whole block.
constexpr std::uint32_t kLargeBlockSectors = 256;
constexpr std::uint32_t kSmallBlockSectors = 128;

struct Clock {
    std::time_t start = std::time(nullptr);
    std::time_t lastShown = start;

    // Elapsed and remaining seconds, once the clock has moved on and the scan has left the start.
    void update(ScanProgress& p, std::uint64_t done, std::uint64_t left) {
        std::time_t now = std::time(nullptr);
        if (now == lastShown || done == 0) return;
        lastShown = now;
        std::uint64_t elapsed = static_cast<std::uint64_t>(now - start);
        p.elapsedSeconds = elapsed;
        p.remainingSeconds = left * elapsed / done;
    }
};

int percentOf(std::uint64_t done, std::uint64_t span) {
    // A range of one cluster has nothing to divide by.
    if (span == 0) return 100;
    return static_cast<int>(std::min<std::uint64_t>(100, done * 100 / span));
}

std::string hitLine(std::uint64_t cluster, const std::string& name) {
    return std::to_string(cluster) + " => " + name;
}

bool askToGoOn(CQUIDNEYDoc& doc, std::uint64_t cluster) {
    return doc.prompts().askYesNo(msg::kCannotReadCluster,
                                  formatMessage(msg::kCannotReadCluster, static_cast<unsigned long>(cluster)));
}

ScanResult scanFat(CQUIDNEYDoc& doc, ScanObserver& observer) {
    CDrive& drive = doc.drive();
    const FatTable& fat = drive.fat();
    const std::uint64_t first = 2;
    // Every data cluster, the last one included, and nothing beyond the volume.
    const std::uint64_t last = fat.lastCluster();
    observer.started(doc.rootPath, false, last);
    ScanProgress progress;
    progress.total = last;
    Clock clock;
    for (std::uint64_t position = first; position <= last; ++position) {
        position = skipPast(doc.skipRanges, position);
        if (position > last) break;
        const auto cluster = static_cast<std::uint32_t>(position);
        if (doc.skipBadClusters && fat.isBad(fat.entry(0, cluster))) continue;

        const std::size_t before = doc.foundList.size();
        // One small read per cluster: only its first sector can say it starts a directory.
        if (!doc.addFoundDirectory(position) && !askToGoOn(doc, position)) return ScanResult::Cancelled;
        if (doc.foundList.size() > before) {
            progress.hits = doc.foundList.size();
            if (const FileItem* added = doc.findFoundItem(position)) observer.hit(hitLine(position, added->name));
        }
        progress.current = position;
        progress.percent = percentOf(position - first, last - first);
        clock.update(progress, position - first, last - position);
        observer.step(progress);
        if (observer.cancelled()) return ScanResult::Cancelled;
    }
    return ScanResult::Finished;
}

ScanResult scanNtfs(CQUIDNEYDoc& doc, ScanObserver& observer) {
    CDrive& drive = doc.drive();
    const DriveInfo& info = drive.info();
    const std::uint64_t spc = info.clusterSectors();
    const std::uint32_t bps = info.bytesPerSector;
    if (spc == 0 || bps == 0) return ScanResult::Finished;
    // File records live in the MFT: begin after its first ten records (the system's own).
    std::uint64_t mft = drive.sectorOfRecord(0);
    if (mft == kNoRecord) mft = info.mftCluster * spc;
    const std::uint64_t start = mft + 10ull * info.sectorsPerFileRecord;
    const std::uint64_t end = info.clusterCount * spc;
    observer.started(doc.rootPath, true, end / spc);
    ScanProgress progress;
    progress.total = end / spc;
    Clock clock;

    std::vector<std::uint8_t> block;
    std::uint32_t blockSectors = kLargeBlockSectors;
    std::uint64_t blockStart = 0, blockCount = 0;  // the sectors the buffer holds
    std::uint64_t lastShown = ~0ull;
    for (std::uint64_t position = start; position < end;) {
        std::uint64_t cluster = position / spc;
        if (std::uint64_t moved = skipPast(doc.skipRanges, cluster); moved != cluster) {
            cluster = moved;
            position = cluster * spc;
            blockCount = 0;
            if (position >= end) break;
        }
        if (position < blockStart || position >= blockStart + blockCount) {
            const std::uint64_t count = std::min<std::uint64_t>(blockSectors, end - position);
            block.resize(static_cast<std::size_t>(count * bps));  // a failed read zeroes what it could not fill
            blockStart = position;
            blockCount = count;
            if (!drive.readSectors(block, position, static_cast<std::uint32_t>(count))) {
                blockCount = 0;
                if (blockSectors != kSmallBlockSectors) {
                    blockSectors = kSmallBlockSectors;  // find the bad spot in small steps
                    continue;
                }
                if (!askToGoOn(doc, cluster)) return ScanResult::Cancelled;
                position += spc;
                continue;
            }
        }
        const Bytes sector = Bytes(block).subspan(static_cast<std::size_t>((position - blockStart) * bps), bps);
        if (bytesEqual(sector, 0, "FILE") && !(le16(sector, frec::kFlags) & frec::kDirectory)) {
            const std::size_t before = doc.ntfsFileList.size();
            if (!doc.addFoundDirectory(position) && !askToGoOn(doc, cluster)) return ScanResult::Cancelled;
            if (doc.ntfsFileList.size() > before) {
                progress.hits = doc.ntfsFileList.size();
                observer.hit(hitLine(cluster, doc.ntfsFileList.back().name));
            }
        }
        if (cluster != lastShown) {
            lastShown = cluster;
            progress.current = cluster;
            progress.percent = percentOf(position - start, end - start);
            clock.update(progress, position - start, end - position);
            observer.step(progress);
        }
        if (observer.cancelled()) return ScanResult::Cancelled;
        ++position;
        // A good block after a bad one: back to large reads.
        if (position == blockStart + blockCount && blockSectors == kSmallBlockSectors) blockSectors = kLargeBlockSectors;
    }
    return ScanResult::Finished;
}

}  // namespace

ScanResult runDiskScan(CQUIDNEYDoc& doc, ScanObserver& observer) {
    CDrive& drive = doc.drive();
    if (!drive.isOpen()) {
        doc.prompts().showMessage(0, diag::kScanDiskNotOpen);
        return ScanResult::Cancelled;
    }
    return drive.info().isNtfs() ? scanNtfs(doc, observer) : scanFat(doc, observer);
}

std::string formatDuration(std::uint64_t s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d:%02d:%02d", static_cast<int>(s / 3600), static_cast<int>((s / 60) % 60),
                  static_cast<int>(s % 60));
    return buf;
}

}  // namespace harrow
