// Reading sector 0: which file system a volume holds and where its parts lie.
#pragma once

#include <cstdint>
#include <optional>

#include "common/bytes.h"
#include "volume/drive_info.h"

namespace harrow {

enum class BootVerdict { Fat, Ntfs, Unrecognised };

// Fills `info` from the boot sector (everything but the label). Unrecognised covers a FAT32
// volume without its signature and any geometry that later arithmetic cannot stand: a sector
// size that is not a power of two from 128 to 4096, no sectors per cluster, no FAT copies, or
// FATs and root directory that reach past the end of the volume. A FAT volume has no more
// clusters than its FAT can name.
BootVerdict parseBootSector(Bytes sector, DriveInfo& info);

// Holds a parsed geometry to the source it came from, `sourceBytes` long when the source knows.
// False when the FAT copies do not fit in it. A source shorter than the volume (a partial image)
// keeps the volume's size, unless the boot sector's total is itself beyond belief (more clusters
// than the FAT can name): then the volume ends where the source does.
bool fitToSource(DriveInfo& info, std::optional<std::uint64_t> sourceBytes);

// First sector of cluster `c`. On FAT12/16 clusters 0 and 1 stand for the fixed root directory;
// on FAT32 they wrap far past the volume; on NTFS clusters count from sector 0.
std::uint64_t sectorOfCluster(const DriveInfo& info, std::uint32_t c);

// First cluster named by a 32-byte directory entry (the high half only counts on FAT32).
std::uint32_t firstClusterOfEntry(const DriveInfo& info, Bytes entry);

// The volume label of the BIOS parameter block, blanks trimmed; empty for "NO NAME".
std::string bootSectorLabel(Bytes sector, const DriveInfo& info);

// An 11-byte FAT label as text: cut at a NUL, trailing blanks trimmed, decoded from the OEM code page.
std::string fatLabelText(Bytes field);

}  // namespace harrow
