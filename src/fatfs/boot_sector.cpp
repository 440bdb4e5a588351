#include "fatfs/boot_sector.h"

#include <algorithm>

#include "common/text.h"

#include <bit>
#include <optional>

namespace harrow {
namespace {

// Boot-sector offsets of the fields we read.
enum : std::size_t {
    kOemName = 0x03,
    kBytesPerSector = 0x0B,
    kSectorsPerCluster = 0x0D,
    kReservedSectors = 0x0E,
    kNumberOfFats = 0x10,
    kRootEntries = 0x11,
    kTotalSectors16 = 0x13,
    kSectorsPerFat16 = 0x16,
    kSectorsPerTrack = 0x18,
    kHeads = 0x1A,
    kTotalSectors32 = 0x20,
    kFat16Label = 0x2B,
    kFat16Type = 0x36,
    kFat32SectorsPerFat = 0x24,
    kFat32RootCluster = 0x2C,
    kFat32Signature = 0x42,
    kFat32Label = 0x47,
    kFat32Type = 0x52,
    kNtfsTotalSectors = 0x28,
    kNtfsMftCluster = 0x30,
    kNtfsFileRecordSize = 0x40,
    kNtfsIndexRecordSize = 0x44,
};

bool plausibleSectorSize(std::uint16_t bps) { return bps >= 128 && bps <= 4096 && std::has_single_bit(bps); }

std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0); }

// The most data clusters a FAT can name. Cluster numbers start at 2 and end below the bad-cluster
// mark (0x0FFFFFF7 on FAT32; FAT12 and FAT16 directory entries hold 16 bits, so both stop below
// 0xFFF7), and the FAT must hold an entry for each. Clusters past that are not the file system's,
// whatever the total sector count says.
std::uint64_t nameableClusters(const DriveInfo& info) {
    const int bits = info.fatBits();
    const std::uint64_t entries = std::uint64_t{info.sectorsPerFat} * info.bytesPerSector * 8 / bits;
    const std::uint64_t limit = bits == 32 ? 0x0FFFFFF5u : 0xFFF5u;
    return std::min(limit, entries > 2 ? entries - 2 : 0);
}

// Bytes per file or index record from its boot field: up to 0x80 it counts clusters; above, its
// low byte is a negative power of two (0xF6 = 2^10 = 1024, 0xF4 = 4096). Nothing when the size
// is not one a record can have (at most 64 KiB).
std::optional<std::uint32_t> recordBytes(std::uint32_t field, std::uint32_t bytesPerCluster) {
    if (field <= 0x80) {
        std::uint64_t bytes = std::uint64_t{field} * bytesPerCluster;
        return bytes > 0 && bytes <= 0x10000 ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(bytes)) : std::nullopt;
    }
    int shift = -static_cast<std::int8_t>(field & 0xFF);
    return shift >= 8 && shift <= 16 ? std::optional<std::uint32_t>(1u << shift) : std::nullopt;
}

bool setupNtfs(Bytes b, DriveInfo& info) {
    if (info.clusterSectors() == 0 || std::uint64_t{info.bytesPerSector} * info.clusterSectors() > (1u << 31)) return false;
    info.bytesPerCluster = std::uint32_t{info.bytesPerSector} * info.clusterSectors();
    info.clustersPerFileRecord = le32(b, kNtfsFileRecordSize);
    info.clustersPerIndexRecord = le32(b, kNtfsIndexRecordSize);
    info.mftCluster = le64(b, kNtfsMftCluster);
    info.clusterCount = le64(b, kNtfsTotalSectors) / info.clusterSectors();
    auto fileRecord = recordBytes(info.clustersPerFileRecord, info.bytesPerCluster);
    auto indexRecord = recordBytes(info.clustersPerIndexRecord, info.bytesPerCluster);
    // A record holds whole sectors, or its update sequence cannot be checked.
    if (!fileRecord || *fileRecord < info.bytesPerSector || *fileRecord % info.bytesPerSector != 0) return false;
    info.bytesPerFileRecord = *fileRecord;
    info.sectorsPerFileRecord = *fileRecord / info.bytesPerSector;
    info.bytesPerIndexRecord = indexRecord && *indexRecord >= info.bytesPerSector ? *indexRecord : 4096;
    return true;
}

}  // namespace

