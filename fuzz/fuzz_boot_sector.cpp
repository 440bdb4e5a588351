// Boot sector parsing and the arithmetic that trusts its result: cluster-to-sector mapping, entry
// cluster numbers, the drive record's wire form, and FAT chain queries over a table whose geometry
// came from the same hostile sector.
//
// The input is the boot sector itself (512 to 4096 bytes). Bytes 0x1A0..0x1FF lie in the boot
// code, which the parser never reads, so they double as the cluster numbers and sizes to query.
// The input is also taken as a whole small volume, for the search of a backup boot sector that
// the drive and the drive table share.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/bytes.h"
#include "fatfs/boot_sector.h"
#include "fuzz_checks.h"
#include "volume/boot_probe.h"
#include "volume/drive_info.h"
#include "fatfs/fat_table.h"

using namespace harrow;

namespace {

// Above this the table is not built: the queries are what is fuzzed, not the allocator.
constexpr std::uint64_t kMaxFatBytes = 64 << 10;
constexpr std::size_t kParamBase = 0x1A0;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

struct Params {
    Bytes in;
    std::size_t at = kParamBase;
    std::uint32_t u32() {
        std::uint32_t v = le32(in, at);
        at += 4;
        return v;
    }
    std::uint8_t u8() { return le8(in, at++); }
};

void checkRoundTrip(const DriveInfo& info) {
    const auto bytes = info.serialize();
    const DriveInfo back = DriveInfo::deserialize(bytes);
    check(back.serialize() == bytes);
    // Every numeric field has its full width on the wire, so none may change on the way.
    check(back.fsType == info.fsType && back.bytesPerSector == info.bytesPerSector &&
          back.sectorsPerCluster == info.sectorsPerCluster && back.reservedSectors == info.reservedSectors &&
          back.numberOfFats == info.numberOfFats && back.rootEntries == info.rootEntries &&
          back.totalSectors == info.totalSectors && back.sectorsPerFat == info.sectorsPerFat &&
          back.rootCluster == info.rootCluster && back.clusterCount == info.clusterCount &&
          back.mftCluster == info.mftCluster && back.sectorsPerCylinder == info.sectorsPerCylinder);
    // A record cut short reads as zeros past its end instead of reading past the buffer.
    (void)DriveInfo::deserialize(Bytes(bytes).first(bytes.size() / 2));
}

void checkGeometry(const DriveInfo& info, std::uint32_t probe) {
    // What the parser promises before it says Fat.
    check(info.bytesPerSector >= 128 && info.bytesPerSector <= 4096 &&
          (info.bytesPerSector & (info.bytesPerSector - 1)) == 0);
    check(info.sectorsPerCluster != 0 && info.numberOfFats != 0 && info.sectorsPerFat != 0);
    check(info.dataStartSector() <= info.totalSectors);

    // Every data cluster must lie whole inside the volume. FAT32's count includes the two
    // reserved numbers, FAT12/16's does not.
    const bool fat32 = info.fsType == FsType::Fat32;
    const std::uint64_t lastData = std::min<std::uint64_t>(fat32 ? info.clusterCount - 1 : info.clusterCount + 1, 0xFFFFFFFFu);
    if (lastData >= 2) {
        for (std::uint64_t c : {std::uint64_t{2}, lastData, 2 + std::uint64_t{probe} % (lastData - 1)}) {
            const std::uint64_t s = sectorOfCluster(info, static_cast<std::uint32_t>(c));
            check(s >= info.dataStartSector());
            check(s + info.sectorsPerCluster <= info.totalSectors);
        }
    }
    // The fixed root of FAT12/16 sits between the FATs and the data.
    if (!fat32) check(sectorOfCluster(info, 0) + std::uint64_t{info.rootEntries} * 32 / info.bytesPerSector ==
                      info.dataStartSector());
    (void)sectorOfCluster(info, probe);
    (void)sectorOfCluster(info, 0xFFFFFFFFu);
}

void exerciseFat(const DriveInfo& info, Bytes in, Params& p) {
    FatTable fat(info);
    if (fat.totalBytes() == 0 || fat.totalBytes() > kMaxFatBytes) return;

    // The table's bytes come from the input past the boot sector, either once (zeros after) or
    // repeated, which makes long chains and cycles cheap for the fuzzer to find.
    std::vector<std::uint8_t> data;
    Bytes tail = in.size() > 512 ? in.subspan(512) : Bytes{};
    if ((p.u8() & 1) && !tail.empty()) {
        data.resize(static_cast<std::size_t>(fat.totalBytes()));
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = tail[i % tail.size()];
    } else {
        data.assign(tail.begin(), tail.end());
    }
    fat.setData(std::move(data));

    const std::uint32_t last = fat.lastCluster();
    const std::uint64_t clusterBytes = std::uint64_t{info.bytesPerSector} * info.sectorsPerCluster;
    const FatIndex copies[] = {0, fat.copies() - 1, fat.copies(), kNoFat};

    for (int round = 0; round < 4; ++round) {
        const std::uint32_t raw = p.u32();
        const std::uint32_t clusters[] = {raw, last ? raw % (last + 1) : raw, 2, last, last + 1u, 0xFFFFFFFFu};
        const FatIndex copy = copies[round];

        // Clusters past the last and copies that do not exist read as free.
        check(fat.entry(copy, last + 1u) == 0 || last == 0xFFFFFFFFu);
        check(fat.entry(-1, raw) == 0 && fat.entry(fat.copies(), raw) == 0);

        for (std::uint32_t c : clusters) {
            const std::uint32_t e = fat.entry(copy, c);
            if (info.fatBits() == 12) check(e <= 0xFFF);
            if (info.fatBits() == 16) check(e <= 0xFFFF);
            if (fat.isEndOfChain(c)) check(fat.next(copy, c) == c);

            // Reading a file block by block resumes the walk from where the last block stopped,
            // which is only right if walking a then b steps equals walking a + b.
            const std::uint32_t a = p.u8(), b = p.u8();
            const std::uint32_t mid = fat.walk(copy, c, a);
            check(fat.walk(copy, c, a + b) == fat.walk(copy, mid, b));
            check(fat.walk(copy, c, 0) == c);

            // Sizes up to a couple of times the volume: past that a cyclic chain only costs time.
            const std::uint64_t span = (std::uint64_t{last} + 2) * clusterBytes * 2;
            const std::uint64_t size = span ? p.u32() % span : 0;
            (void)fat.chainMatchesSize(copy, c, size);
            (void)fat.freeRunFits(copy, c, size);

            const std::uint32_t f = fat.nextFree(copy, c);
            if (c != 0xFFFFFFFFu) {
                check(f > c);
                check(f > last || fat.entry(copy, f) == 0);
                // Nothing free is skipped on the way (checked over a bounded stretch).
                for (std::uint32_t k = c + 1; k < f && k - c <= 4096; ++k) check(k == 0 || fat.entry(copy, k) != 0);
            }
        }
    }
}

// What the search promises: the sector it hands back is one the parse accepts, read from inside
// the volume at the sector size it gives.
void checkLocate(Bytes in) {
    const auto read = harrow::fuzz::sectorReader(in);
    std::vector<std::uint8_t> boot;
    const std::uint32_t device = in.size() > 0x1FF && (in[0x1FF] & 1) ? 4096 : 512;
    const BootLocation found = locateBootSector(read, device, in.size(), boot);
    check(boot.size() >= kBootBufferBytes);
    if (found.verdict == BootVerdict::Unrecognised) {
        check(found.sector == 0 && found.fileSystem.empty());
        return;
    }
    DriveInfo info;
    check(parseBootSector(boot, info) == found.verdict && info.fsName == found.fileSystem);
    check(found.sector == 0 || (found.sector + 1) * info.bytesPerSector <= in.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes in(data, size);
    checkLocate(in);
    DriveInfo info;
    const BootVerdict verdict = parseBootSector(in, info);
    if (verdict == BootVerdict::Unrecognised) return 0;

    Params p{in};
    info.label = bootSectorLabel(in, info);
    checkRoundTrip(info);
    if (verdict != BootVerdict::Fat) return 0;

    const std::uint32_t probe = p.u32();
    checkGeometry(info, probe);

    // Any 32 bytes will do as a directory entry; take them from the boot code.
    std::uint8_t entry[32] = {};
    if (in.size() > 0x60) std::copy_n(in.begin() + 0x60, std::min<std::size_t>(32, in.size() - 0x60), entry);
    const std::uint32_t first = firstClusterOfEntry(info, entry);
    if (info.fsType != FsType::Fat32) check(first <= 0xFFFF);
    (void)firstClusterOfEntry(info, Bytes(entry).first(16));  // a short entry must not be read past

    exerciseFat(info, in, p);
    return 0;
}
