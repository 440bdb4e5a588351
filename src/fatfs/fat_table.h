// All FAT copies of a volume in memory, and what can be asked of them: the entry of a cluster,
// where a chain goes, and whether a file's chain is believable.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/bytes.h"
#include "volume/drive_info.h"

namespace harrow {

// A FAT copy number from 0; kNoFat means clusters are taken as contiguous.
using FatIndex = int;
inline constexpr FatIndex kNoFat = -1;

// Clusters first .. first + count - 1.
struct ClusterRun {
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    bool operator==(const ClusterRun&) const = default;
};

class FatTable {
public:
    FatTable() = default;
    explicit FatTable(const DriveInfo& info);

    // Takes the first bytesPerCopy() of every copy, back to back; every entry is known.
    void setData(std::vector<std::uint8_t> data);
    // Sector `sector` (from the start of copy `copy`) could not be read: its entries are unknown.
    void markUnknown(FatIndex copy, std::uint64_t sector);
    void clear() {
        data_.clear();
        unknown_.clear();
    }
    bool loaded() const { return !data_.empty(); }
    std::uint64_t sectorsPerCopy() const { return keptBytes_ / bytesPerSector_; }

    // Bytes of each copy on the volume.
    std::uint64_t copyBytes() const { return copyBytes_; }
    // Bytes of each copy that hold entries up to the last cluster, in whole sectors: all a load
    // reads. A boot sector may give the FAT far more room than its clusters need.
    std::uint64_t bytesPerCopy() const { return keptBytes_; }
    // Bytes of all copies that a load reads.
    std::uint64_t totalBytes() const { return keptBytes_ * copies_; }
    // FAT copies of the volume; none on NTFS.
    int copies() const { return bits_ == 0 ? 0 : static_cast<int>(copies_); }

    // The highest cluster number a chain may name: the last data cluster. FAT32 counts the two
    // reserved numbers in its cluster count (last = count - 1), FAT12/16 do not (count + 1).
    std::uint32_t lastCluster() const { return lastCluster_; }

    // Entry of cluster `c` in copy `copy`. Clusters past the last and copies that do not exist
    // read as free (0). An entry that could not be read (or a table never loaded) is unknown: it
    // reads as the bad-cluster mark, so that it is never taken for free and no chain goes through
    // it; ask known() before taking a bad mark for one.
    std::uint32_t entry(FatIndex copy, std::uint32_t c) const;
    // Whether the entry of `c` in `copy` was read from the volume.
    bool known(FatIndex copy, std::uint32_t c) const;
    // Whether every entry of the copy was read.
    bool wholeCopy(FatIndex copy) const;
    // The copy marks `c` bad (and this is known, not a gap in the table).
    bool markedBad(FatIndex copy, std::uint32_t c) const { return known(copy, c) && isBad(entry(copy, c)); }

    bool isEndOfChain(std::uint32_t v) const { return bits_ != 0 && v > badValue(); }
    bool isBad(std::uint32_t v) const { return bits_ != 0 && v == badValue(); }
    std::uint32_t next(FatIndex copy, std::uint32_t c) const { return isEndOfChain(c) ? c : entry(copy, c); }
    // next() in `copy`, or where its entry is unknown, in the first copy that knows it; nothing
    // when none does.
    std::optional<std::uint32_t> nextKnown(FatIndex copy, std::uint32_t c) const;
    bool usable(std::uint32_t c) const { return isEndOfChain(c) || (c != 0 && c <= lastCluster_); }

    // exFAT: the allocation bitmap, a bit per cluster from cluster 2, set where it is in use. On
    // exFAT the FAT holds only the chains of fragmented files; the bitmap alone says what is free.
    bool exfat() const { return exfat_; }
    std::uint64_t clusterBytes() const { return std::uint64_t{bytesPerSector_} * sectorsPerCluster_; }
    void setAllocation(std::vector<std::uint8_t> bitmap) { allocation_ = std::move(bitmap); }
    bool hasAllocation() const { return !allocation_.empty(); }
    // Whether the bitmap marks `c` in use; a cluster it does not cover counts as in use, never
    // as free to be recovered.
    bool allocated(std::uint32_t c) const;

    // The cluster `n` steps along the chain from `first`; 0 if the chain breaks or ends first.
    std::uint32_t walk(FatIndex copy, std::uint32_t first, std::uint32_t n) const;

    // Whether reading `size` bytes from `first` through `copy` (along its chain, or through the
    // free clusters when the first is free) needs only entries that were read: a file whose way
    // passes an unknown entry cannot be read through this copy without guessing.
    bool entriesKnown(FatIndex copy, std::uint32_t first, std::uint64_t size) const;

    // Does the chain from `first` end exactly in the cluster holding byte `size` - 1?
    bool chainMatchesSize(FatIndex copy, std::uint32_t first, std::uint64_t size) const;
    // Are enough clusters free from `first` on to hold `size` bytes?
    bool freeRunFits(FatIndex copy, std::uint32_t first, std::uint64_t size) const;
    bool firstClusterFree(FatIndex copy, std::uint32_t first) const { return entry(copy, first) == 0; }

    // The smallest cluster above `c` whose entry is free (clusters past the last count as free);
    // 0 when there is none, or when an unknown entry lies on the way (it might have been free).
    // On exFAT the bitmap says what is free, and nothing past the last cluster is.
    std::uint32_t nextFree(FatIndex copy, std::uint32_t c) const;

    // The runs of free clusters from `first` on (the first run starts there when `first` is
    // free), in cluster order, at most `most` of them. Unlike nextFree(), nothing past the last
    // cluster counts; an unknown entry ends the runs, since it might have been free.
    std::vector<ClusterRun> freeRuns(FatIndex copy, std::uint32_t first, std::size_t most) const;

private:
    std::uint32_t badValue() const {
        return exfat_ ? 0xFFFFFFF7u : bits_ == 32 ? 0x0FFFFFF7u : bits_ == 16 ? 0xFFF7u : 0xFF7u;
    }
    std::uint64_t sectorsFor(std::uint64_t size) const;
    std::uint64_t clustersFor(std::uint64_t size) const;
    bool sectorKnown(FatIndex copy, std::uint64_t byte) const;

    int bits_ = 0;  // 0 on NTFS, where an entry is its own cluster number
    bool exfat_ = false;
    std::vector<std::uint8_t> allocation_;
    std::uint32_t lastCluster_ = 0;
    std::uint64_t copyBytes_ = 0;
    std::uint64_t keptBytes_ = 0;
    std::uint64_t copies_ = 0;
    std::uint32_t bytesPerSector_ = 512;
    std::uint32_t sectorsPerCluster_ = 1;
    std::vector<std::uint8_t> data_;
    // A bit per sector of every copy, set where the sector could not be read; empty when all were.
    std::vector<bool> unknown_;
};

}  // namespace harrow
