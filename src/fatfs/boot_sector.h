// Where the parts of a described FAT or NTFS volume lie, and the label its boot sector keeps.
#pragma once

#include <cstdint>
#include <string>

#include "common/bytes.h"
#include "volume/boot_probe.h"  // the parse of the boot sector, shared with the drive table
#include "volume/drive_info.h"

namespace harrow {

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
