#include "fatfs/fat_verdict.h"

namespace harrow {

bool chainDescribesFile(const FatTable& fat, FatIndex copy, const FileItem& item) {
    if (copy < 0 || fat.copies() == 0 || item.size == 0) return true;
    return fat.firstClusterFree(copy, item.firstCluster()) || fat.chainMatchesSize(copy, item.firstCluster(), item.size);
}

bool deletedInPieces(const FatTable& fat, FatIndex copy, const FileItem& item) {
    const std::uint32_t first = item.firstCluster();
    return copy >= 0 && copy < fat.copies() && item.size > 0 && first != 0 && fat.firstClusterFree(copy, first) &&
           !fat.freeRunFits(copy, first, item.size);
}

std::optional<MessageId<>> piecesMessage(PiecesRead how) {
    if (how == PiecesRead::Guessed) return msg::kReadAsGuess;
    if (how == PiecesRead::Confirmed) return msg::kPiecesConfirmed;
    return std::nullopt;
}

FatVerdict fatVerdict(const FatTable& fat, const FileItem& item) {
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
