// Which file system a volume holds, by its boot sector, and where a volume whose first sector is
// damaged keeps a copy. It lives beneath the file-system readers because the drive table asks
// the same question of every partition it lists that the drive asks at an open.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "volume/drive_info.h"
#include "volume/sector_source.h"

namespace harrow {

enum class BootVerdict { Fat, Ntfs, Exfat, Unrecognised };

// Fills `info` from the boot sector (everything but the label). Unrecognised covers a FAT32
// volume without its signature and any geometry that later arithmetic cannot stand: a sector
// size that is not a power of two from 128 to 4096, no sectors per cluster, no FAT copies, or
// FATs and root directory that reach past the end of the volume. A FAT volume has no more
// clusters than its FAT can name. An exFAT volume is described from its boot sector alone (its
// checksum needs the rest of the boot region: see locateBootSector); one whose FATs, heap and
// root do not fit each other and the volume is Unrecognised.
BootVerdict parseBootSector(Bytes sector, DriveInfo& info);

// Whether an exFAT geometry holds together: FATs after the boot regions and before the heap, a
// heap inside the volume, a FAT entry for every cluster, the root among the clusters.
bool exfatGeometryOk(const DriveInfo& info);

// The checksum an exFAT boot region keeps in its twelfth sector, of its first eleven.
std::uint32_t exfatBootChecksum(Bytes region, std::uint32_t bytesPerSector);

// Holds a parsed geometry to the source it came from, `sourceBytes` long when the source knows.
// False when the FAT copies do not fit in it. A source shorter than the volume (a partial image)
// keeps the volume's size, unless the boot sector's total is itself beyond belief (more clusters
// than the FAT can name): then the volume ends where the source does.
bool fitToSource(DriveInfo& info, std::optional<std::uint64_t> sourceBytes);

// Every boot sector is read into a buffer this large, whatever the sector size.
inline constexpr std::size_t kBootBufferBytes = 4112;

// Reads `out.size()` bytes from sector `sector` of `sectorSize` bytes, as SectorSource::read.
using BootReader = std::function<ReadResult(std::uint64_t sector, std::uint32_t sectorSize, MutableBytes out)>;

struct BootLocation {
    ReadResult first = ReadResult::Unreadable;         // how sector 0 read
    BootVerdict verdict = BootVerdict::Unrecognised;   // of the sector found; Unrecognised: none was
    std::uint64_t sector = 0;   // where it lies, in sectors of the size it gives: 0, or a backup's
    std::string fileSystem;     // "FAT12", "FAT16", "FAT32", "NTFS", "exFAT"; empty when none
};

// The sector that describes the volume: sector 0 (read in `deviceSectorSize` bytes) when it does,
// else the first backup that does, looked for in sectors of 512 to 4096 bytes (FAT32: sector 6
// or the one sector 0 names; NTFS: the last sector; exFAT: sector 12). An exFAT boot sector
// describes the volume only when its region's checksum holds; where neither region's does, the
// main one is taken all the same. A backup counts only at the sector size it
// gives, and only when its volume fits the source; none is looked for behind a partition table.
// `out` receives the sector's bytes, or sector 0's as read when none describes the volume. A lost
// source ends the search.
BootLocation locateBootSector(const BootReader& read, std::uint32_t deviceSectorSize,
                              std::optional<std::uint64_t> sourceBytes, std::vector<std::uint8_t>& out);

}  // namespace harrow
