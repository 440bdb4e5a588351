#include "volume/boot_probe.h"

#include <algorithm>
#include <bit>

#include "volume/partition_table.h"

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
    kFat16Type = 0x36,
    kFat32SectorsPerFat = 0x24,
    kFat32RootCluster = 0x2C,
    kFat32BackupSector = 0x32,
    kFat32Signature = 0x42,
    kFat32Type = 0x52,
    kNtfsTotalSectors = 0x28,
    kNtfsMftCluster = 0x30,
    kNtfsFileRecordSize = 0x40,
    kNtfsIndexRecordSize = 0x44,
    kExfatVolumeLength = 0x48,
    kExfatFatOffset = 0x50,
    kExfatFatLength = 0x54,
    kExfatHeapOffset = 0x58,
    kExfatClusterCount = 0x5C,
    kExfatRootCluster = 0x60,
    kExfatVolumeFlags = 0x6A,
    kExfatSectorShift = 0x6C,
    kExfatClusterShift = 0x6D,
    kExfatFats = 0x6E,
    kExfatPercentInUse = 0x70,
};

// The exFAT boot region: the boot sector, eight extended boot sectors, the OEM parameters, a
// reserved sector, then a sector full of the checksum of the eleven before it. The backup region
// follows it at sector 12.
constexpr std::uint64_t kExfatChecksumSector = 11;
constexpr std::uint64_t kExfatBackupRegion = 12;
// The largest cluster exFAT allows: 32 MiB.
constexpr unsigned kExfatMaxClusterShift = 25;
// The highest cluster count a 32-bit FAT can hold below its bad-cluster and end marks.
constexpr std::uint64_t kExfatMaxClusters = 0xFFFFFFF5u;

// FAT12 ends below this many data clusters, as the format defines it. Formatters disagree
// within a few clusters of the line (and avoid it), so there the type string is believed.
constexpr std::uint64_t kFat16MinClusters = 4085;
constexpr std::uint64_t kUnsureClusters = 4;

bool plausibleSectorSize(std::uint32_t bps) { return bps >= 128 && bps <= 4096 && std::has_single_bit(bps); }

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

// FAT12 or FAT16, by the count of data clusters the volume's size gives. The type string is
// heard only where the count is in doubt: near the line, or where the FAT's own size speaks
// against it (a FAT too small for 16-bit entries on every cluster the total claims says the
// total is wrong; one sized for them under a "FAT16" string is a small FAT16 volume that a
// formatter was told to make).
const char* fat1xName(Bytes b, const DriveInfo& info, std::uint64_t clusters) {
    const bool says12 = bytesEqual(b, kFat16Type, "FAT12   "), says16 = bytesEqual(b, kFat16Type, "FAT16   ");
    const bool counts16 = clusters >= kFat16MinClusters;
    if ((!says12 && !says16) || says16 == counts16) return counts16 ? "FAT16" : "FAT12";
    const bool nearLine = clusters + kUnsureClusters >= kFat16MinClusters && clusters < kFat16MinClusters + kUnsureClusters;
    const bool fatHolds16 = (clusters + 2) * 2 <= std::uint64_t{info.sectorsPerFat} * info.bytesPerSector;
    const bool sixteen = nearLine || fatHolds16 == says16 ? says16 : counts16;
    return sixteen ? "FAT16" : "FAT12";
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

bool setupExfat(Bytes b, DriveInfo& info) {
    const unsigned sectorShift = le8(b, kExfatSectorShift), clusterShift = le8(b, kExfatClusterShift);
    if (sectorShift < 9 || sectorShift > 12 || clusterShift > kExfatMaxClusterShift - sectorShift) return false;
    info.fsType = FsType::Exfat;
    info.fsName = "exFAT";
    info.bytesPerSector = static_cast<std::uint16_t>(1u << sectorShift);
    // Past 128 sectors the field holds the shift negated, as NTFS stores its large clusters.
    info.sectorsPerCluster = clusterShift <= 7 ? static_cast<std::uint8_t>(1u << clusterShift)
                                               : static_cast<std::uint8_t>(256 - clusterShift);
    info.bytesPerCluster = 1u << (sectorShift + clusterShift);
    info.numberOfFats = le8(b, kExfatFats);
    info.fatOffset = le32(b, kExfatFatOffset);
    info.sectorsPerFat = le32(b, kExfatFatLength);
    info.heapOffset = le32(b, kExfatHeapOffset);
    info.clusterCount = le32(b, kExfatClusterCount);
    info.rootCluster = le32(b, kExfatRootCluster);
    info.volumeSectors = le64(b, kExfatVolumeLength);
    info.totalSectors = static_cast<std::uint32_t>(std::min<std::uint64_t>(info.volumeSectors, 0xFFFFFFFFu));
    return exfatGeometryOk(info);
}

// A sector 0 that holds a partition table is a whole disk's, not a damaged boot sector: the last
// sector of such a disk is often the backup of its last partition, which describes that
// partition and not the disk.
bool holdsPartitionTable(Bytes sector) {
    const auto entries = parseMbrSector(sector);
    return entries && std::any_of(entries->begin(), entries->end(), [](const MbrEntry& e) { return !e.empty(); });
}

// The verdict on `sector` as the description of a volume `sourceBytes` long; a backup must
// also give the sector size it was found at (`atSize`, 0 for sector 0).
BootVerdict recognise(Bytes sector, std::optional<std::uint64_t> sourceBytes, std::uint32_t atSize, std::string& name) {
    DriveInfo probe;
    const BootVerdict verdict = parseBootSector(sector, probe);
    if (verdict == BootVerdict::Unrecognised || (atSize != 0 && probe.bytesPerSector != atSize)) return BootVerdict::Unrecognised;
    if (verdict != BootVerdict::Exfat && !fitToSource(probe, sourceBytes)) return BootVerdict::Unrecognised;
    name = probe.fsName;
    return verdict;
}

// Whether the exFAT boot region beginning at `first` (sector 0 or the backup's 12), whose boot
// sector is `boot`, holds the checksum its last sector repeats; nothing when the source was lost.
std::optional<bool> exfatRegionHolds(const BootReader& read, std::uint64_t first, Bytes boot) {
    DriveInfo probe;
    if (parseBootSector(boot, probe) != BootVerdict::Exfat) return false;
    const std::uint32_t size = probe.bytesPerSector;
    std::vector<std::uint8_t> region(static_cast<std::size_t>(size * (kExfatChecksumSector + 1)));
    std::copy_n(boot.begin(), std::min<std::size_t>(boot.size(), size), region.begin());
    for (std::uint64_t s = 1; s <= kExfatChecksumSector; ++s) {
        const ReadResult r = read(first + s, size, MutableBytes(region).subspan(static_cast<std::size_t>(s * size), size));
        if (r == ReadResult::Lost) return std::nullopt;
        if (r != ReadResult::Done) return false;
    }
    const std::uint32_t sum = exfatBootChecksum(region, size);
    const Bytes stored = Bytes(region).subspan(static_cast<std::size_t>(kExfatChecksumSector * size), size);
    for (std::size_t at = 0; at + 4 <= stored.size(); at += 4)
        if (le32(stored, at) != sum) return false;
    return true;
}

}  // namespace

