#include "document/file_reader.h"

#include <algorithm>
#include <array>

#include "common/page_buffer.h"

namespace harrow {
namespace {

// The largest request one read makes of the volume: large enough that the calls cost little
// next to the copying. Copies go through page-aligned buffers (see PageBuffer).
constexpr std::uint64_t kMaxRequestBytes = 1u << 20;

// How far the search for a file in pieces goes: the free runs after its first one that may hold
// its later pieces, how many of them a choice may pass over, and how many choices are checked.
// Each check reads a few sectors (a ZIP's central directory at most); the choices are made from
// the table in memory, so a volume of millions of free runs costs no more than one of a few.
constexpr std::size_t kMaxLaterRuns = 31;
constexpr std::size_t kMaxPassedOver = 3;
constexpr std::size_t kMaxChoices = 32;

// Ways `clusters` clusters can lie in `runs`: the first run whole, then later runs in order, each
// whole but the last, which gives what is still needed. Up to kMaxPassedOver runs in between are
// passed over (those of a file deleted later); fewest passed over first, then the earliest, so the
// first way is the free clusters from the first on.
std::vector<std::vector<ClusterRun>> waysToLie(const std::vector<ClusterRun>& runs, std::uint64_t clusters) {
    std::vector<std::vector<ClusterRun>> ways;
    for (std::size_t k = 0; k <= kMaxPassedOver && k < runs.size() && ways.size() < kMaxChoices; ++k) {
        std::vector<std::size_t> passed(k);
        for (std::size_t i = 0; i < k; ++i) passed[i] = i + 1;
        for (;;) {
            std::vector<ClusterRun> way;
            std::uint64_t need = clusters;
            std::size_t p = 0;
            for (std::size_t j = 0; j < runs.size() && need > 0; ++j) {
                if (p < k && passed[p] == j) {
                    ++p;
                    continue;
                }
                const auto take = static_cast<std::uint32_t>(std::min<std::uint64_t>(need, runs[j].count));
                way.push_back({runs[j].first, take});
                need -= take;
            }
            // A run passed over after the file's end would only repeat a shorter way.
            if (need == 0 && p == k) {
                ways.push_back(std::move(way));
                if (ways.size() == kMaxChoices) break;
            }
            std::size_t i = k;
            while (i > 0 && passed[i - 1] == runs.size() - k + i - 1) --i;
            if (i == 0) break;
            ++passed[i - 1];
            for (std::size_t m = i; m < k; ++m) passed[m] = passed[m - 1] + 1;
        }
    }
    return ways;
}

}  // namespace

FileReader::FileReader(CDrive& drive, const FileItem& item, FatIndex fat) : drive_(drive), item_(item), fat_(fat) {
    const DriveInfo& info = drive.info();
    sectorsPerCluster_ = info.clusterSectors();
    clusterBytes_ = drive.bytesPerCluster();
    if (clusterBytes_ == 0 || info.bytesPerSector == 0) {
        ok_ = false;
    } else if (info.isNtfs()) {
        // NTFS files are read through their file record, found by its sector.
        mode_ = Mode::Ntfs;
        inode_ = std::make_unique<CInode>(drive.mft());
        ok_ = inode_->loadBySector(item.cluster);
        data_ = ok_ ? inode_->findStream(item.stream) : nullptr;
        // A file without data has nothing to read and fails at the first read; a stream the
        // record no longer has was never there to be read.
        ok_ = ok_ && (data_ || !item.isStream());
    } else if (info.isExfat()) {
        // exFAT frees by its bitmap: a deleted file keeps its run, or its chain where the driver
        // left it. One that had a chain and lost it went on, as on FAT, through the clusters
        // free after its first: those between were another file's.
        const FatTable& table = drive.fat();
        if (exfatFollowsChain(table, fat, item))
            mode_ = Mode::Chain;
        else if (item.deleted && !item.contiguous && fat != kNoFat && table.hasAllocation() && !table.allocated(item.firstCluster()))
            mode_ = Mode::FreeClusters;
        else
            mode_ = Mode::Contiguous;
    } else if (fat == kNoFat) {
        mode_ = Mode::Contiguous;
    } else {
        mode_ = drive.fat().firstClusterFree(fat, item.firstCluster()) ? Mode::FreeClusters : Mode::Chain;
    }
    cursorCluster_ = item.firstCluster();
    if (mode_ == Mode::FreeClusters && deletedInPieces(drive.fat(), fat, item)) findPieces();
}

void FileReader::findPieces() {
    piecesRead_ = PiecesRead::Guessed;
    std::array<std::uint8_t, kContentHeadBytes> head{};
    const ContentType type =
        item_.size >= head.size() && readFat(0, head).status == ReadResult::Done ? contentTypeOf(head) : ContentType::Unknown;
    if (type == ContentType::Unknown) return;
    const std::uint64_t clusters = (item_.size + clusterBytes_ - 1) / clusterBytes_;
    std::optional<std::vector<ClusterRun>> confirmed;
    bool alike = false;
    for (auto& way : waysToLie(drive_.fat().freeRuns(fat_, item_.firstCluster(), kMaxLaterRuns + 1), clusters)) {
        runs_ = std::move(way);
        mode_ = Mode::Runs;
        if (!piecesConfirmed(type)) continue;
        // Two ways the content cannot tell apart: the first is read, and said to be a guess.
        alike = confirmed.has_value();
        if (alike) break;
        confirmed = std::move(runs_);
    }
    mode_ = confirmed ? Mode::Runs : Mode::FreeClusters;
    runs_ = confirmed ? std::move(*confirmed) : std::vector<ClusterRun>{};
    if (confirmed && !alike) piecesRead_ = PiecesRead::Confirmed;
    cursorIndex_ = 0;
    cursorCluster_ = item_.firstCluster();
}

bool FileReader::piecesConfirmed(ContentType type) {
    return contentConfirms(type, item_.size, [this](std::uint64_t offset, MutableBytes out) {
        return offset <= item_.size && out.size() <= item_.size - offset &&
               readFat(offset, out).status == ReadResult::Done;
    });
}

ReadResult FileReader::failure() const { return drive_.sourceLost() ? ReadResult::Lost : ReadResult::Unreadable; }

bool FileReader::inChain(std::uint32_t c) const { return !drive_.fat().isEndOfChain(c) && drive_.fat().usable(c); }

bool FileReader::firstVisit(std::uint32_t c) {
    constexpr std::size_t kFew = 64;
    if (visited_.empty()) {
        if (visitedFew_.empty()) visitedFew_.push_back(item_.firstCluster());
        if (std::find(visitedFew_.begin(), visitedFew_.end(), c) != visitedFew_.end()) {
            chainClosed_ = true;
            return false;
        }
        visitedFew_.push_back(c);
        if (visitedFew_.size() < kFew) return true;
        // A long chain: a bit per cluster of the volume from here on.
        visited_.assign(std::size_t{drive_.fat().lastCluster()} + 1, false);
        for (std::uint32_t v : visitedFew_)
            if (v < visited_.size()) visited_[v] = true;
        return true;
    }
    if (visited_[c]) {
        chainClosed_ = true;
        return false;
    }
    visited_[c] = true;
    return true;
}

void FileReader::forgetVisits() {
    visitedFew_.clear();
    visited_.clear();
    chainClosed_ = false;
}

const ClusterRun* FileReader::runHolding(std::uint64_t index, std::uint64_t& within) const {
    within = index;
    for (const ClusterRun& run : runs_) {
        if (within < run.count) return &run;
        within -= run.count;
    }
    return nullptr;
}

std::optional<std::uint64_t> FileReader::locate(std::uint64_t index) {
    if (mode_ == Mode::Runs) {
        std::uint64_t within = 0;
        const ClusterRun* run = runHolding(index, within);
        if (!run) return std::nullopt;
        return drive_.sectorOfCluster(static_cast<std::uint32_t>(run->first + within));
    }
    if (mode_ == Mode::Contiguous) {
        const std::uint64_t first = drive_.sectorOfCluster(item_.firstCluster());
        if (index > (UINT64_MAX - first) / sectorsPerCluster_) return std::nullopt;
        return first + index * sectorsPerCluster_;
    }
    // A live chain holds a cluster only while every cluster up to it is one the volume has.
    const FatTable& fat = drive_.fat();
    if (index < cursorIndex_) {
        cursorIndex_ = 0;
        cursorCluster_ = item_.firstCluster();
        forgetVisits();
    }
    while (cursorIndex_ < index) {
        if (mode_ == Mode::Chain) {
            if (!inChain(cursorCluster_)) return std::nullopt;
            const std::uint32_t next = fat.next(fat_, cursorCluster_);
            if (!inChain(next) || !firstVisit(next)) return std::nullopt;
            cursorCluster_ = next;
        } else {
            // No free cluster left to take, or an entry on the way that could not be read.
            const std::uint32_t next = fat.nextFree(fat_, cursorCluster_);
            if (next == 0) return std::nullopt;
            cursorCluster_ = next;
        }
        ++cursorIndex_;
    }
    if (mode_ == Mode::Chain && !inChain(cursorCluster_)) return std::nullopt;
    return drive_.sectorOfCluster(cursorCluster_);
}

std::uint64_t FileReader::runFrom(std::uint64_t index, std::uint64_t most) {
    if (mode_ == Mode::Contiguous) return most;
    if (mode_ == Mode::Runs) {
        std::uint64_t within = 0;
        const ClusterRun* run = runHolding(index, within);
        return run ? std::min(most, run->count - within) : 1;
    }
    const FatTable& fat = drive_.fat();
    std::uint64_t count = 1;
    while (count < most) {
        const std::uint32_t c = cursorCluster_;
        const std::uint32_t next = mode_ == Mode::Chain ? fat.next(fat_, c) : fat.nextFree(fat_, c);
        if ((mode_ == Mode::Chain && !inChain(next)) || next == 0) break;
        if (drive_.sectorOfCluster(next) != drive_.sectorOfCluster(c) + sectorsPerCluster_) break;
        // A run can walk into clusters the chain went through before (5 6 7 2 3 4 5): the chain
        // closes there.
        if (mode_ == Mode::Chain && !firstVisit(next)) break;
        cursorCluster_ = next;
        cursorIndex_ = index + count;
        ++count;
    }
    return count;
}

ReadResult FileReader::readPiece(std::uint64_t offset, MutableBytes out) {
    const std::uint32_t bps = drive_.info().bytesPerSector;
    const std::uint64_t within = offset % clusterBytes_;
    const auto sector = locate(offset / clusterBytes_);
    if (!sector) return failure();
    // Only the sectors that hold the piece: a bad sector after a file's end is not the file's.
    const std::uint64_t firstSector = within / bps;
    const std::uint64_t sectors = (within + out.size() + bps - 1) / bps - firstSector;
    bounce_.resize(static_cast<std::size_t>(sectors * bps));
    if (!drive_.readSectors(bounce_, *sector + firstSector, static_cast<std::uint32_t>(sectors))) return failure();
    std::copy_n(bounce_.begin() + static_cast<std::ptrdiff_t>(within % bps), out.size(), out.begin());
    return ReadResult::Done;
}

FileReader::Result FileReader::readFat(std::uint64_t offset, MutableBytes out) {
    const std::uint64_t cs = clusterBytes_;
    const std::uint64_t maxClusters = std::max<std::uint64_t>(1, kMaxRequestBytes / cs);
    Result r{0, ReadResult::Done};
    while (r.bytes < out.size()) {
        const std::uint64_t pos = offset + r.bytes, left = out.size() - r.bytes;
        if (pos % cs != 0 || left < cs) {
            const auto n = static_cast<std::size_t>(std::min(left, cs - pos % cs));
            r.status = readPiece(pos, out.subspan(r.bytes, n));
            if (r.status != ReadResult::Done) return r;
            r.bytes += n;
            continue;
        }
        const std::uint64_t index = pos / cs;
        const auto sector = locate(index);
        if (!sector) {
            r.status = failure();
            return r;
        }
        const std::uint64_t clusters = runFrom(index, std::min(left / cs, maxClusters));
        MutableBytes run = out.subspan(r.bytes, static_cast<std::size_t>(clusters * cs));
        if (drive_.readSectors(run, *sector, static_cast<std::uint32_t>(clusters * sectorsPerCluster_))) {
            r.bytes += run.size();
            continue;
        }
        // Again a cluster at a time: every cluster that can be read arrives, up to the first that
        // cannot.
        for (std::uint64_t k = 0; k < clusters; ++k) {
            if (drive_.sourceLost() ||
                !drive_.readSectors(run.subspan(static_cast<std::size_t>(k * cs), static_cast<std::size_t>(cs)),
                                    *sector + k * sectorsPerCluster_, sectorsPerCluster_)) {
                r.status = failure();
                return r;
            }
            r.bytes += static_cast<std::size_t>(cs);
        }
    }
    return r;
}

void FileReader::planAhead(std::uint64_t offset) {
    // A window of extents at a time, told again halfway through it.
    constexpr std::size_t kPlanExtents = 4096;
    if (offset < planFrom_ || (mode_ == Mode::Ntfs && !data_)) return;
    CInode::Extents plan;
    std::uint64_t size = item_.size;
    if (mode_ == Mode::Ntfs) {
        plan = inode_->sectorsOf(*data_, offset, kPlanExtents);
        size = data_->dataSize();
    } else {
        size = std::min(size, item_.validSize);
        plan.end = std::min(size, planClusters(offset / clusterBytes_, plan.extents, kPlanExtents) * clusterBytes_);
    }
    drive_.willRead(plan.extents);
    planFrom_ = plan.end >= size ? UINT64_MAX : offset + (plan.end - offset) / 2;
}

std::uint64_t FileReader::planClusters(std::uint64_t index, std::vector<SectorExtent>& out, std::size_t most) {
    constexpr std::uint64_t kPlanClusters = 1u << 16;
    const std::uint64_t bytes = std::min(item_.size, item_.validSize);
    const std::uint64_t clusters = bytes / clusterBytes_ + (bytes % clusterBytes_ != 0);
    const std::uint64_t stop = std::min(clusters, index + kPlanClusters);
    auto add = [&](std::uint64_t sector, std::uint64_t count) {
        if (!out.empty() && out.back().first + out.back().count == sector) {
            out.back().count += count;
            return true;
        }
        if (out.size() == most) return false;
        out.push_back({sector, count});
        return true;
    };
    std::uint64_t i = index;
    if (mode_ == Mode::Contiguous || mode_ == Mode::Runs) {
        while (i < stop) {
            const auto sector = locate(i);
            const std::uint64_t n = sector ? runFrom(i, stop - i) : 0;
            if (n == 0 || !add(*sector, n * sectorsPerCluster_)) break;
            i += n;
        }
        return i;
    }
    // Along the chain, or the free clusters, from where the reads stand (the read goes there
    // next), apart from the cursor they move.
    const auto sector = i < stop ? locate(i) : std::nullopt;
    if (!sector || !add(*sector, sectorsPerCluster_)) return i;
    const FatTable& fat = drive_.fat();
    for (std::uint32_t c = cursorCluster_; ++i < stop;) {
        const std::uint32_t next = mode_ == Mode::Chain ? fat.next(fat_, c) : fat.nextFree(fat_, c);
        if ((mode_ == Mode::Chain && !inChain(next)) || next == 0 || !add(drive_.sectorOfCluster(next), sectorsPerCluster_)) break;
        c = next;
    }
    return i;
}

FileReader::Result FileReader::readNtfs(std::uint64_t offset, MutableBytes out) {
    if (!data_) return {0, failure()};
    const std::uint64_t got = inode_->read(*data_, offset, out, out.size());
    if (got == out.size()) return {out.size(), ReadResult::Done};
    // A read ends early at a cluster it cannot read or at the end of the runs. Go on from the
    // last whole cluster it delivered, a cluster at a time: one that yields some bytes counts,
    // with zeros after them; one that yields none ends the read.
    const std::uint64_t cs = clusterBytes_;
    const std::uint64_t resume = std::max(offset, (offset + got) / cs * cs);
    Result r{static_cast<std::size_t>(resume - offset), ReadResult::Done};
    while (r.bytes < out.size()) {
        const std::uint64_t pos = offset + r.bytes;
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(out.size() - r.bytes, cs - pos % cs));
        MutableBytes dst = out.subspan(r.bytes, piece);
        const std::uint64_t n = drive_.sourceLost() ? 0 : inode_->read(*data_, pos, dst, piece);
        if (n == 0) {
            r.status = failure();
            return r;
        }
        std::fill(dst.begin() + static_cast<std::ptrdiff_t>(n), dst.end(), 0);
        r.bytes += piece;
    }
    return r;
}

