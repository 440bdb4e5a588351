// Walking a FAT directory on the volume sector by sector, following its chain at cluster
// boundaries through the directory FAT. Listing, naming found directories and the naming pass
// all read directories this one way.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

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
    // A directory whose chain is gone (its first cluster free in dirFat, or no FAT followed) goes
    // on in these clusters, when the disk scan found which continue it; else in the free clusters
    // after its first, guessed one by one while they read as a directory.
    const std::vector<std::uint32_t>* followers = nullptr;
};

inline constexpr std::uint32_t kMaxDirectoryEntries = 65536;

enum class DirWalkStatus { Finished, Stopped, ReadError, NotADirectory };

struct DirWalk {
    DirWalkStatus status = DirWalkStatus::Finished;
    // Entries left out because they cannot be entries (only where the chain is gone).
    std::uint32_t skipped = 0;
    // The guess of a directory whose chain is gone met a cluster that does not continue it before
    // the directory ended: it goes on somewhere else.
    bool goesOnElsewhere = false;
};

// Could these 32 bytes (not a free slot) be an entry a FAT driver wrote on this volume: a
// long-name piece of sound ordinal and zero cluster, or a short entry with attribute bits a
// driver sets, name bytes a short name can hold, a first cluster inside the volume, a size the
// volume can hold, and a write date (and other dates where set) the clock could have given
// (in 1980 up to next year)?
bool plausibleEntry(const DriveInfo& info, Bytes entry);

// What a cluster's 32-byte slots say of it: whether it starts a directory, how many slots hold
// entries and how many cannot, and whether it ends one.
struct ClusterLook {
    bool dots = false;              // begins with "." and ".."
    std::uint32_t entries = 0;      // plausible entries and long-name pieces
    std::uint32_t junk = 0;         // slots before the end that hold no entry a driver wrote
    bool ended = false;             // a free slot ends the directory here
    std::uint32_t litter = 0;       // slots after the end that are not free
};
ClusterLook lookAtCluster(const DriveInfo& info, Bytes cluster);
// A cluster that is not a directory's first may be one of its later clusters: its first slot
// holds an entry, at most a quarter of its slots do not, and every slot after the end is free.
bool continuesDirectory(const DriveInfo& info, Bytes cluster);

// The cluster a directory reference really means: ".." entries name the FAT32 root as 0.
std::uint32_t directoryCluster(const DriveInfo& info, std::uint32_t cluster);

// Calls `visit` for every entry that is neither a long-name piece nor the end; `visit` returns
// false to stop. The walk ends at an end entry, at the end of the chain, or after the most
// entries a directory may hold (the root-entry count for the FAT12/16 root, else 65536). Where
// the chain is gone, the walk leaves out entries that cannot be entries, and ends before a
// guessed cluster that does not continue the directory.
DirWalk walkDirectory(Volume& volume, const FatTable& fat, std::uint32_t cluster, const DirWalkOptions& options,
                            const std::function<bool(const DirEntryRef&)>& visit);

}  // namespace harrow
