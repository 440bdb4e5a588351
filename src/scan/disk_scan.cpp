#include "scan/disk_scan.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "common/page_buffer.h"
#include "common/strings.h"
#include "document/document.h"
#include "fatfs/dir_entry.h"
#include "ntfs/record.h"
#include "scan/skip_ranges.h"

namespace harrow {
namespace {

// The volume is read in requests of this many bytes; each cluster or sector is then tested on
// its own, so the size only decides how many requests the scan makes.
constexpr std::uint64_t kBlockBytes = 1u << 20;

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

// After a read error: go on past it? A lost source ends the scan without a question; it has
// said so already.
bool goOnAfter(CQUIDNEYDoc& doc, std::uint64_t cluster) {
    if (doc.drive().sourceLost()) return false;
    return doc.prompts().askYesNo(msg::kCannotReadCluster,
                                  formatMessage(msg::kCannotReadCluster, static_cast<unsigned long>(cluster)));
}

// The first cluster after `cluster` where a skip range begins; all bits set when none does.
std::uint64_t nextSkipStart(const std::vector<SkipRange>& ranges, std::uint64_t cluster) {
    std::uint64_t next = ~0ull;
    for (const SkipRange& r : ranges)
        if (r.first > cluster) next = std::min<std::uint64_t>(next, r.first);
    return next;
}

bool looksLikeDirectoryStart(Bytes sector) {
    return sector.size() >= 2 * kDirEntrySize && isDotEntry(sector.first(kDirEntrySize)) &&
           isDotDotEntry(sector.subspan(kDirEntrySize, kDirEntrySize));
}

ScanResult scanFat(CQUIDNEYDoc& doc, ScanObserver& observer) {
    CDrive& drive = doc.drive();
    const FatTable& fat = drive.fat();
    const std::uint32_t bps = drive.info().bytesPerSector, spc = drive.info().sectorsPerCluster;
    const std::uint64_t cs = std::uint64_t{bps} * spc;
    // Every data cluster, the last one included, and nothing beyond the volume; of an image file
    // only the clusters it holds.
    std::uint64_t first = 2;
    std::uint64_t last = fat.lastCluster();
    if (const auto saved = drive.source()->savedClusters()) {
        first = std::max<std::uint64_t>(first, saved->first);
        last = std::min<std::uint64_t>(last, saved->last);
    }
    observer.started(doc.rootPath, false, last);
    ScanProgress progress;
    progress.total = last;
    Clock clock;
    if (cs == 0) return ScanResult::Finished;
    auto skipped = [&](std::uint64_t c) {
        return skipPast(doc.skipRanges, c) != c || (doc.skipBadClusters && fat.markedBad(0, static_cast<std::uint32_t>(c)));
    };
    const std::uint64_t blockClusters = std::max<std::uint64_t>(1, kBlockBytes / cs);
    PageBuffer page(static_cast<std::size_t>(blockClusters * cs));
    std::vector<bool> unreadable;

    for (std::uint64_t position = first; position <= last;) {
        position = skipPast(doc.skipRanges, position);
        if (position > last) break;
        if (skipped(position)) {  // a cluster the FAT marks bad, when those are skipped
            ++position;
            continue;
        }
        // The clusters read in one request: up to the next one the scan must not read.
        std::uint64_t count = 1;
        while (count < blockClusters && position + count <= last && !skipped(position + count)) ++count;

        const MutableBytes block = page.bytes().first(static_cast<std::size_t>(count * cs));
        unreadable.assign(static_cast<std::size_t>(count), false);
        const std::uint64_t firstSector = drive.sectorOfCluster(static_cast<std::uint32_t>(position));
        if (!drive.readSectors(block, firstSector, static_cast<std::uint32_t>(count * spc))) {
            if (drive.sourceLost()) return ScanResult::Cancelled;
            // Only a cluster's first sector can say it starts a directory: read those again one
            // by one, and ask about each that cannot be read.
            for (std::uint64_t k = 0; k < count; ++k) {
                MutableBytes sector = block.subspan(static_cast<std::size_t>(k * cs), bps);
                unreadable[k] = !drive.readSectors(sector, drive.sectorOfCluster(static_cast<std::uint32_t>(position + k)), 1);
                if (drive.sourceLost()) return ScanResult::Cancelled;
            }
        }
        for (std::uint64_t k = 0; k < count; ++k, ++position) {
            if (unreadable[k]) {
                if (!goOnAfter(doc, position)) return ScanResult::Cancelled;
            } else if (Bytes sector = block.subspan(static_cast<std::size_t>(k * cs), bps);
                       looksLikeDirectoryStart(sector)) {
                const std::size_t before = doc.foundList.size();
                doc.addFoundDirectory(position, sector);
                if (doc.foundList.size() > before) {
                    progress.hits = doc.foundList.size();
                    if (const FileItem* added = doc.findFoundItem(position)) observer.hit(hitLine(position, added->name));
                }
            }
            progress.current = position;
            progress.percent = percentOf(position - first, last - first);
            clock.update(progress, position - first, last - position);
            observer.step(progress);
            if (observer.cancelled() || drive.sourceLost()) return ScanResult::Cancelled;
        }
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
    if (mft == kNoRecord || mft == 0) mft = info.mftCluster * spc;
    std::uint64_t start = mft + 10ull * info.sectorsPerFileRecord;
    std::uint64_t end = info.clusterCount * spc;
    // Of an image file, the clusters it holds, the last one included.
    if (const auto saved = drive.source()->savedClusters()) {
        start = std::max<std::uint64_t>(start, std::uint64_t{saved->first} * spc);
        end = std::min<std::uint64_t>(end, (std::uint64_t{saved->last} + 1) * spc);
    }
    observer.started(doc.rootPath, true, end / spc);
    ScanProgress progress;
    progress.total = end / spc;
    Clock clock;

    const std::uint64_t blockSectors = std::max<std::uint64_t>(spc, kBlockBytes / bps / spc * spc);
    PageBuffer page(static_cast<std::size_t>(blockSectors * bps));
    std::uint64_t lastShown = ~0ull;
    for (std::uint64_t position = start; position < end;) {
        std::uint64_t cluster = position / spc;
        if (std::uint64_t moved = skipPast(doc.skipRanges, cluster); moved != cluster) {
            position = moved * spc;
            continue;
        }
        // Up to the next skipped cluster; blocks after the first begin on a cluster.
        const std::uint64_t skipAt = nextSkipStart(doc.skipRanges, cluster);
        std::uint64_t blockEnd = std::min(end, (position / blockSectors + 1) * blockSectors);
        if (skipAt <= blockEnd / spc) blockEnd = std::min(blockEnd, skipAt * spc);
        const std::uint64_t count = blockEnd - position;
        const MutableBytes block = page.bytes().first(static_cast<std::size_t>(count * bps));

        // Tests sectors [from, to) of the block; false when the scan is to stop.
        auto test = [&](std::uint64_t from, std::uint64_t to) {
            for (std::uint64_t s = from; s < to; ++s) {
                cluster = s / spc;
                const Bytes rest = block.subspan(static_cast<std::size_t>((s - position) * bps),
                                                        static_cast<std::size_t>((to - s) * bps));
                if (bytesEqual(rest, 0, "FILE") && !(le16(rest, frec::kFlags) & frec::kDirectory)) {
                    const std::size_t before = doc.ntfsFileList.size();
                    if (!doc.addFoundDirectory(s, rest) && !goOnAfter(doc, cluster)) return false;
                    if (doc.ntfsFileList.size() > before) {
                        progress.hits = doc.ntfsFileList.size();
                        observer.hit(hitLine(cluster, doc.ntfsFileList.back().name));
                    }
                }
                if (cluster != lastShown) {
                    lastShown = cluster;
                    progress.current = cluster;
                    progress.percent = percentOf(s - start, end - start);
                    clock.update(progress, s - start, end - s);
                    observer.step(progress);
                    if (observer.cancelled()) return false;
                }
            }
            return true;
        };
        if (drive.readSectors(block, position, static_cast<std::uint32_t>(count))) {
            if (!test(position, blockEnd)) return ScanResult::Cancelled;
        } else {
            if (drive.sourceLost()) return ScanResult::Cancelled;
            // Again a cluster at a time: test those that can be read, ask about the others.
            for (std::uint64_t s = position; s < blockEnd;) {
                const std::uint64_t next = std::min(blockEnd, (s / spc + 1) * spc);
                MutableBytes part = block.subspan(static_cast<std::size_t>((s - position) * bps),
                                                               static_cast<std::size_t>((next - s) * bps));
                if (drive.readSectors(part, s, static_cast<std::uint32_t>(next - s))) {
                    if (!test(s, next)) return ScanResult::Cancelled;
                } else if (!goOnAfter(doc, s / spc)) {
                    return ScanResult::Cancelled;
                }
                s = next;
            }
        }
        position = blockEnd;
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
    drive.source()->expectSequential();
    return drive.info().isNtfs() ? scanNtfs(doc, observer) : scanFat(doc, observer);
}

std::string formatDuration(std::uint64_t s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d:%02d:%02d", static_cast<int>(s / 3600), static_cast<int>((s / 60) % 60),
                  static_cast<int>(s % 60));
    return buf;
}

}  // namespace harrow