BootVerdict parseBootSector(Bytes b, DriveInfo& info) {
    std::string label = std::move(info.label);
    info = DriveInfo{};
    info.label = std::move(label);

    info.bytesPerSector = le16(b, kBytesPerSector);
    info.sectorsPerCluster = le8(b, kSectorsPerCluster);
    info.reservedSectors = le16(b, kReservedSectors);
    info.numberOfFats = le8(b, kNumberOfFats);
    info.rootEntries = le16(b, kRootEntries);
    info.totalSectors = le16(b, kTotalSectors16);
    if (info.totalSectors == 0) info.totalSectors = le32(b, kTotalSectors32);
    info.sectorsPerFat = le16(b, kSectorsPerFat16);
    info.sectorsPerTrack = le16(b, kSectorsPerTrack);
    info.heads = le16(b, kHeads);
    info.sectorsPerCylinder = std::uint64_t{info.sectorsPerTrack} * info.heads;
    info.fsType = FsType::Fat1x;
    info.fsName = "Unknown";

    if (!plausibleSectorSize(info.bytesPerSector) || info.sectorsPerCluster == 0) return BootVerdict::Unrecognised;

    if (bytesEqual(b, kOemName, "NTFS")) {
        // Checked here, after the sector size: NTFS may code its cluster size as a power of two.
        info.fsType = FsType::Ntfs;
        info.fsName = "NTFS";
        return setupNtfs(b, info) ? BootVerdict::Ntfs : BootVerdict::Unrecognised;
    }

    if (info.sectorsPerFat == 0) {
        if (le8(b, kFat32Signature) != 0x29 || !bytesEqual(b, kFat32Type, "FAT32   "))
            return BootVerdict::Unrecognised;
        info.fsType = FsType::Fat32;
        info.fsName = "FAT32";
        info.sectorsPerFat = le32(b, kFat32SectorsPerFat);
        info.rootEntries = 0x7FFF;
        info.rootCluster = le32(b, kFat32RootCluster);
    } else {
        info.fsName = bytesEqual(b, kFat16Type, "FAT16   ") ? "FAT16" : "FAT12";
    }

    // The FAT copies and the fixed root directory must lie inside the volume, or every cluster
    // number and entry lookup after this would be computed from nonsense.
    std::uint64_t dataStart = info.dataStartSector();
    if (info.numberOfFats == 0 || info.sectorsPerFat == 0 || dataStart > info.totalSectors)
        return BootVerdict::Unrecognised;

    // FAT clusters are 1 to 128 sectors.
    if (info.sectorsPerCluster > 0x80) return BootVerdict::Unrecognised;
    std::uint64_t dataClusters = std::min((info.totalSectors - dataStart) / info.sectorsPerCluster, nameableClusters(info));
    // FAT32 counts the two reserved cluster numbers as well.
    info.clusterCount = info.fsType == FsType::Fat32 ? dataClusters + 2 : dataClusters;
    return BootVerdict::Fat;
}

bool fitToSource(DriveInfo& info, std::optional<std::uint64_t> sourceBytes) {
    const std::uint64_t clusterBytes = std::uint64_t{info.bytesPerSector} * info.clusterSectors();
    if (!sourceBytes || clusterBytes == 0 || info.isNtfs()) return true;
    // A copy cut short of its FATs holds nothing the file system could find: its data area, and
    // the fixed root with it, would begin past the end.
    const std::uint64_t fatEnd =
        (info.reservedSectors + std::uint64_t{info.numberOfFats} * info.sectorsPerFat) * info.bytesPerSector;
    if (fatEnd > *sourceBytes) return false;
    // The total sector count is the volume's word on where it ends, and a copy that ends early
    // keeps it: what is missing reads as unreadable, as on a disk whose last sectors are bad. A
    // total that claims more clusters than the FAT can name is no such word; then the end of the
    // source is the end of the volume (a cluster whose start it holds still counts).
    const std::uint64_t dataStart = info.dataStartSector();
    const std::uint64_t claimed = info.totalSectors > dataStart ? (info.totalSectors - dataStart) / info.sectorsPerCluster : 0;
    if (claimed <= nameableClusters(info)) return true;
    const std::uint64_t dataBytes = dataStart * info.bytesPerSector;
    const std::uint64_t held = *sourceBytes > dataBytes ? ceilDiv(*sourceBytes - dataBytes, clusterBytes) : 0;
    info.clusterCount = std::min(info.clusterCount, info.fsType == FsType::Fat32 ? held + 2 : held);
    return true;
}

std::uint64_t sectorOfCluster(const DriveInfo& info, std::uint32_t c) {
    const std::uint64_t spc = info.clusterSectors();
    const std::uint64_t index = static_cast<std::uint32_t>(c - 2);
    switch (info.fsType) {
        case FsType::Ntfs:
            return std::uint64_t{c} * spc;
        case FsType::Fat32:
            return info.reservedSectors + std::uint64_t{info.numberOfFats} * info.sectorsPerFat + index * spc;
        case FsType::Fat1x:
        default: {
            std::uint64_t fatEnd = info.reservedSectors + std::uint64_t{info.numberOfFats} * info.sectorsPerFat;
            if (c <= 1) return fatEnd;
            return info.dataStartSector() + index * spc;
        }
    }
}

std::uint32_t firstClusterOfEntry(const DriveInfo& info, Bytes e) {
    switch (info.fsType) {
        case FsType::Fat32: return (std::uint32_t{le16(e, 20)} << 16) | le16(e, 26);
        case FsType::Ntfs: return 0;
        case FsType::Fat1x:
        default: return le16(e, 26);
    }
}

std::string bootSectorLabel(Bytes b, const DriveInfo& info) {
    std::size_t off = info.fsType == FsType::Fat32 ? std::size_t{kFat32Label} : std::size_t{kFat16Label};
    std::size_t sig = info.fsType == FsType::Fat32 ? std::size_t{kFat32Signature} : std::size_t{0x26};
    if (info.fsType == FsType::Ntfs || le8(b, sig) != 0x29 || !fits(b.size(), off, 11)) return {};
    std::string label = fatLabelText(b.subspan(off, 11));
    return label == "NO NAME" ? std::string{} : label;
}

std::string fatLabelText(Bytes field) {
    std::string label;
    for (std::uint8_t c : field.first(std::min<std::size_t>(field.size(), 11))) {
        if (c == 0) break;
        label += static_cast<char>(c);
    }
    while (!label.empty() && label.back() == ' ') label.pop_back();
    return utf8FromOem(label);
}

}  // namespace harrow
