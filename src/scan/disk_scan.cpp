#include "scan/disk_scan.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/page_buffer.h"
#include "common/strings.h"
#include "document/document.h"
#include "exfat/directory.h"
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

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

// Said once when the source ends before the volume: a partial image, a partition cut short, an
// image file cut short. Reading on would only fail, cluster after cluster.
std::string sourceEndLine(std::uint64_t from, std::uint64_t to) {
    return "the source ends before the volume does: clusters " + std::to_string(from) + " to " + std::to_string(to) +
           " are not on it and were not searched";
}

// Clusters next to one another that cannot be read: the user is asked once, at the first, and the
// scan says the whole run once it has gone past it. A disk going bad fails in stretches, and a
// question or a line for every cluster of one would bury what matters.
class UnreadableRun {
public:
    UnreadableRun(CQUIDNEYDoc& doc, ScanObserver& observer) : doc_(doc), observer_(observer) {}
    ~UnreadableRun() { end(); }
    UnreadableRun(const UnreadableRun&) = delete;
    UnreadableRun& operator=(const UnreadableRun&) = delete;

    // `cluster` cannot be read, wholly or in part; false when the scan is to stop.
    bool add(std::uint64_t cluster) {
        if (open_ && cluster >= first_ && cluster <= last_ + 1) {
            last_ = std::max(last_, cluster);
            return true;
        }
        end();
        // A lost source ends the scan without a question; it has said so already.
        if (doc_.drive().sourceLost() ||
            !doc_.prompts().askYesNo(msg::kCannotReadCluster,
                                     formatMessage(msg::kCannotReadCluster, static_cast<unsigned long>(cluster))))
            return false;
        open_ = true;
        first_ = last_ = cluster;
        return true;
    }
    // `cluster` could be read: a run before it is over.
    void readAt(std::uint64_t cluster) {
        if (open_ && cluster > last_) end();
    }
    void end() {
        if (!open_) return;
        open_ = false;
        clusters += last_ - first_ + 1;
        // The question's first line names the run's first cluster, in the user's language.
        const std::string text = formatMessage(msg::kCannotReadCluster, static_cast<unsigned long>(first_));
        const std::string line = text.substr(0, text.find('\n'));
        observer_.notice(first_ == last_ ? line : line + "-" + std::to_string(last_));
    }

    // The source ends before the volume: clusters `from` to `to` are not on it.
    void sourceEnds(std::uint64_t from, std::uint64_t to) {
        sourceEnded = true;
        observer_.notice(sourceEndLine(from, to));
    }

    std::uint64_t clusters = 0;  // passed over unread, runs the user went on past
    bool sourceEnded = false;

private:
    CQUIDNEYDoc& doc_;
    ScanObserver& observer_;
    bool open_ = false;
    std::uint64_t first_ = 0, last_ = 0;
};

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

// The last cluster whose first sector the source holds (1 when it holds none).
std::uint64_t lastFatClusterOnSource(CDrive& drive, const std::optional<SavedClusters>& saved) {
    const DriveInfo& info = drive.info();
    std::uint64_t last = UINT64_MAX;
    if (const auto size = drive.source()->sizeBytes()) {
        const std::uint64_t sectors = *size / info.bytesPerSector, dataStart = info.dataStartSector();
        last = sectors > dataStart ? 2 + (sectors - dataStart - 1) / info.clusterSectors() : 1;
    }
    if (saved && saved->held != UINT64_MAX)
        last = std::min<std::uint64_t>(last, saved->held == 0 ? 1 : saved->first + saved->held - 1);
    return last;
}

