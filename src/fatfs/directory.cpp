#include "fatfs/directory.h"

#include <vector>

#include "volume/drive.h"

namespace harrow {

std::uint32_t directoryCluster(const CDrive& drive, std::uint32_t cluster) {
    const DriveInfo& info = drive.info();
    return info.fsType == FsType::Fat32 && cluster == 0 ? info.rootCluster : cluster;
}

DirWalkStatus walkDirectory(CDrive& drive, std::uint32_t cluster, const DirWalkOptions& options,
                            const std::function<bool(const DirEntryRef&)>& visit) {
    const DriveInfo& info = drive.info();
    const FatTable& fat = drive.fat();
    const std::uint32_t bps = info.bytesPerSector;
    const std::uint32_t spc = info.sectorsPerCluster;
    if (bps < kDirEntrySize || spc == 0) return DirWalkStatus::ReadError;

    const std::uint32_t maxEntries = cluster == info.rootCluster && info.rootEntries != 0 ? info.rootEntries : 0x7FFF;
    const std::uint32_t maxSectors = maxEntries * kDirEntrySize / bps;
    const std::uint32_t perSector = bps / kDirEntrySize;

    std::vector<std::uint8_t> sector(bps);
    std::uint64_t next = drive.sectorOfCluster(cluster);
    std::uint32_t cursor = cluster;
    LongNameAssembler longName;

    for (std::uint32_t i = 0; i < maxSectors; ++i) {
        const std::uint64_t current = next;
        if (!drive.readSectors(sector, current, 1)) return DirWalkStatus::ReadError;

        bool lastSector = false;
        next = current + 1;
        if (options.dirFat >= 0 && fat.usable(cursor) && i % spc == spc - 1) {
            cursor = fat.next(options.dirFat, cursor);
            if (fat.isEndOfChain(cursor))
                lastSector = true;
            else if (fat.usable(cursor))
                next = drive.sectorOfCluster(cursor);
        }

        Bytes bytes(sector);
        const bool checkDots = options.requireDots && i == 0;
        if (checkDots) {
            if (!isDotEntry(bytes.subspan(0, kDirEntrySize)) || !isDotDotEntry(bytes.subspan(kDirEntrySize, kDirEntrySize)))
                return DirWalkStatus::NotADirectory;
            if (options.selfCluster && drive.firstCluster(bytes.subspan(0, kDirEntrySize)) != *options.selfCluster)
                return DirWalkStatus::NotADirectory;
        }

        for (std::uint32_t k = 0; k < perSector; ++k) {
            Bytes e = bytes.subspan(std::size_t{k} * kDirEntrySize, kDirEntrySize);
            EntryClass c = classify(e);
            if (c == EntryClass::End) return DirWalkStatus::Finished;
            if (c == EntryClass::LongName) {
                longName.feed(e);
                continue;
            }
            DirEntryRef ref{e, c, longName.take(), checkDots && k < 2, i, k};
            if (!visit(ref)) return DirWalkStatus::Stopped;
        }
        if (lastSector) break;
    }
    return DirWalkStatus::Finished;
}

}  // namespace harrow
