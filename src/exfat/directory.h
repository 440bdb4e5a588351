// exFAT directories: reading a directory's clusters, listing its entry sets as items, and the
// root's own entries (the allocation bitmap, the up-case table and the volume label).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "exfat/entry_set.h"
#include "fatfs/fat_table.h"
#include "items/file_item.h"
#include "volume/volume.h"

namespace harrow::exfat {

// The largest directory the format allows.
inline constexpr std::uint64_t kMaxDirectoryBytes = 256u << 20;

// Where a directory lies: the root by its chain alone; any other as its entry set gives it.
struct DirectoryPlace {
    std::uint32_t first = 0;
    std::optional<std::uint64_t> bytes;  // none for the root
    bool contiguous = false;
};

// The place of a listed directory item.
DirectoryPlace placeOf(const FileItem& dir);

// Reads a directory's bytes into `out`: a contiguous one (or any, with no FAT copy) from its
// first cluster on, else along its chain in `copy` until it ends, leaves the heap or comes back
// on itself; never more than its length or kMaxDirectoryBytes. False when a cluster could not be
// read (`out` holds what came before it) or the first is no cluster of the heap.
bool readDirectory(Volume& volume, const FatTable& fat, FatIndex copy, const DirectoryPlace& place,
                   std::vector<std::uint8_t>& out);

struct Listing {
    ItemList items;
    // Entry sets in use that could not be listed: broken, failing their checksum, or naming
    // clusters or lengths the volume does not have.
    std::size_t skipped = 0;
};

// The items of a directory's bytes in entry order, up to its end mark: files and directories
// in use and (with `withDeleted`) deleted ones, named with a leading '#'. A deleted set counts
// only when it still adds up to its checksum and its clusters lie in the heap; one that does not
// was overwritten in part, and is passed over without a word. `topLevel`: the root's, whose
// directories are of the root list's kind.
Listing listEntries(Bytes directory, const DriveInfo& info, bool withDeleted, bool topLevel);

// Whether a cluster (or its first sector) may begin a directory: its first entry starts an entry
// set, in use or deleted, that adds up to its checksum, or it is a root's own entry. The later
// clusters of a large directory look the same; only the sets that name it tell them apart.
bool startsDirectory(Bytes cluster);

struct RootEntries {
    std::optional<std::uint32_t> bitmapCluster;
    std::uint64_t bitmapBytes = 0;
    std::optional<std::uint32_t> upcaseCluster;
    std::uint64_t upcaseBytes = 0;
    std::string label;
};

// The root directory's own entries. Of two bitmaps (a volume with two FATs) the first is taken.
RootEntries rootEntries(Bytes root);

// Reads the first `bytes` bytes of a system file (bitmap, up-case table) from `first`: along its
// chain in the first FAT copy, or one cluster after another where the FAT holds no chain for
// it. Nothing when it does not lie in the heap, is longer than `most`, or cannot be read.
std::optional<std::vector<std::uint8_t>> readSystemFile(Volume& volume, const FatTable& fat, std::uint32_t first,
                                                        std::uint64_t bytes, std::uint64_t most);

}  // namespace harrow::exfat
