#include "volume/partition_table.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <set>

#include "volume/local_source.h"

namespace harrow {
namespace {

// MBR and extended boot record: four 16-byte entries at 446, the signature at 510.
//   +0 status (0 or 0x80)  +4 type  +8 first sector (relative)  +12 sector count
constexpr std::size_t kMbrEntries = 446, kMbrEntryBytes = 16, kBootSignature = 510;
constexpr std::uint8_t kProtectiveGpt = 0xEE;

// GPT header at sector 1 (or the disk's last sector, its backup):
//   0 "EFI PART"  12 header size  16 header CRC  48 last usable sector
//   72 first sector of the entry array  80 entries  84 bytes per entry  88 the array's CRC
// Entry: 0 type GUID (zero: unused)  32 first sector  40 last sector (inclusive)
enum : std::size_t {
    kGptHeaderSize = 12,
    kGptHeaderCrc = 16,
    kGptLastUsable = 48,
    kGptEntriesSector = 72,
    kGptEntryCount = 80,
    kGptEntryBytes = 84,
    kGptEntriesCrc = 88,
    kGptMinHeader = 92,
    kGptEntryFirst = 32,
    kGptEntryLast = 40,
};

// A sector 0 that a FAT or NTFS formatter wrote: the jump and a believable BIOS parameter block,
// or the file-system name in its place. Such a disk is a volume, not a table of them.
bool looksLikeBootSector(Bytes s) {
    if (fileSystemOfBootSector(s)) return true;
    const std::uint16_t bps = le16(s, 0x0B);
    const std::uint8_t spc = le8(s, 0x0D);
    const bool jump = le8(s, 0) == 0xE9 || (le8(s, 0) == 0xEB && le8(s, 2) == 0x90);
    return jump && bps >= 128 && bps <= 4096 && std::has_single_bit(bps) && std::has_single_bit(spc) &&
           le16(s, 0x0E) > 0 && le8(s, 0x10) > 0 && le8(s, 0x10) <= 4;
}

bool readSector(SectorSource& source, std::uint64_t sector, std::uint32_t size, std::vector<std::uint8_t>& out) {
    out.assign(size, 0);
    return source.read(sector, size, out) == ReadResult::Done;
}

// The partition, cut to the disk; nothing when it begins outside it.
std::optional<Partition> onDisk(int number, std::uint64_t first, std::uint64_t sectors, std::uint8_t type,
                                std::uint64_t diskSectors) {
    if (first == 0 || sectors == 0 || first >= diskSectors) return std::nullopt;
    return Partition{number, first, std::min(sectors, diskSectors - first), type};
}

std::optional<PartitionTable> readGpt(SectorSource& source, std::uint64_t diskBytes) {
    std::vector<std::uint8_t> sector, array;
    std::vector<std::uint32_t> sizes{source.deviceSectorSize(), 512, 4096};
    for (std::uint32_t size : sizes) {
        if (size < 512 || size > 4096 || !std::has_single_bit(size)) continue;
        const std::uint64_t diskSectors = diskBytes / size;
        // The primary header, else its backup in the last sector.
        for (std::uint64_t at : {std::uint64_t{1}, diskSectors - 1}) {
            if (diskSectors < 3 || !readSector(source, at, size, sector)) continue;
            const auto header = parseGptHeader(sector);
            if (!header || header->entriesSector >= diskSectors) continue;
            const std::uint64_t bytes = std::uint64_t{header->entryCount} * header->entryBytes;
            const std::uint64_t count = (bytes + size - 1) / size;
            if (count > diskSectors - header->entriesSector) continue;
            array.assign(static_cast<std::size_t>(count * size), 0);
            if (source.read(header->entriesSector, size, array) != ReadResult::Done) continue;
            auto parts = parseGptEntries(array, *header, diskSectors);
            // A table without a partition the disk holds has nothing to offer.
            if (parts && !parts->empty()) return PartitionTable{TableKind::Gpt, size, std::move(*parts)};
        }
    }
    return std::nullopt;
}

}  // namespace

const Partition* PartitionTable::find(int number) const {
    for (const Partition& p : partitions)
        if (p.number == number) return &p;
    return nullptr;
}

std::optional<std::string> fileSystemOfBootSector(Bytes s) {
    if (bytesEqual(s, 3, "NTFS    ")) return "NTFS";
    if (bytesEqual(s, 3, "EXFAT   ")) return "exFAT";
    if (bytesEqual(s, 0x52, "FAT32   ")) return "FAT32";
    if (bytesEqual(s, 0x36, "FAT16   ")) return "FAT16";
    if (bytesEqual(s, 0x36, "FAT12   ")) return "FAT12";
    return std::nullopt;
}

std::string bootSectorLabel(Bytes s) {
    // FAT12/16 keep the extended block at 0x26, FAT32 at 0x42: signature 0x29, then the serial,
    // then 11 bytes of label.
    const std::optional<std::string> fs = fileSystemOfBootSector(s);
    if (!fs || !fs->starts_with("FAT")) return {};
    const std::size_t block = *fs == "FAT32" ? 0x42 : 0x26, at = block + 5;
    if (le8(s, block) != 0x29 || s.size() < at + 11) return {};
    std::string label;
    for (std::size_t i = at; i < at + 11; ++i) {
        if (s[i] < 0x20 || s[i] > 0x7E) return {};
        label += static_cast<char>(s[i]);
    }
    label.erase(label.find_last_not_of(' ') + 1);
    return label == "NO NAME" ? std::string{} : label;
}

std::string sizeText(std::uint64_t bytes) {
    constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + " bytes";
    int unit = 0;
    double value = static_cast<double>(bytes) / 1024;
    while (value >= 1024 && unit + 1 < 6) {
        value /= 1024;
        ++unit;
    }
    // One decimal only where it says something: 100 MiB, 1.5 GiB.
    const auto tenths = static_cast<std::uint64_t>(value * 10 + 0.5);
    std::string text = std::to_string(tenths / 10);
    if (tenths % 10 != 0 && tenths < 1000) text += "." + std::to_string(tenths % 10);
    return text + " " + kUnits[unit];
}

std::optional<std::array<MbrEntry, 4>> parseMbrSector(Bytes s) {
    if (s.size() < 512 || le16(s, kBootSignature) != 0xAA55) return std::nullopt;
    std::array<MbrEntry, 4> entries{};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t at = kMbrEntries + i * kMbrEntryBytes;
        MbrEntry& e = entries[i];
        e.status = le8(s, at);
        e.type = le8(s, at + 4);
        e.firstSector = le32(s, at + 8);
        e.sectors = le32(s, at + 12);
        if (e.status != 0 && e.status != 0x80) return std::nullopt;
    }
    return entries;
}