BootVerdict parseBootSector(Bytes b, DriveInfo& info) {
    std::string label = std::move(info.label);
    info = DriveInfo{};
    info.label = std::move(label);

    // exFAT zeroes the whole BIOS parameter block, so it is known by its name alone.
    if (bytesEqual(b, kOemName, "EXFAT   ")) return setupExfat(b, info) ? BootVerdict::Exfat : BootVerdict::Unrecognised;

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
    }

    // The FAT copies and the fixed root directory must lie inside the volume, or every cluster
    // number and entry lookup after this would be computed from nonsense.
    std::uint64_t dataStart = info.dataStartSector();
    if (info.numberOfFats == 0 || info.sectorsPerFat == 0 || dataStart > info.totalSectors)
        return BootVerdict::Unrecognised;

    // FAT clusters are 1 to 128 sectors.
    if (info.sectorsPerCluster > 0x80) return BootVerdict::Unrecognised;
    const std::uint64_t claimed = (info.totalSectors - dataStart) / info.sectorsPerCluster;
    if (info.fsType == FsType::Fat1x) info.fsName = fat1xName(b, info, claimed);
    std::uint64_t dataClusters = std::min(claimed, nameableClusters(info));
    // FAT32 counts the two reserved cluster numbers as well.
    info.clusterCount = info.fsType == FsType::Fat32 ? dataClusters + 2 : dataClusters;
    return BootVerdict::Fat;
}

bool exfatGeometryOk(const DriveInfo& d) {
    //   0    boot region, backup boot region (24 sectors)
    //   fatOffset           FAT 1 [, FAT 2], each sectorsPerFat long
    //   heapOffset          clusters 2 .. clusterCount + 1
    //   volumeSectors       end of the volume
    const std::uint64_t spc = d.clusterSectors(), bps = d.bytesPerSector;
    if (!d.isExfat() || spc == 0 || bps < 512 || bps > 4096 || !std::has_single_bit(bps)) return false;
    if (d.numberOfFats < 1 || d.numberOfFats > 2 || d.fatOffset < 2 * kExfatBackupRegion || d.sectorsPerFat == 0) return false;
    const std::uint64_t fatEnd = d.fatOffset + std::uint64_t{d.numberOfFats} * d.sectorsPerFat;
    if (fatEnd > d.heapOffset || d.heapOffset > d.volumeSectors || d.volumeSectors > UINT64_MAX / bps) return false;
    if (d.clusterCount == 0 || d.clusterCount > kExfatMaxClusters || d.clusterCount > (d.volumeSectors - d.heapOffset) / spc)
        return false;
    // Every cluster needs its entry, after the two the FAT begins with.
    if ((d.clusterCount + 2) * 4 > std::uint64_t{d.sectorsPerFat} * bps) return false;
    return d.rootCluster >= 2 && d.rootCluster <= d.clusterCount + 1;
}