ScanResult scanFat(CQUIDNEYDoc& doc, ScanObserver& observer, UnreadableRun& unreadable) {
    CDrive& drive = doc.drive();
    const FatTable& fat = drive.fat();
    const std::uint32_t bps = drive.info().bytesPerSector, spc = drive.info().clusterSectors();
    const bool exfat = drive.info().isExfat();
    const std::uint64_t cs = std::uint64_t{bps} * spc;
    // Every data cluster, the last one included, and nothing beyond the volume; of an image file
    // only the clusters it holds.
    std::uint64_t first = 2;
    std::uint64_t last = fat.lastCluster();
    const auto saved = drive.source()->savedClusters();
    if (saved) {
        first = std::max<std::uint64_t>(first, saved->first);
        last = std::min<std::uint64_t>(last, saved->last);
    }
    const std::uint64_t volumeLast = last;
    if (cs != 0) last = std::min(last, lastFatClusterOnSource(drive, saved));
    observer.started(doc.rootPath, false, last);
    ScanProgress progress;
    progress.total = last;
    Clock clock;
    if (cs == 0) return ScanResult::Finished;
    auto skipped = [&](std::uint64_t c) {
        return skipPast(doc.skipRanges, c) != c || (doc.options.skipBadClusters && fat.markedBad(0, static_cast<std::uint32_t>(c)));
    };
    const std::uint64_t blockClusters = std::max<std::uint64_t>(1, kBlockBytes / cs);
    PageBuffer page(static_cast<std::size_t>(blockClusters * cs));
    std::vector<bool> failed;

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
        failed.assign(static_cast<std::size_t>(count), false);
        const std::uint64_t firstSector = drive.sectorOfCluster(static_cast<std::uint32_t>(position));
        const bool wholeRead = static_cast<bool>(drive.readSectors(block, firstSector, static_cast<std::uint32_t>(count * spc)));
        if (!wholeRead) {
            if (drive.sourceLost()) return ScanResult::Cancelled;
            // Only a cluster's first sector can say it starts a directory: read those again one
            // by one; those that cannot be read are asked about.
            for (std::uint64_t k = 0; k < count; ++k) {
                MutableBytes sector = block.subspan(static_cast<std::size_t>(k * cs), bps);
                failed[k] = !drive.readSectors(sector, drive.sectorOfCluster(static_cast<std::uint32_t>(position + k)), 1);
                if (drive.sourceLost()) return ScanResult::Cancelled;
            }
        }
        for (std::uint64_t k = 0; k < count; ++k, ++position) {
            if (failed[k]) {
                if (!unreadable.add(position)) return ScanResult::Cancelled;
            } else {
                unreadable.readAt(position);
                // The whole cluster when it was read whole, else its first sector.
                const Bytes cluster = block.subspan(static_cast<std::size_t>(k * cs), wholeRead ? cs : bps);
                if (exfat ? !exfat::startsDirectory(cluster) : !looksLikeDirectoryStart(cluster)) {
                    if (wholeRead) doc.addContinuation(static_cast<std::uint32_t>(position), cluster);
                } else {
                    const std::size_t before = doc.foundList.size();
                    doc.addFoundDirectory(position, cluster);
                    if (doc.foundList.size() > before) {
                        progress.hits = doc.foundList.size();
                        if (const FileItem* added = doc.findFoundItem(position)) observer.hit(hitLine(position, added->name));
                    }
                }
            }
            progress.current = position;
            progress.percent = percentOf(position - first, last - first);
            clock.update(progress, position - first, last - position);
            observer.step(progress);
            if (observer.cancelled() || drive.sourceLost()) return ScanResult::Cancelled;
        }
    }
    unreadable.end();
    if (volumeLast > last && volumeLast >= first) unreadable.sourceEnds(std::max(last + 1, first), volumeLast);
    return ScanResult::Finished;
}

// Sectors [first, end).
struct Span {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
};

// The sectors the NTFS scan searches, in ascending order and apart. File records live in the
// MFT, and a table that grew may have runs anywhere, below its first one too: every run of $MFT
// as the runs say, and the rest of the volume from the MFT's eleventh record on. Of an image file,
// every cluster it keeps.
std::vector<Span> ntfsSpans(CDrive& drive, std::uint64_t volumeEnd) {
    const DriveInfo& info = drive.info();
    const std::uint64_t spc = info.clusterSectors();
    std::vector<Span> spans;
    if (const auto saved = drive.source()->savedClusters()) {
        if (saved->first <= saved->last)
            spans.push_back({std::uint64_t{saved->first} * spc, (std::uint64_t{saved->last} + 1) * spc});
    } else {
        for (const auto& [first, end] : drive.mft().extents()) spans.push_back({first, end});
        std::uint64_t mft = drive.sectorOfRecord(0);
        if (mft == kNoRecord || mft == 0) mft = info.mftCluster <= UINT64_MAX / spc ? info.mftCluster * spc : UINT64_MAX;
        spans.push_back({saturatingAdd(mft, 10ull * info.sectorsPerFileRecord), volumeEnd});
    }
    for (Span& s : spans) s.end = std::min(s.end, volumeEnd);
    std::erase_if(spans, [](const Span& s) { return s.first >= s.end; });
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.first < b.first; });
    std::vector<Span> merged;
    for (const Span& s : spans) {
        if (!merged.empty() && s.first <= merged.back().end)
            merged.back().end = std::max(merged.back().end, s.end);
        else
            merged.push_back(s);
    }
    return merged;
}

// The sector where the source ends, or all bits set when it does not say.
std::uint64_t ntfsEndOnSource(CDrive& drive) {
    const std::uint64_t spc = drive.info().clusterSectors();
    std::uint64_t end = UINT64_MAX;
    if (const auto size = drive.source()->sizeBytes()) end = *size / drive.info().bytesPerSector;
    if (const auto saved = drive.source()->savedClusters(); saved && saved->held != UINT64_MAX && saved->first <= saved->last)
        end = std::min(end, (saved->first + saved->held) * spc);
    return end;
}