std::uint32_t crc32(Bytes data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint8_t b : data) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::optional<GptHeader> parseGptHeader(Bytes s) {
    if (!bytesEqual(s, 0, "EFI PART")) return std::nullopt;
    const std::uint32_t size = le32(s, kGptHeaderSize);
    if (size < kGptMinHeader || size > s.size()) return std::nullopt;
    std::vector<std::uint8_t> copy(s.begin(), s.begin() + size);
    storeLe<std::uint32_t>(copy, kGptHeaderCrc, 0);
    if (crc32(copy) != le32(s, kGptHeaderCrc)) return std::nullopt;
    GptHeader h;
    h.lastUsable = le64(s, kGptLastUsable);
    h.entriesSector = le64(s, kGptEntriesSector);
    h.entryCount = le32(s, kGptEntryCount);
    h.entryBytes = le32(s, kGptEntryBytes);
    h.entriesCrc = le32(s, kGptEntriesCrc);
    if (h.entryBytes < 128 || h.entryBytes % 8 != 0 || h.entryCount == 0 ||
        std::uint64_t{h.entryCount} * h.entryBytes > kMaxGptArrayBytes)
        return std::nullopt;
    return h;
}

std::optional<std::vector<Partition>> parseGptEntries(Bytes array, const GptHeader& h, std::uint64_t diskSectors) {
    const std::uint64_t bytes = std::uint64_t{h.entryCount} * h.entryBytes;
    if (bytes > array.size() || crc32(array.first(static_cast<std::size_t>(bytes))) != h.entriesCrc) return std::nullopt;
    std::vector<Partition> out;
    for (std::uint32_t i = 0; i < h.entryCount && out.size() < kMaxPartitions; ++i) {
        const Bytes e = array.subspan(std::size_t{i} * h.entryBytes, h.entryBytes);
        if (std::all_of(e.begin(), e.begin() + 16, [](std::uint8_t b) { return b == 0; })) continue;
        const std::uint64_t first = le64(e, kGptEntryFirst), last = le64(e, kGptEntryLast);
        if (first > last) continue;
        // A partition that runs past the end of a disk cut short keeps what the disk holds of it,
        // as an MBR partition does.
        if (auto p = onDisk(static_cast<int>(i + 1), first, last - first + 1, 0, diskSectors)) out.push_back(*p);
    }
    return out;
}

