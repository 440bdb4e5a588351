#include "fatfs/fat_table.h"

#include <algorithm>

namespace harrow {

FatTable::FatTable(const DriveInfo& info)
    : bits_(info.fatBits()),
      exfat_(info.isExfat()),
      copyBytes_(std::uint64_t{info.sectorsPerFat} * info.bytesPerSector),
      copies_(info.numberOfFats),
      bytesPerSector_(info.bytesPerSector ? info.bytesPerSector : 512),
      sectorsPerCluster_(info.clusterSectors() ? info.clusterSectors() : 1) {
    // Data clusters are numbered from 2; FAT32's count already includes the two.
    std::uint64_t last = info.fsType == FsType::Fat32 ? info.clusterCount - (info.clusterCount > 0) : info.clusterCount + 1;
    lastCluster_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(last, 0xFFFFFFFFu));
    // A 12-bit entry spans two bytes wherever it starts.
    const std::uint64_t entriesEnd = bits_ == 0    ? 0
                                     : bits_ == 12 ? std::uint64_t{lastCluster_} * 3 / 2 + 2
                                                   : (std::uint64_t{lastCluster_} + 1) * (bits_ / 8);
    keptBytes_ = std::min(copyBytes_, (entriesEnd + bytesPerSector_ - 1) / bytesPerSector_ * bytesPerSector_);
}

void FatTable::setData(std::vector<std::uint8_t> data) {
    data_ = std::move(data);
    if (data_.size() < totalBytes()) data_.resize(totalBytes());
    unknown_.clear();
}

void FatTable::markUnknown(FatIndex copy, std::uint64_t sector) {
    const std::uint64_t perCopy = sectorsPerCopy();
    if (copy < 0 || static_cast<std::uint64_t>(copy) >= copies_ || sector >= perCopy) return;
    if (unknown_.empty()) unknown_.assign(static_cast<std::size_t>(perCopy * copies_), false);
    unknown_[static_cast<std::size_t>(copy * perCopy + sector)] = true;
}

bool FatTable::sectorKnown(FatIndex copy, std::uint64_t byte) const {
    return unknown_.empty() || !unknown_[static_cast<std::size_t>(copy * sectorsPerCopy() + byte / bytesPerSector_)];
}

bool FatTable::known(FatIndex copy, std::uint32_t c) const {
    if (bits_ == 0 || c > lastCluster_ || copy < 0 || static_cast<std::uint64_t>(copy) >= copies_) return true;
    if (!loaded()) return false;
    if (unknown_.empty()) return true;
    // A 12-bit entry may begin at the end of one sector and end in the next.
    const std::uint64_t at = bits_ == 12 ? std::uint64_t{c} * 3 / 2 : std::uint64_t{c} * (bits_ / 8);
    const std::uint64_t last = at + (bits_ == 32 ? 3 : 1);
    return last >= keptBytes_ || (sectorKnown(copy, at) && sectorKnown(copy, last));
}

std::optional<std::uint32_t> FatTable::nextKnown(FatIndex copy, std::uint32_t c) const {
    if (isEndOfChain(c) || known(copy, c)) return next(copy, c);
    for (FatIndex other = 0; other < copies(); ++other)
        if (known(other, c)) return next(other, c);
    return std::nullopt;
}

bool FatTable::wholeCopy(FatIndex copy) const {
    if (bits_ == 0) return true;
    if (!loaded() || copy < 0 || static_cast<std::uint64_t>(copy) >= copies_) return false;
    if (unknown_.empty()) return true;
    const auto begin = unknown_.begin() + static_cast<std::ptrdiff_t>(copy * sectorsPerCopy());
    return std::find(begin, begin + static_cast<std::ptrdiff_t>(sectorsPerCopy()), true) == begin + static_cast<std::ptrdiff_t>(sectorsPerCopy());
}

std::uint32_t FatTable::entry(FatIndex copy, std::uint32_t c) const {
    if (bits_ == 0) return c;
    if (c > lastCluster_ || copy < 0 || static_cast<std::uint64_t>(copy) >= copies_) return 0;
    if (!known(copy, c)) return badValue();
    Bytes table = Bytes(data_).subspan(static_cast<std::size_t>(copy * keptBytes_), static_cast<std::size_t>(keptBytes_));
    switch (bits_) {
        case 32: return le32(table, std::size_t{c} * 4);
        case 16: return le16(table, std::size_t{c} * 2);
        default: {
            std::size_t p = std::size_t{c} * 3 / 2;
            if (!fits(table.size(), p, 2)) return 0;
            return (c & 1) ? (std::uint32_t{table[p + 1]} << 4) | (table[p] >> 4)
                           : (std::uint32_t{table[p + 1] & 0x0Fu} << 8) | table[p];
        }
    }
}

