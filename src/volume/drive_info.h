// The drive description record: what the boot sector says about a volume's geometry. It is also
// an exchange format (image-file headers, the server's open-drive reply), so it has a fixed
// 134-byte little-endian layout, written and read field by field.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/bytes.h"

namespace harrow {

enum class FsType : std::uint16_t { Fat1x = 1, Fat32 = 2, Ntfs = 3, Exfat = 4 };

struct DriveInfo {
    static constexpr std::size_t kSize = 134;

    // Byte offsets of the on-wire layout.
    enum Offset : std::size_t {
        kLabel = 0,               // 50 bytes, NUL-terminated
        kFsName = 50,             // 10 bytes, NUL-terminated
        kFsType = 60,
        kBytesPerSector = 62,
        kSectorsPerCluster = 64,
        kReservedSectors = 65,
        kNumberOfFats = 67,
        kRootEntries = 68,
        kTotalSectors = 70,
        kSectorsPerFat = 74,
        kSectorsPerTrack = 78,
        kHeads = 80,
        kRootCluster = 82,
        kBytesPerCluster = 86,
        kBytesPerFileRecord = 90,
        kClustersPerFileRecord = 94,
        kSectorsPerFileRecord = 98,
        kBytesPerIndexRecord = 102,
        kClustersPerIndexRecord = 106,
        kMftCluster = 110,
        kClusterCount = 118,
        kSectorsPerCylinder = 126,
        // exFAT has no file records: its FAT and heap offsets and its length travel in their places.
        kExfatFatOffset = kBytesPerFileRecord,
        kExfatHeapOffset = kClustersPerFileRecord,
        kExfatVolumeSectors = kMftCluster,
    };
    static constexpr std::size_t kLabelBytes = 50;
    static constexpr std::size_t kFsNameBytes = 10;

    std::string label;   // at most 49 bytes travel
    std::string fsName;  // "FAT12", "FAT16", "FAT32", "NTFS", "exFAT" or "Unknown"
    FsType fsType = FsType::Fat1x;
    std::uint16_t bytesPerSector = 0;
    std::uint8_t sectorsPerCluster = 0;
    std::uint16_t reservedSectors = 0;
    std::uint8_t numberOfFats = 0;
    std::uint16_t rootEntries = 0;
    std::uint32_t totalSectors = 0;
    std::uint32_t sectorsPerFat = 0;
    std::uint16_t sectorsPerTrack = 0;
    std::uint16_t heads = 0;
    std::uint32_t rootCluster = 0;
    std::uint32_t bytesPerCluster = 0;
    std::uint32_t bytesPerFileRecord = 0;
    std::uint32_t clustersPerFileRecord = 0;
    std::uint32_t sectorsPerFileRecord = 0;
    std::uint32_t bytesPerIndexRecord = 0;
    std::uint32_t clustersPerIndexRecord = 0;
    std::uint64_t mftCluster = 0;
    std::uint64_t clusterCount = 0;
    std::uint64_t sectorsPerCylinder = 0;
    // exFAT: where the first FAT and the cluster heap begin, and the volume's length, in sectors.
    // Its cluster count is that of the heap (clusters 2 to count + 1), like FAT12/16's.
    std::uint32_t fatOffset = 0;
    std::uint32_t heapOffset = 0;
    std::uint64_t volumeSectors = 0;

    std::array<std::uint8_t, kSize> serialize() const;
    static DriveInfo deserialize(Bytes record);  // a short record reads as zeros past its end

    // Sectors per cluster as a number. The boot field is one byte: NTFS volumes with clusters of
    // 128 sectors and more store a negative power of two there (0xF4: 2^12 sectors, 2 MiB
    // clusters), which the record keeps as it stands.
    std::uint32_t clusterSectors() const;

    // 12-, 16- or 32-bit FAT entries, as the type and name decide.
    int fatBits() const;
    bool isNtfs() const { return fsType == FsType::Ntfs; }
    bool isExfat() const { return fsType == FsType::Exfat; }
    // Sector where the data clusters begin (cluster 2); FAT and exFAT only.
    std::uint64_t dataStartSector() const;
    // Sector where the first FAT copy begins; FAT and exFAT only.
    std::uint64_t fatStartSector() const { return isExfat() ? fatOffset : reservedSectors; }
};

}  // namespace harrow
