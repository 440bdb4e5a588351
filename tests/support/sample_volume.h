// A small FAT16 volume with something of everything the file list shows: long names, deleted
// files whose clusters are free (all of them, or only the first), a chain that fits in no FAT
// copy and one that fits in one, a deleted directory, and lost directories for the scan to find.
// The GUI tests and the screenshots open it.
#pragma once

#include "support/fat_image.h"
#include "volume/drive_table.h"

namespace harrow::test {

FatImage makeSampleFat();

// A drive-table entry for a volume at `offset` in `path`.
DriveEntry driveEntry(char letter, DriveType type, std::string label, std::string path, std::uint64_t offset = 0);

// Clusters of interest in it.
namespace sample {
inline constexpr std::uint32_t kDocuments = 3;
inline constexpr std::uint32_t kPhotos = 4;
inline constexpr std::uint32_t kLostDir = 50;      // ".." names cluster 60, which is no directory
inline constexpr std::uint32_t kLostRootDir = 55;  // ".." names the root, no root entry names it
inline constexpr std::uint32_t kLastUsed = 64;     // the scan need not look further
}  // namespace sample

}  // namespace harrow::test