ScanResult scanNtfs(CQUIDNEYDoc& doc, ScanObserver& observer, UnreadableRun& unreadable) {
    CDrive& drive = doc.drive();
    const DriveInfo& info = drive.info();
    const std::uint64_t spc = info.clusterSectors();
    const std::uint32_t bps = info.bytesPerSector;
    if (spc == 0 || bps == 0) return ScanResult::Finished;
    std::vector<Span> spans = ntfsSpans(drive, info.clusterCount <= UINT64_MAX / spc ? info.clusterCount * spc : UINT64_MAX);
    const std::uint64_t volumeEnd = spans.empty() ? 0 : spans.back().end;
    const std::uint64_t sourceEnd = ntfsEndOnSource(drive);
    for (Span& s : spans) s.end = std::min(s.end, sourceEnd);
    std::erase_if(spans, [](const Span& s) { return s.first >= s.end; });
    std::uint64_t total = 0;
    for (const Span& s : spans) total += s.end - s.first;

    const std::uint64_t end = spans.empty() ? 0 : spans.back().end;
    observer.started(doc.rootPath, true, end / spc);
    ScanProgress progress;
    progress.total = end / spc;
    Clock clock;

    const std::uint64_t blockSectors = std::max<std::uint64_t>(spc, kBlockBytes / bps / spc * spc);
    PageBuffer page(static_cast<std::size_t>(blockSectors * bps));
    std::uint64_t lastShown = ~0ull;
    std::uint64_t searched = 0;  // sectors of the spans before this one
    for (const Span& span : spans) {
        for (std::uint64_t position = span.first; position < span.end;) {
            std::uint64_t cluster = position / spc;
            if (std::uint64_t moved = skipPast(doc.skipRanges, cluster); moved != cluster) {
                position = moved * spc;
                continue;
            }
            // Up to the next skipped cluster; blocks after the first begin on a cluster.
            const std::uint64_t skipAt = nextSkipStart(doc.skipRanges, cluster);
            std::uint64_t blockEnd = std::min(span.end, (position / blockSectors + 1) * blockSectors);
            if (skipAt <= blockEnd / spc) blockEnd = std::min(blockEnd, skipAt * spc);
            const std::uint64_t count = blockEnd - position;
            const MutableBytes block = page.bytes().first(static_cast<std::size_t>(count * bps));

            // Tests sectors [from, to) of the block; false when the scan is to stop.
            auto test = [&](std::uint64_t from, std::uint64_t to) {
                for (std::uint64_t s = from; s < to;) {
                    // A cluster at a time, so that what is done per cluster is not done per sector.
                    cluster = s / spc;
                    unreadable.readAt(cluster);
                    for (const std::uint64_t clusterEnd = std::min(to, (cluster + 1) * spc); s < clusterEnd; ++s) {
                        const std::size_t at = static_cast<std::size_t>((s - position) * bps);
                        if (std::memcmp(block.data() + at, "FILE", 4) != 0) continue;
                        const Bytes rest = block.subspan(at, static_cast<std::size_t>((to - s) * bps));
                        if (le16(rest, frec::kFlags) & frec::kDirectory) continue;
                        const std::size_t before = doc.ntfsFileList.size();
                        if (!doc.addFoundDirectory(s, rest) && !unreadable.add(cluster)) return false;
                        if (doc.ntfsFileList.size() > before) {
                            progress.hits = doc.ntfsFileList.size();
                            observer.hit(hitLine(cluster, doc.ntfsFileList.back().name));
                        }
                    }
                    if (cluster != lastShown) {
                        lastShown = cluster;
                        const std::uint64_t done = searched + (s - span.first);
                        progress.current = cluster;
                        progress.percent = percentOf(done, total);
                        clock.update(progress, done, total - done);
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
                    } else if (drive.sourceLost() || !unreadable.add(s / spc)) {
                        return ScanResult::Cancelled;
                    }
                    s = next;
                }
            }
            position = blockEnd;
        }
        searched += span.end - span.first;
    }
    unreadable.end();
    // A cluster the source holds in part was searched as far as it goes.
    if (const std::uint64_t from = (sourceEnd + spc - 1) / spc; volumeEnd > sourceEnd && from <= (volumeEnd - 1) / spc)
        unreadable.sourceEnds(from, (volumeEnd - 1) / spc);
    return ScanResult::Finished;
}

}  // namespace

ScanSummary runDiskScan(CQUIDNEYDoc& doc, ScanObserver& observer) {
    CDrive& drive = doc.drive();
    if (!drive.isOpen()) {
        doc.prompts().showMessage(0, diag::kScanDiskNotOpen);
        return {ScanResult::Cancelled};
    }
    drive.source()->expectSequential();
    UnreadableRun unreadable(doc, observer);
    ScanSummary summary;
    summary.result = drive.info().isNtfs() ? scanNtfs(doc, observer, unreadable) : scanFat(doc, observer, unreadable);
    unreadable.end();
    // What a scan stopped early did not see may still continue a lost directory.
    if (!drive.info().isNtfs()) doc.joinContinuations(summary.result == ScanResult::Finished && !unreadable.sourceEnded);
    summary.unreadableClusters = unreadable.clusters;
    summary.sourceEnded = unreadable.sourceEnded;
    return summary;
}

std::string formatDuration(std::uint64_t s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d:%02d:%02d", static_cast<int>(s / 3600), static_cast<int>((s / 60) % 60),
                  static_cast<int>(s % 60));
    return buf;
}

}  // namespace harrow
