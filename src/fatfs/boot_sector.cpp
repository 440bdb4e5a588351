#include "fatfs/boot_sector.h"

#include <algorithm>

#include "common/text.h"

namespace harrow {
namespace {

// Boot-sector offsets of the label fields and their signatures.
enum : std::size_t {
    kFat16Signature = 0x26,
    kFat16Label = 0x2B,
    kFat32Signature = 0x42,
    kFat32Label = 0x47,
};

}  // namespace

std::uint64_t sectorOfCluster(const DriveInfo& info, std::uint32_t c) {
    const std::uint64_t spc = info.clusterSectors();
    const std::uint64_t index = static_cast<std::uint32_t>(c - 2);
    switch (info.fsType) {
        case FsType::Ntfs:
            return std::uint64_t{c} * spc;
        case FsType::Exfat:
            return info.heapOffset + (c < 2 ? 0 : index * spc);
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
        case FsType::Ntfs:
        case FsType::Exfat: return 0;
        case FsType::Fat1x:
        default: return le16(e, 26);
    }
}

std::string bootSectorLabel(Bytes b, const DriveInfo& info) {
    std::size_t off = info.fsType == FsType::Fat32 ? std::size_t{kFat32Label} : std::size_t{kFat16Label};
    std::size_t sig = info.fsType == FsType::Fat32 ? std::size_t{kFat32Signature} : std::size_t{kFat16Signature};
    if (info.fsType == FsType::Ntfs || info.isExfat() || le8(b, sig) != 0x29 || !fits(b.size(), off, 11)) return {};
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