std::uint32_t exfatBootChecksum(Bytes region, std::uint32_t bytesPerSector) {
    std::uint32_t sum = 0;
    const std::size_t end = std::min<std::size_t>(region.size(), std::size_t{bytesPerSector} * kExfatChecksumSector);
    for (std::size_t i = 0; i < end; ++i) {
        // The volume flags and the share in use change without the region being rewritten.
        if (i == kExfatVolumeFlags || i == kExfatVolumeFlags + 1 || i == kExfatPercentInUse) continue;
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
    }
    return sum;
}

bool fitToSource(DriveInfo& info, std::optional<std::uint64_t> sourceBytes) {
    const std::uint64_t clusterBytes = std::uint64_t{info.bytesPerSector} * info.clusterSectors();
    if (!sourceBytes || clusterBytes == 0 || info.isNtfs()) return true;
    // exFAT's heap, like NTFS's clusters, is bounded by the volume's length alone; only its FATs
    // must be there to be read.
    if (info.isExfat())
        return (info.fatOffset + std::uint64_t{info.numberOfFats} * info.sectorsPerFat) * info.bytesPerSector <= *sourceBytes;
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

BootLocation locateBootSector(const BootReader& read, std::uint32_t deviceSectorSize,
                              std::optional<std::uint64_t> sourceBytes, std::vector<std::uint8_t>& out) {
    BootLocation found;
    const std::uint32_t device = plausibleSectorSize(deviceSectorSize) ? deviceSectorSize : 512;
    out.assign(kBootBufferBytes, 0);
    found.first = read(0, device, MutableBytes(out).first(device));
    if (found.first == ReadResult::Lost) return found;
    // An exFAT region whose checksum fails is damaged; its backup is believed before it, but
    // a main boot sector that describes the volume still serves when no backup does.
    std::optional<BootLocation> exfatMain;
    std::vector<std::uint8_t> exfatMainBytes;
    if (found.first == ReadResult::Done) {
        found.verdict = recognise(out, sourceBytes, 0, found.fileSystem);
        if (found.verdict == BootVerdict::Exfat) {
            const std::optional<bool> holds = exfatRegionHolds(read, 0, out);
            if (!holds) return found;
            if (*holds) return found;
            exfatMain = found;
            exfatMainBytes = out;
            found.verdict = BootVerdict::Unrecognised;
            found.fileSystem.clear();
        }
        if (found.verdict != BootVerdict::Unrecognised || holdsPartitionTable(out)) return found;
    }

    // A damaged first sector is among the commonest damage there is; FAT32 and NTFS keep a copy,
    // at a place counted in sectors of the volume's own size, which the device need not share.
    // FAT32 names its copy in the BPB; a first sector that lost only its signature or a field
    // may still say where. Sector 6 is where every formatter puts it.
    const std::uint16_t named = found.first == ReadResult::Done ? le16(out, kFat32BackupSector) : 0;
    std::vector<std::uint32_t> sizes{device};
    for (std::uint32_t size = 512; size <= 4096; size *= 2)
        if (size != device) sizes.push_back(size);
    std::vector<std::uint8_t> backup(kBootBufferBytes);
    for (std::uint32_t size : sizes) {
        std::vector<std::uint64_t> places;
        if (named > 0 && named < 32 && named != 6) places.push_back(named);
        places.push_back(6);
        places.push_back(kExfatBackupRegion);
        // NTFS keeps its copy in the last sector of the volume.
        if (sourceBytes && *sourceBytes / size > 1) places.push_back(*sourceBytes / size - 1);
        for (std::uint64_t at : places) {
            std::fill(backup.begin(), backup.end(), 0);
            const ReadResult r = read(at, size, MutableBytes(backup).first(size));
            if (r == ReadResult::Lost) return found;
            std::string name;
            const BootVerdict verdict = r == ReadResult::Done ? recognise(backup, sourceBytes, size, name) : BootVerdict::Unrecognised;
            if (verdict == BootVerdict::Unrecognised) continue;
            // exFAT keeps its copy at sector 12 alone, and only a whole region counts there.
            if ((verdict == BootVerdict::Exfat) != (at == kExfatBackupRegion)) continue;
            if (verdict == BootVerdict::Exfat) {
                const std::optional<bool> holds = exfatRegionHolds(read, at, backup);
                if (!holds) return found;
                if (!*holds) continue;
            }
            out = std::move(backup);
            found.verdict = verdict;
            found.sector = at;
            found.fileSystem = std::move(name);
            return found;
        }
    }
    if (exfatMain) {
        out = std::move(exfatMainBytes);
        return *exfatMain;
    }
    return found;
}

}  // namespace harrow