std::optional<PartitionTable> readPartitionTable(SectorSource& source) {
    const auto diskBytes = source.sizeBytes();
    const std::uint32_t size = source.deviceSectorSize();
    if (!diskBytes || size < 512 || size > 4096) return std::nullopt;
    const std::uint64_t diskSectors = *diskBytes / size;
    std::vector<std::uint8_t> sector;
    if (diskSectors < 2 || !readSector(source, 0, size, sector) || looksLikeBootSector(sector)) return std::nullopt;
    const auto mbr = parseMbrSector(sector);
    if (!mbr) return std::nullopt;
    if (std::any_of(mbr->begin(), mbr->end(), [](const MbrEntry& e) { return e.type == kProtectiveGpt; }))
        return readGpt(source, *diskBytes);

    PartitionTable table{TableKind::Mbr, size, {}};
    // Logical partitions are numbered on from 5 across every extended partition, so that each
    // has a number of its own.
    int number = 5;
    for (int slot = 0; slot < 4; ++slot) {
        const MbrEntry& e = (*mbr)[slot];
        if (e.empty()) continue;
        if (!e.extended()) {
            if (auto p = onDisk(slot + 1, e.firstSector, e.sectors, e.type, diskSectors)) table.partitions.push_back(*p);
            continue;
        }
        // The chain of extended boot records: each holds one logical partition, placed from
        // itself, and the link to the next, placed from the start of the extended partition.
        const std::uint64_t start = e.firstSector, end = std::min<std::uint64_t>(diskSectors, start + e.sectors);
        std::set<std::uint64_t> visited;
        for (std::uint64_t ebr = start; ebr > 0 && ebr < end && visited.insert(ebr).second &&
                                        table.partitions.size() < kMaxPartitions;) {
            if (!readSector(source, ebr, size, sector)) break;
            const auto links = parseMbrSector(sector);
            if (!links) break;
            const MbrEntry& logical = (*links)[0];
            if (!logical.empty() && !logical.extended()) {
                if (auto p = onDisk(number, ebr + logical.firstSector, logical.sectors, logical.type, end))
                    table.partitions.push_back(*p);
                ++number;
            }
            const MbrEntry& next = (*links)[1];
            if (next.empty() || !next.extended()) break;
            ebr = start + next.firstSector;
        }
    }
    if (table.partitions.empty()) return std::nullopt;
    std::sort(table.partitions.begin(), table.partitions.end(),
              [](const Partition& a, const Partition& b) { return a.number < b.number; });
    return table;
}

std::optional<std::pair<std::string, int>> splitPartitionSuffix(const std::string& text) {
    const std::size_t at = text.rfind('@');
    if (at == std::string::npos || at == 0 || at + 1 == text.size()) return std::nullopt;
    int n = 0;
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data() + at + 1, end, n);
    if (ec != std::errc{} || p != end || n < 1) return std::nullopt;
    return std::pair{text.substr(0, at), n};
}

std::optional<std::vector<DriveEntry>> partitionEntries(const std::string& path) {
    auto disk = LocalSource::open(path);
    if (!disk) return std::nullopt;
    const auto table = readPartitionTable(*disk);
    if (!table) return std::nullopt;
    std::vector<DriveEntry> out;
    for (const Partition& p : table->partitions) {
        DriveEntry e;
        e.path = path;
        e.offset = table->offsetOf(p);
        e.length = table->bytesOf(p);
        e.partition = p.number;
        e.fileSystem = fileSystemAt(path, e.offset, e.length);
        if (std::vector<std::uint8_t> boot; readSector(*disk, p.firstSector, table->sectorSize, boot))
            e.label = bootSectorLabel(boot);
        out.push_back(std::move(e));
    }
    return out;
}

}  // namespace harrow
