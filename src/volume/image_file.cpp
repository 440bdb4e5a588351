#include "volume/image_file.h"

#include "volume/boot_probe.h"

#include <algorithm>
#include <bit>

namespace harrow {
namespace {

using namespace imagefile;

constexpr std::uint64_t kMaxRecordBytes = 0x10000;
constexpr std::uint8_t kSignatureEnd = 0x1A;

// The clusters a FAT of this geometry can name, as the boot-sector parse bounds a volume's count.
std::uint64_t nameableClusters(const DriveInfo& d) {
    const int bits = d.fatBits();
    const std::uint64_t entries = std::uint64_t{d.sectorsPerFat} * d.bytesPerSector * 8 / bits;
    const std::uint64_t limit = bits == 32 ? 0x0FFFFFF5u : 0xFFF5u;
    return std::min(limit, entries > 2 ? entries - 2 : 0);
}

// The FAT count of data clusters as DriveInfo holds it: FAT32 counts the two reserved numbers.
std::uint64_t fatCount(const DriveInfo& d, std::uint64_t dataClusters) {
    return d.fsType == FsType::Fat32 ? dataClusters + 2 : dataClusters;
}

bool fatGeometryOk(const DriveInfo& d) {
    if (d.sectorsPerCluster == 0 || d.sectorsPerCluster > 0x80) return false;
    if (d.reservedSectors == 0 || d.numberOfFats == 0 || d.sectorsPerFat == 0) return false;
    const std::uint64_t dataStart = d.dataStartSector();
    if (dataStart > d.totalSectors) return false;
    // The count the parse derives: the cluster bound of every FAT lookup and of the scan. A
    // count the FAT cannot name would size its table from the total alone.
    const std::uint64_t data = (d.totalSectors - dataStart) / d.sectorsPerCluster;
    return d.clusterCount == fatCount(d, std::min(data, nameableClusters(d)));
}

bool ntfsGeometryOk(const DriveInfo& d) {
    const std::uint64_t spc = d.clusterSectors(), bps = d.bytesPerSector;
    if (spc == 0 || bps * spc > (1u << 31) || d.bytesPerCluster != bps * spc) return false;
    if (d.sectorsPerFileRecord == 0 || d.bytesPerFileRecord != std::uint64_t{d.sectorsPerFileRecord} * bps ||
        d.bytesPerFileRecord > kMaxRecordBytes)
        return false;
    if (d.bytesPerIndexRecord < bps || d.bytesPerIndexRecord > kMaxRecordBytes) return false;
    // Sector and byte numbers of the MFT and of the volume's end must not wrap.
    return d.mftCluster <= UINT64_MAX / spc / 2 && d.clusterCount <= UINT64_MAX / spc / bps;
}

}  // namespace

bool imageGeometryOk(const DriveInfo& d) {
    if (d.bytesPerSector < kMinSectorBytes || d.bytesPerSector > 4096 || !std::has_single_bit(d.bytesPerSector))
        return false;
    switch (d.fsType) {
        case FsType::Fat1x:
        case FsType::Fat32: return fatGeometryOk(d);
        case FsType::Ntfs: return ntfsGeometryOk(d);
        case FsType::Exfat: return exfatGeometryOk(d) && d.bytesPerCluster == std::uint64_t{d.bytesPerSector} * d.clusterSectors();
    }
    return false;
}

std::vector<std::uint8_t> ImageHeader::serialize() const {
    std::vector<std::uint8_t> out(std::max<std::size_t>(info.bytesPerSector, kHeaderBytes), 0);
    MutableBytes b(out);
    std::copy_n(kSignatureText, sizeof kSignatureText - 1, out.begin());
    out[sizeof kSignatureText - 1] = kSignatureEnd;
    const auto record = info.serialize();
    std::copy(record.begin(), record.end(), out.begin() + kDriveInfo);
    storeLe(b, kSystemSectors, systemSectors);
    storeLe(b, kOne, one);
    storeLe(b, kFirstCluster, firstCluster);
    storeLe(b, kLastCluster, lastCluster);
    return out;
}

std::optional<ImageHeader> ImageHeader::parse(Bytes b) {
    if (b.size() < kHeaderBytes) return std::nullopt;
    std::array<std::uint8_t, kSignatureBytes> signature{};
    std::copy_n(kSignatureText, sizeof kSignatureText - 1, signature.begin());
    signature[sizeof kSignatureText - 1] = kSignatureEnd;
    if (!std::equal(signature.begin(), signature.end(), b.begin())) return std::nullopt;

    ImageHeader h;
    h.info = DriveInfo::deserialize(b.subspan(kDriveInfo, DriveInfo::kSize));
    if (!imageGeometryOk(h.info)) return std::nullopt;
    h.systemSectors = le32(b, kSystemSectors);
    h.one = le32(b, kOne);
    h.firstCluster = le32(b, kFirstCluster);
    h.lastCluster = le32(b, kLastCluster);
    // A range that holds anything begins at a cluster that has a sector.
    if (h.firstCluster <= h.lastCluster && !clusterSectorOf(h.info, h.firstCluster)) return std::nullopt;
    return h;
}

SystemArea systemAreaOf(const DriveInfo& d) {
    if (d.isNtfs()) return {d.mftCluster * d.clusterSectors(), 10ull * d.sectorsPerFileRecord};
    // exFAT: both boot regions and the FATs, up to the heap.
    if (d.isExfat()) return {1, d.heapOffset > 1 ? d.heapOffset - 1 : 0};
    const std::uint64_t dataStart = d.dataStartSector();
    return {d.reservedSectors, dataStart > d.reservedSectors ? dataStart - d.reservedSectors : 0};
}

std::optional<std::uint64_t> clusterSectorOf(const DriveInfo& d, std::uint64_t c) {
    const std::uint64_t spc = d.clusterSectors();
    if (spc == 0) return std::nullopt;
    if (d.isNtfs()) return c <= UINT64_MAX / spc / 2 ? std::optional(c * spc) : std::nullopt;
    if (c < 2 || c - 2 > UINT64_MAX / spc / 2) return std::nullopt;
    return d.dataStartSector() + (c - 2) * spc;
}

ImageRanges imageRanges(const ImageHeader& h) {
    ImageRanges r{};
    r[0] = {2, systemAreaOf(h.info).first, h.systemSectors};
    r[1].fileSector = std::uint64_t{h.systemSectors} + 2;
    if (auto first = clusterSectorOf(h.info, h.firstCluster); first && h.firstCluster <= h.lastCluster) {
        r[1].firstSector = *first;
        r[1].sectors = (std::uint64_t{h.lastCluster} - h.firstCluster + 1) * h.info.clusterSectors();
    }
    return r;
}

Placement placeSector(const ImageRanges& ranges, std::uint64_t sector) {
    // The boot sector has a place of its own, whatever the ranges say.
    if (sector == 0) return {1, 1};
    // A piece ends where another range begins, so that each of its sectors is placed as it would
    // be alone, even where a header makes the ranges overlap.
    std::uint64_t next = UINT64_MAX;
    for (const ImageRange& r : ranges)
        if (r.sectors > 0 && r.firstSector > sector) next = std::min(next, r.firstSector);
    const std::uint64_t untilNext = next == UINT64_MAX ? UINT64_MAX : next - sector;
    for (const ImageRange& r : ranges)
        if (sector >= r.firstSector && sector - r.firstSector < r.sectors)
            return {r.fileSector + (sector - r.firstSector), std::min(r.sectors - (sector - r.firstSector), untilNext)};
    return {std::nullopt, untilNext};
}

std::optional<std::uint64_t> fitImageToFile(ImageHeader& h, std::uint64_t fileBytes, std::string& why) {
    auto refuse = [&](std::string reason) {
        why = std::move(reason);
        return std::nullopt;
    };
    DriveInfo& d = h.info;
    const std::uint64_t s = d.bytesPerSector, spc = d.clusterSectors();
    const std::uint64_t fileSectors = fileBytes / s;
    // The header sector and the boot sector behind it: a file without them holds no volume.
    if (fileSectors < 2) return refuse("it ends before the boot sector");
    const std::uint64_t rangeStart = std::uint64_t{h.systemSectors} + 2;
    std::uint64_t held = 0;
    if (h.firstCluster <= h.lastCluster && fileSectors > rangeStart)
        held = std::min<std::uint64_t>(std::uint64_t{h.lastCluster} - h.firstCluster + 1,
                                       (fileSectors - rangeStart + spc - 1) / spc);
    if (d.isNtfs()) return held;
    // The bitmap and the root lie in the heap, and a range without them says so as it is read.
    if (d.isExfat()) {
        const std::uint64_t fatEnd = d.fatOffset + std::uint64_t{d.numberOfFats} * d.sectorsPerFat;
        if (h.systemSectors + 1 < fatEnd)
            return refuse("it holds " + std::to_string(h.systemSectors) + " of the " + std::to_string(fatEnd - 1) +
                          " sectors of its volume's boot regions and FATs");
        return held;
    }

    // Without its FATs and root directory a FAT image would read as an empty volume: zeros are
    // where they belong. An NTFS image without its first records says so when it opens.
    const std::uint64_t needed = systemAreaOf(d).count;
    if (h.systemSectors < needed)
        return refuse("it holds " + std::to_string(h.systemSectors) + " of the " + std::to_string(needed) +
                               " sectors of its volume's system area (the FAT copies and root directory)");
    // As a raw image is held to its source: a file cut short of its FATs holds nothing the file
    // system could find, and tables it does not hold must not be allocated for.
    const std::uint64_t fatSectors = std::uint64_t{d.numberOfFats} * d.sectorsPerFat;
    if (fatSectors > fileSectors - 2)
        return refuse("its " + std::to_string(d.numberOfFats) + " FAT copies of " +
                               std::to_string(d.sectorsPerFat) + " sectors do not fit in its " +
                               std::to_string(fileBytes) + " bytes");
    // A total that claims more clusters than the FAT can name is no word on the volume's end:
    // then the volume ends with the last cluster the file holds.
    const std::uint64_t claimed = (d.totalSectors - d.dataStartSector()) / d.sectorsPerCluster;
    if (claimed > nameableClusters(d)) {
        const std::uint64_t lastHeld = held > 0 ? h.firstCluster + held - 1 : 1;
        d.clusterCount = std::min(d.clusterCount, fatCount(d, lastHeld - 1));
    }
    return held;
}

std::uint64_t imageVolumeBytes(const DriveInfo& d) {
    if (d.isNtfs()) return d.clusterCount * d.clusterSectors() * d.bytesPerSector;
    if (d.isExfat()) return d.volumeSectors * d.bytesPerSector;
    return std::uint64_t{d.totalSectors} * d.bytesPerSector;
}

}  // namespace harrow
