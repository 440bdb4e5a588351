// Partition tables of whole disks: MBR with its chain of extended boot records, and GPT. Linux
// users hold whole disks and images of them; each partition becomes a volume of its own, read
// through a source confined to it.
//
// The parsers are pure functions of bytes; readPartitionTable does the reading, and bounds every
// walk (at most kMaxPartitions partitions, a chain that never visits a sector twice, entry arrays
// of at most kMaxGptArrayBytes) and every partition (inside the disk).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "volume/drive_table.h"
#include "volume/sector_source.h"

namespace harrow {

enum class TableKind { Mbr, Gpt };

struct Partition {
    int number = 0;              // MBR primaries 1-4 by slot, logicals from 5 on through every chain; GPT entries from 1
    std::uint64_t firstSector = 0;  // in sectors of the table's sector size
    std::uint64_t sectors = 0;
    std::uint8_t mbrType = 0;     // MBR only
};

struct PartitionTable {
    TableKind kind = TableKind::Mbr;
    std::uint32_t sectorSize = 512;
    std::vector<Partition> partitions;  // by number

    const Partition* find(int number) const;
    std::uint64_t offsetOf(const Partition& p) const { return p.firstSector * sectorSize; }
    std::uint64_t bytesOf(const Partition& p) const { return p.sectors * sectorSize; }
};

inline constexpr std::size_t kMaxPartitions = 128;
inline constexpr std::size_t kMaxGptArrayBytes = 1u << 20;

// The file system a boot sector names, by the strings its formatters write: "NTFS", "exFAT",
// "FAT32", "FAT16", "FAT12"; nothing for anything else. Enough to tell a volume's first sector
// from a partition table; what a volume holds is for fileSystemAt to say.
std::optional<std::string> fileSystemOfBootSector(Bytes sector);
// The label a FAT boot sector carries in its extended parameter block, without the blanks that
// pad it; empty where there is none, it is the formatter's "NO NAME", or it is not plain ASCII
// (an OEM code page the caller has no table for).
std::string bootSectorLabel(Bytes sector);

// A size as people read it: "512 bytes", "100 MiB", "1.5 GiB".
std::string sizeText(std::uint64_t bytes);

// One MBR or extended boot record: its four entries, empty ones included. Nothing without the
// 0x55AA signature or with an entry whose status byte is neither 0 nor 0x80.
struct MbrEntry {
    std::uint8_t status = 0;
    std::uint8_t type = 0;
    std::uint32_t firstSector = 0;
    std::uint32_t sectors = 0;
    bool empty() const { return type == 0 || sectors == 0; }
    bool extended() const { return type == 0x05 || type == 0x0F || type == 0x85; }
};
std::optional<std::array<MbrEntry, 4>> parseMbrSector(Bytes sector);

struct GptHeader {
    std::uint64_t entriesSector = 0;
    std::uint32_t entryCount = 0;
    std::uint32_t entryBytes = 0;
    std::uint32_t entriesCrc = 0;
    std::uint64_t lastUsable = 0;
};
// Nothing unless the signature, the header size, the header's CRC and the entry geometry hold.
std::optional<GptHeader> parseGptHeader(Bytes sector);
// The used entries of an array whose CRC matches the header's, numbered from 1; partitions that
// begin outside [0, diskSectors) are dropped, those that run past its end cut.
std::optional<std::vector<Partition>> parseGptEntries(Bytes array, const GptHeader& header, std::uint64_t diskSectors);

std::uint32_t crc32(Bytes data);

// The partition table at the start of `source`, when sector 0 is one and not a volume's boot
// sector. Partitions past the end of the source are dropped, those that run past it cut.
std::optional<PartitionTable> readPartitionTable(SectorSource& source);

// "PATH@N" (N from 1): the path and the number; nothing for text without such an ending.
std::optional<std::pair<std::string, int>> splitPartitionSuffix(const std::string& text);

// The partitions of the disk or disk image at `path` as drive entries of their own (letter left
// to the caller), each with the file system its boot sector names and the label it carries. Nothing when `path` cannot be
// read or holds no partition table.
std::optional<std::vector<DriveEntry>> partitionEntries(const std::string& path);

}  // namespace harrow
