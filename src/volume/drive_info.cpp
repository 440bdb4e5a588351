#include "volume/drive_info.h"

#include <algorithm>

namespace harrow {
namespace {

void storeText(MutableBytes out, std::size_t off, std::size_t width, const std::string& text) {
    std::size_t n = std::min(text.size(), width - 1);
    std::copy_n(text.begin(), n, out.begin() + static_cast<std::ptrdiff_t>(off));
}

std::string loadText(Bytes in, std::size_t off, std::size_t width) {
    std::string s;
    for (std::size_t i = 0; i < width && off + i < in.size() && in[off + i] != 0; ++i)
        s += static_cast<char>(in[off + i]);
    return s;
}

}  // namespace

std::array<std::uint8_t, DriveInfo::kSize> DriveInfo::serialize() const {
    std::array<std::uint8_t, kSize> out{};
    MutableBytes b(out);
    storeText(b, kLabel, kLabelBytes, label);
    storeText(b, kFsName, kFsNameBytes, fsName);
    storeLe<std::uint16_t>(b, kFsType, static_cast<std::uint16_t>(fsType));
    storeLe(b, kBytesPerSector, bytesPerSector);
    storeLe(b, kSectorsPerCluster, sectorsPerCluster);
    storeLe(b, kReservedSectors, reservedSectors);
    storeLe(b, kNumberOfFats, numberOfFats);
    storeLe(b, kRootEntries, rootEntries);
    storeLe(b, kTotalSectors, totalSectors);
    storeLe(b, kSectorsPerFat, sectorsPerFat);
    storeLe(b, kSectorsPerTrack, sectorsPerTrack);
    storeLe(b, kHeads, heads);
    storeLe(b, kRootCluster, rootCluster);
    storeLe(b, kBytesPerCluster, bytesPerCluster);
    storeLe(b, kBytesPerFileRecord, bytesPerFileRecord);
    storeLe(b, kClustersPerFileRecord, clustersPerFileRecord);
    storeLe(b, kSectorsPerFileRecord, sectorsPerFileRecord);
    storeLe(b, kBytesPerIndexRecord, bytesPerIndexRecord);
    storeLe(b, kClustersPerIndexRecord, clustersPerIndexRecord);
    storeLe(b, kMftCluster, mftCluster);
    storeLe(b, kClusterCount, clusterCount);
    storeLe(b, kSectorsPerCylinder, sectorsPerCylinder);
    if (isExfat()) {
        storeLe(b, kExfatFatOffset, fatOffset);
        storeLe(b, kExfatHeapOffset, heapOffset);
        storeLe(b, kExfatVolumeSectors, volumeSectors);
    }
    return out;
}

DriveInfo DriveInfo::deserialize(Bytes b) {
    DriveInfo d;
    d.label = loadText(b, kLabel, kLabelBytes);
    d.fsName = loadText(b, kFsName, kFsNameBytes);
    d.fsType = static_cast<FsType>(le16(b, kFsType));
    d.bytesPerSector = le16(b, kBytesPerSector);
    d.sectorsPerCluster = le8(b, kSectorsPerCluster);
    d.reservedSectors = le16(b, kReservedSectors);
    d.numberOfFats = le8(b, kNumberOfFats);
    d.rootEntries = le16(b, kRootEntries);
    d.totalSectors = le32(b, kTotalSectors);
    d.sectorsPerFat = le32(b, kSectorsPerFat);
    d.sectorsPerTrack = le16(b, kSectorsPerTrack);
    d.heads = le16(b, kHeads);
    d.rootCluster = le32(b, kRootCluster);
    d.bytesPerCluster = le32(b, kBytesPerCluster);
    d.bytesPerFileRecord = le32(b, kBytesPerFileRecord);
    d.clustersPerFileRecord = le32(b, kClustersPerFileRecord);
    d.sectorsPerFileRecord = le32(b, kSectorsPerFileRecord);
    d.bytesPerIndexRecord = le32(b, kBytesPerIndexRecord);
    d.clustersPerIndexRecord = le32(b, kClustersPerIndexRecord);
    d.mftCluster = le64(b, kMftCluster);
    d.clusterCount = le64(b, kClusterCount);
    d.sectorsPerCylinder = le64(b, kSectorsPerCylinder);
    if (d.isExfat()) {
        d.fatOffset = le32(b, kExfatFatOffset);
        d.heapOffset = le32(b, kExfatHeapOffset);
        d.volumeSectors = le64(b, kExfatVolumeSectors);
        d.bytesPerFileRecord = d.clustersPerFileRecord = 0;
        d.mftCluster = 0;
    }
    return d;
}

std::uint32_t DriveInfo::clusterSectors() const {
    if (sectorsPerCluster <= 0x80) return sectorsPerCluster;
    int shift = -static_cast<std::int8_t>(sectorsPerCluster);
    return shift <= 16 ? 1u << shift : 0;
}

int DriveInfo::fatBits() const {
    if (fsType == FsType::Fat32 || fsType == FsType::Exfat) return 32;
    if (fsType == FsType::Ntfs) return 0;
    return fsName == "FAT16" ? 16 : 12;
}

std::uint64_t DriveInfo::dataStartSector() const {
    if (isExfat()) return heapOffset;
    std::uint64_t fatEnd = reservedSectors + std::uint64_t{numberOfFats} * sectorsPerFat;
    if (fsType == FsType::Fat32 || bytesPerSector == 0) return fatEnd;
    return fatEnd + std::uint64_t{rootEntries} * 32 / bytesPerSector;
}

}  // namespace harrow
