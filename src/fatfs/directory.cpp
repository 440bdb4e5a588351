#include "fatfs/directory.h"

#include <vector>

#include "fatfs/boot_sector.h"

namespace harrow {

std::uint32_t directoryCluster(const DriveInfo& info, std::uint32_t cluster) {
    return info.fsType == FsType::Fat32 && cluster == 0 ? info.rootCluster : cluster;
}

DirWalkStatus walkDirectory(Volume& volume, const FatTable& fat, std::uint32_t cluster, const DirWalkOptions& options,
                            const std::function<bool(const DirEntryRef&)>& visit) {
    const DriveInfo& info = volume.info();
    const std::uint32_t bps = info.bytesPerSector;
    const std::uint32_t spc = info.sectorsPerCluster;
    if (bps < kDirEntrySize || spc == 0) return DirWalkStatus::ReadError;

    // A directory holds at most 65536 entries (2 MiB); the fixed root of FAT12/16 as many as the
    // boot sector gives it room for.
    const bool fixedRoot = info.fsType != FsType::Fat32 && cluster == info.rootCluster && info.rootEntries != 0;
    const std::uint32_t maxEntries = fixedRoot ? info.rootEntries : kMaxDirectoryEntries;
    const std::uint32_t maxSectors = maxEntries * kDirEntrySize / bps;
    const std::uint32_t perSector = bps / kDirEntrySize;

    std::vector<std::uint8_t> sector(bps);
    std::uint64_t next = sectorOfCluster(info, cluster);
    std::uint32_t cursor = cluster;
    LongNameAssembler longName;

    for (std::uint32_t i = 0; i < maxSectors; ++i) {
        const std::uint64_t current = next;
        if (!volume.readSectors(sector, current, 1)) return DirWalkStatus::ReadError;

        bool lastSector = false;
        next = current + 1;
        if (options.dirFat >= 0 && fat.usable(cursor) && i % spc == spc - 1) {
            // Where the chosen copy could not be read, the chain goes on as another copy has it;
            // where none could, what follows is not known to be the directory's.
            auto known = fat.nextKnown(options.dirFat, cursor);
            if (!known) return DirWalkStatus::ReadError;
            cursor = *known;
            if (fat.isEndOfChain(cursor))
                lastSector = true;
            else if (fat.usable(cursor))
                next = sectorOfCluster(info, cursor);
        }

        Bytes bytes(sector);
        const bool checkDots = options.requireDots && i == 0;
        if (checkDots) {
            if (!isDotEntry(bytes.subspan(0, kDirEntrySize)) || !isDotDotEntry(bytes.subspan(kDirEntrySize, kDirEntrySize)))
                return DirWalkStatus::NotADirectory;
            if (options.selfCluster && firstClusterOfEntry(info, bytes.subspan(0, kDirEntrySize)) != *options.selfCluster)
                return DirWalkStatus::NotADirectory;
        }

        for (std::uint32_t k = 0; k < perSector; ++k) {
            Bytes e = bytes.subspan(std::size_t{k} * kDirEntrySize, kDirEntrySize);
            // The first two slots are "." and ".." by their place, whatever attributes a damaged
            // entry gives them: the lists tell them from entries merely so named by position.
            if (checkDots && k < 2) {
                if (!visit(DirEntryRef{e, EntryClass::Directory, std::nullopt, true, i, k})) return DirWalkStatus::Stopped;
                continue;
            }
            EntryClass c = classify(e);
            if (c == EntryClass::End) return DirWalkStatus::Finished;
            if (c == EntryClass::LongName) {
                longName.feed(e);
                continue;
            }
            DirEntryRef ref{e, c, longName.take(e), false, i, k};
            if (!visit(ref)) return DirWalkStatus::Stopped;
        }
        if (lastSector) break;
    }
    return DirWalkStatus::Finished;
}

}  // namespace harrow