bool FatTable::allocated(std::uint32_t c) const {
    if (c < 2 || c > lastCluster_) return true;
    const std::uint64_t bit = std::uint64_t{c} - 2;
    return bit / 8 >= allocation_.size() || (allocation_[static_cast<std::size_t>(bit / 8)] >> (bit % 8)) & 1;
}

std::uint32_t FatTable::walk(FatIndex copy, std::uint32_t first, std::uint32_t n) const {
    std::uint32_t c = first;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (!usable(c)) return 0;
        c = next(copy, c);
        if (isEndOfChain(c)) return 0;
    }
    return c;
}

std::uint64_t FatTable::sectorsFor(std::uint64_t size) const { return (size + bytesPerSector_ - 1) / bytesPerSector_; }

std::uint64_t FatTable::clustersFor(std::uint64_t size) const {
    return (sectorsFor(size) + sectorsPerCluster_ - 1) / sectorsPerCluster_;
}

bool FatTable::entriesKnown(FatIndex copy, std::uint32_t first, std::uint64_t size) const {
    if (bits_ == 0 || copy < 0 || (loaded() && unknown_.empty())) return true;
    // The reader's own way: through the free clusters after a free first one, else along the
    // chain, as far as the size needs and no further than the volume has clusters.
    const std::uint64_t clusters = std::min<std::uint64_t>(clustersFor(size), std::uint64_t{lastCluster_} + 1);
    const bool freeRun = firstClusterFree(copy, first);
    std::uint32_t c = first;
    for (std::uint64_t i = 1; i < clusters; ++i) {
        if (freeRun) {
            c = nextFree(copy, c);
            if (c == 0) return false;  // an unknown entry lies on the way (or the numbers ran out)
            continue;
        }
        if (!known(copy, c)) return false;
        c = next(copy, c);
        if (isEndOfChain(c) || !usable(c)) return true;  // the chain breaks: a read stops here, nothing guessed
    }
    return true;
}

bool FatTable::chainMatchesSize(FatIndex copy, std::uint32_t first, std::uint64_t size) const {
    // An empty file owns no cluster: no chain is the chain that fits it.
    if (size == 0 && first == 0) return true;
    std::uint64_t s = sectorsFor(size);
    std::uint32_t c = first;
    // A chain longer than the volume has clusters runs in a circle: it cannot end where it should.
    for (std::uint64_t steps = 0; s > 0; ++steps) {
        if (!usable(c) || steps > lastCluster_) return false;
        std::uint64_t e = std::min<std::uint64_t>(sectorsPerCluster_, s);
        c = next(copy, c);
        if (isEndOfChain(c)) return s == e;
        s -= e;
    }
    return isEndOfChain(c);
}

bool FatTable::freeRunFits(FatIndex copy, std::uint32_t first, std::uint64_t size) const {
    std::uint64_t s = sectorsFor(size);
    if (s == 0) return entry(copy, first) == 0;
    for (std::uint32_t c = first; entry(copy, c) == 0; ++c) {
        // Past the last cluster everything reads as free: the run fits.
        if (c > lastCluster_) return true;
        s -= std::min<std::uint64_t>(sectorsPerCluster_, s);
        if (s == 0) return true;
        if (c == 0xFFFFFFFFu) break;
    }
    return false;
}

std::uint32_t FatTable::nextFree(FatIndex copy, std::uint32_t c) const {
    if (exfat_ && hasAllocation()) {
        do ++c;
        while (c <= lastCluster_ && allocated(c));
        return c <= lastCluster_ ? c : 0;
    }
    do {
        ++c;
        if (c <= lastCluster_ && !known(copy, c)) return 0;
    } while (c <= lastCluster_ && c != 0 && entry(copy, c) != 0);
    return c;
}

std::vector<ClusterRun> FatTable::freeRuns(FatIndex copy, std::uint32_t first, std::size_t most) const {
    std::vector<ClusterRun> runs;
    for (std::uint64_t c = std::max<std::uint32_t>(first, 2); c <= lastCluster_; ++c) {
        const auto cluster = static_cast<std::uint32_t>(c);
        if (!known(copy, cluster)) break;
        const bool extends = !runs.empty() && runs.back().first + runs.back().count == cluster;
        if (entry(copy, cluster) != 0 || !extends) {
            // The last run wanted has ended.
            if (runs.size() == most) break;
            if (entry(copy, cluster) == 0) runs.push_back({cluster, 1});
            continue;
        }
        ++runs.back().count;
    }
    return runs;
}

}  // namespace harrow
