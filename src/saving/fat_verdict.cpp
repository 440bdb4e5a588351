#include "saving/fat_verdict.h"

#include "volume/drive.h"

namespace harrow {

FatVerdict fatVerdict(CDrive& drive, const FileItem& item) {
    if (drive.info().isNtfs()) return VERDICT_FITS;
    const FatTable& fat = drive.fat();
    const std::uint32_t first = item.firstCluster();
    std::uint16_t icon = VERDICT_FITS;
    for (int i = 0; i < drive.info().numberOfFats; ++i) {
        if (!drive.beginRead(item, i)) continue;
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
        drive.endRead();
    }
    return static_cast<FatVerdict>(icon);
}

}  // namespace harrow
