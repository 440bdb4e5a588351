// Walking a FAT directory on the volume sector by sector, following its chain at cluster
// boundaries through the directory FAT. Listing, naming found directories and the naming pass
// all read directories this one way.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/bytes.h"
#include "fatfs/dir_entry.h"
#include "fatfs/fat_table.h"
#include "volume/volume.h"

namespace harrow {

struct DirEntryRef {
    Bytes raw;                            // the 32-byte short entry
    EntryClass kind;                      // Directory, File or VolumeLabel
    std::optional<std::string> longName;  // the long name right before it; "#" and the name when
                                          // the entry is deleted (see LongNameAssembler)
    bool dotEntry;                        // "." or ".." at the head of a checked directory (always
                                          // visited, as a Directory)
    std::uint32_t sectorIndex;
    std::uint32_t position;               // entry number within its sector

    // What the lists call the entry: its long name, else its short name.
    std::string listedName() const { return longName ? *longName : shortName(raw); }
};

struct DirWalkOptions {
    FatIndex dirFat = 0;
    // The first sector must begin with "." and ".." (every directory but the root).
    bool requireDots = false;
    // When set, the "." entry must also name this cluster.
    std::optional<std::uint32_t> selfCluster;
};

inline constexpr std::uint32_t kMaxDirectoryEntries = 65536;

enum class DirWalkStatus { Finished, Stopped, ReadError, NotADirectory };

// The cluster a directory reference really means: ".." entries name the FAT32 root as 0.
std::uint32_t directoryCluster(const DriveInfo& info, std::uint32_t cluster);

// Calls `visit` for every entry that is neither a long-name piece nor the end; `visit` returns
// false to stop. The walk ends at an end entry, at the end of the chain, or after the most
// entries a directory may hold (the root-entry count for the FAT12/16 root, else 65536).
DirWalkStatus walkDirectory(Volume& volume, const FatTable& fat, std::uint32_t cluster, const DirWalkOptions& options,
                            const std::function<bool(const DirEntryRef&)>& visit);

}  // namespace harrow
