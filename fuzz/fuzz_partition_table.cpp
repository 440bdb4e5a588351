// Partition tables of whole disks, as the drive table reads them from any disk or file it is given:
// the MBR with its chain of extended records, and GPT. Every partition must lie inside the disk,
// and every walk must end.
//
// The input is the start of a disk. When its first byte is odd, the GPT checksums are made to
// fit before it is read, so that the fuzzer reaches the entries instead of stopping at the CRC.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz_checks.h"
#include "volume/memory_source.h"
#include "volume/partition_table.h"

using namespace harrow;
using harrow::fuzz::check;

namespace {

constexpr std::size_t kMaxDiskBytes = 1 << 20;

void fitChecksums(std::vector<std::uint8_t>& disk) {
    if (disk.size() < 1024) return;
    MutableBytes h = MutableBytes(disk).subspan(512, 512);
    const std::uint64_t at = le64(h, 72), bytes = std::uint64_t{le32(h, 80)} * le32(h, 84);
    if (at < disk.size() / 512 && bytes <= disk.size() - at * 512)
        storeLe<std::uint32_t>(h, 88, crc32(Bytes(disk).subspan(at * 512, bytes)));
    const std::uint32_t size = std::min<std::uint32_t>(le32(h, 12), 512);
    storeLe<std::uint32_t>(h, 16, 0);
    storeLe<std::uint32_t>(h, 16, crc32(h.first(size)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxDiskBytes) return 0;
    auto disk = std::make_shared<std::vector<std::uint8_t>>(data, data + size);
    if (size > 0 && (data[0] & 1)) fitChecksums(*disk);
    (void)parseMbrSector(*disk);
    (void)fileSystemOfBootSector(*disk);
    check(bootSectorLabel(*disk).size() <= 11);
    for (std::uint32_t sectorSize : {512u, 4096u}) {
        MemorySource source(disk, sectorSize);
        const auto table = readPartitionTable(source);
        if (!table) continue;
        const std::uint64_t diskSectors = size / table->sectorSize;
        check(!table->partitions.empty() && table->partitions.size() <= kMaxPartitions);
        int last = 0;
        for (const Partition& p : table->partitions) {
            check(p.number > last);
            last = p.number;
            check(p.firstSector > 0 && p.sectors > 0 && p.firstSector < diskSectors && p.sectors <= diskSectors - p.firstSector);
            check(table->offsetOf(p) + table->bytesOf(p) <= size);
            check(table->find(p.number) == &p);
        }
    }
    return 0;
}
