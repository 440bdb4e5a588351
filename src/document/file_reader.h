// Reading one item's bytes, as saving, cat, the viewers and the server read them.
//
// A FAT file's clusters come from its chain in the chosen FAT copy; a deleted file whose first
// cluster is free in that copy is taken to go on through the free clusters after it; with no FAT
// the clusters are taken as contiguous. Where those free clusters cannot hold such a file one
// after another, it lay in pieces: a few other choices of free runs are tried, and one is taken
// when the file's content (JPEG, PNG, ZIP) confirms it and no other. An NTFS file, or one of its named streams, is read
// through its record's data runs (sparse runs and bytes past the initialized size as zeros,
// compressed units decompressed).
// Consecutive clusters are read in requests of up to a megabyte. A request that fails is read
// again cluster by cluster, so what arrives, and where it stops, are exactly what a copy made one
// cluster at a time would give: every cluster before the first that cannot be read.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "common/bytes.h"
#include "document/content_check.h"
#include "document/drive.h"
#include "fatfs/fat_verdict.h"
#include "items/file_item.h"
#include "ntfs/inode.h"

namespace harrow {

class FileReader {
public:
    struct Result {
        std::size_t bytes;  // delivered from the start of the buffer, in whole clusters unless Done
        ReadResult status;  // Done when all of it arrived
    };

    // Begins reading `item` through FAT copy `fat` (not used on NTFS). The reader keeps its own
    // position, so several may read the same drive at once.
    FileReader(CDrive& drive, const FileItem& item, FatIndex fat);

    // False when the item cannot be read at all (NTFS: its file record cannot be loaded).
    bool ok() const { return ok_; }
    // Whether reading stopped where the FAT chain comes back to a cluster it already went
    // through: nothing from there on is the file's, so nothing is read twice.
    bool chainClosed() const { return chainClosed_; }
    std::uint32_t clusterBytes() const { return clusterBytes_; }
    // How a deleted file that lay in pieces was read; NotInPieces for every other file.
    PiecesRead piecesRead() const { return piecesRead_; }

    // Reads `out.size()` bytes at `offset`.
    Result read(std::uint64_t offset, MutableBytes out);
    // The reads to come go through the item front to back: the drive's source is told, ahead of
    // them, where they lead.
    void willReadAll() { planFrom_ = 0; }

private:
    // Where file cluster `index` lies (its first sector); nothing when the chain does not reach it.
    std::optional<std::uint64_t> locate(std::uint64_t index);
    // How many of the clusters from `index` on (at most `most`) lie one after another on the
    // volume; `index` must have just been located.
    std::uint64_t runFrom(std::uint64_t index, std::uint64_t most);
    // The run of runs_ that holds file cluster `index`, and where in it; nothing past their end.
    const ClusterRun* runHolding(std::uint64_t index, std::uint64_t& within) const;
    Result readFat(std::uint64_t offset, MutableBytes out);
    Result readNtfs(std::uint64_t offset, MutableBytes out);
    // Tells the source the sectors of the reads from `offset` on, once the part told before
    // runs short.
    void planAhead(std::uint64_t offset);
    // Adds the sectors of file clusters from `index` on to `out`, at most `most` extents; returns
    // the cluster reached.
    std::uint64_t planClusters(std::uint64_t index, std::vector<SectorExtent>& out, std::size_t most);
    // One cluster, or the part of it that holds [offset, offset + out.size()).
    ReadResult readPiece(std::uint64_t offset, MutableBytes out);
    ReadResult failure() const;
    // Whether a live chain may hold `c`: a cluster the volume has, not an end-of-chain mark.
    bool inChain(std::uint32_t c) const;
    // Notes that the chain goes on to `c`; false (and the chain counts as closed) when it has
    // been there before.
    bool firstVisit(std::uint32_t c);
    void forgetVisits();
    // For a deleted file in pieces: the free runs its content confirms, if any.
    void findPieces();
    // Whether the bytes read through runs_ are the file as its content check sees it.
    bool piecesConfirmed(ContentType type);

    // Runs: the clusters of runs_, in order.
    enum class Mode { Chain, FreeClusters, Runs, Contiguous, Ntfs };

    CDrive& drive_;
    FileItem item_;
    FatIndex fat_;
    Mode mode_ = Mode::Chain;
    bool ok_ = true;
    std::uint32_t clusterBytes_ = 0;
    std::uint32_t sectorsPerCluster_ = 0;
    // Where the last lookup along the chain stood, so that a file read front to back is walked
    // once.
    std::uint64_t cursorIndex_ = 0;
    std::uint32_t cursorCluster_ = 0;
    // The clusters the chain has gone through: a short list for small files, a bitmap over the
    // volume's clusters once a chain grows long.
    std::vector<std::uint32_t> visitedFew_;
    std::vector<bool> visited_;
    bool chainClosed_ = false;
    std::vector<ClusterRun> runs_;
    PiecesRead piecesRead_ = PiecesRead::NotInPieces;
    std::unique_ptr<CInode> inode_;
    const AttrEntry* data_ = nullptr;  // the stream read: the unnamed one, or the item's named one
    // From which offset on the reads are told to the source next; none while they are not.
    std::uint64_t planFrom_ = UINT64_MAX;
    std::vector<std::uint8_t> bounce_;
};

enum class CopyResult { Done, ReadFailed, WriteFailed, SourceLost, Cancelled };

// Reads the first `size` bytes of the item in blocks of a megabyte (or a cluster, where clusters
// are larger) and hands each to `write` (false: the write failed). After a read error the clusters
// before the one that failed are still handed on. `afterBlock` hears how many bytes are done and
// returns false to stop there.
CopyResult copyItemData(FileReader& reader, std::uint64_t size, const std::function<bool(Bytes)>& write,
                        const std::function<bool(std::uint64_t)>& afterBlock = {});

}  // namespace harrow
