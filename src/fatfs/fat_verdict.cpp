#include "fatfs/fat_verdict.h"

namespace harrow {

namespace {

FatVerdict exfatVerdict(const FatTable& fat, const FileItem& item) {
    if (item.size == 0 || item.firstCluster() == 0) return item.deleted ? VERDICT_DELETED_FREE_RUN : VERDICT_FITS;
    const std::uint64_t clusterBytes = fat.clusterBytes();
    const std::uint64_t clusters = (item.size + clusterBytes - 1) / clusterBytes;
    const bool chained = exfatFollowsChain(fat, 0, item);
    if (!item.deleted && chained && !fat.chainMatchesSize(0, item.firstCluster(), item.size)) return VERDICT_FITS_NONE;
    // A chain that fits ends after `clusters` steps; a run stops at the volume's last cluster.
    std::uint64_t free = 0, seen = 0;
    for (std::uint64_t c = item.firstCluster(); seen < clusters && c >= 2 && c <= fat.lastCluster(); ++seen) {
        const auto cluster = static_cast<std::uint32_t>(c);
        free += !fat.allocated(cluster);
        c = chained ? fat.next(0, cluster) : c + 1;
    }
    // Clusters the volume does not have are no file's: a run past its end fits nothing.
    if (seen < clusters) return VERDICT_FITS_NONE;
    if (!item.deleted) return free == 0 ? VERDICT_FITS : VERDICT_FITS_NONE;
    return free == clusters ? VERDICT_DELETED_FREE_RUN : free > 0 ? VERDICT_DELETED_FIRST_FREE : VERDICT_FITS_NONE;
}

}  // namespace

bool exfatFollowsChain(const FatTable& fat, FatIndex copy, const FileItem& item) {
    if (item.contiguous || copy < 0) return false;
    return !item.deleted || fat.chainMatchesSize(copy, item.firstCluster(), item.size);
}

bool chainDescribesFile(const FatTable& fat, FatIndex copy, const FileItem& item) {
    if (copy < 0 || fat.copies() == 0 || item.size == 0) return true;
    if (fat.exfat()) return !exfatFollowsChain(fat, copy, item) || fat.chainMatchesSize(copy, item.firstCluster(), item.size);
    return fat.firstClusterFree(copy, item.firstCluster()) || fat.chainMatchesSize(copy, item.firstCluster(), item.size);
}

bool deletedInPieces(const FatTable& fat, FatIndex copy, const FileItem& item) {
    const std::uint32_t first = item.firstCluster();
    return !fat.exfat() && copy >= 0 && copy < fat.copies() && item.size > 0 && first != 0 && fat.firstClusterFree(copy, first) &&
           !fat.freeRunFits(copy, first, item.size);
}

std::optional<MessageId<>> piecesMessage(PiecesRead how) {
    if (how == PiecesRead::Guessed) return msg::kReadAsGuess;
    if (how == PiecesRead::Confirmed) return msg::kPiecesConfirmed;
    return std::nullopt;
}

FatVerdict fatVerdict(const FatTable& fat, const FileItem& item) {
    if (fat.exfat()) return exfatVerdict(fat, item);
    const std::uint32_t first = item.firstCluster();
    std::uint16_t icon = VERDICT_FITS;
    for (int i = 0; i < fat.copies(); ++i) {
        if (fat.freeRunFits(i, first, item.size)) {
            icon = VERDICT_DELETED_FREE_RUN;
        } else if (fat.firstClusterFree(i, first)) {
            icon = VERDICT_DELETED_FIRST_FREE;
        } else if (!fat.chainMatchesSize(i, first, item.size)) {
            if (i == 0)
                icon = VERDICT_FITS_NONE;
            else if (icon == VERDICT_FITS)
                icon = VERDICT_FITS_SOME;
        } else if (icon == VERDICT_FITS_NONE) {
            icon = VERDICT_FITS_SOME;
        }
    }
    return static_cast<FatVerdict>(icon);
}

}  // namespace harrow