FileReader::Result FileReader::read(std::uint64_t offset, MutableBytes out) {
    if (!ok_) return {0, failure()};
    if (out.empty()) return {0, ReadResult::Done};
    planAhead(offset);
    if (mode_ == Mode::Ntfs) return readNtfs(offset, out);
    // exFAT: what lies past the valid data length was never written, whatever the clusters hold.
    if (out.size() > item_.validSize || offset > item_.validSize - out.size()) {
        const std::uint64_t valid = offset < item_.validSize ? item_.validSize - offset : 0;
        Result r{0, ReadResult::Done};
        if (valid > 0) r = readFat(offset, out.first(static_cast<std::size_t>(valid)));
        if (r.status != ReadResult::Done) return r;
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(valid), out.end(), 0);
        return {out.size(), ReadResult::Done};
    }
    return readFat(offset, out);
}

CopyResult copyItemData(FileReader& reader, std::uint64_t size, const std::function<bool(Bytes)>& write,
                        const std::function<bool(std::uint64_t)>& afterBlock) {
    const std::uint64_t cs = std::max<std::uint64_t>(reader.clusterBytes(), 1);
    // Whole clusters, so that every block but the last starts and ends on a cluster boundary.
    const std::uint64_t block = std::max(kMaxRequestBytes / cs, std::uint64_t{1}) * cs;
    const PageBuffer page(static_cast<std::size_t>(std::min(block, size)));
    const MutableBytes buffer = page.bytes();
    reader.willReadAll();
    for (std::uint64_t position = 0; position < size;) {
        const auto n = static_cast<std::size_t>(std::min(block, size - position));
        const FileReader::Result r = reader.read(position, buffer.first(n));
        if (r.bytes > 0 && !write(Bytes(buffer).first(r.bytes))) return CopyResult::WriteFailed;
        if (r.status == ReadResult::Lost) return CopyResult::SourceLost;
        if (r.status != ReadResult::Done) return CopyResult::ReadFailed;
        position += n;
        if (afterBlock && !afterBlock(position)) return CopyResult::Cancelled;
    }
    return CopyResult::Done;
}

}  // namespace harrow
