// The exFAT parsers: the boot region (its geometry and checksum, the search for the backup that
// the drive and the drive table share), entry sets and the directory listing built of them, the
// root's own entries and the up-case table.
//
// The input is taken as the start of a volume: its boot sector describes the geometry the
// listing bounds clusters and lengths by (a fixed small one when it does not), and every 32 bytes
// from sector 1 on are listed as one directory, deleted sets included.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "exfat/directory.h"
#include "exfat/entry_set.h"
#include "fuzz_checks.h"
#include "volume/boot_probe.h"

using namespace harrow;

namespace {

void checkLocate(Bytes in) {
    const auto read = harrow::fuzz::sectorReader(in);
    std::vector<std::uint8_t> boot;
    const BootLocation found = locateBootSector(read, 512, in.size(), boot);
    fuzz::check(found.verdict != BootVerdict::Exfat || found.sector == 0 || found.sector == 12);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes in(data, size);
    DriveInfo info;
    if (parseBootSector(in, info) == BootVerdict::Exfat) {
        // What the parse promises: every cluster of the heap inside the volume, the FATs before it.
        fuzz::check(exfatGeometryOk(info));
        fuzz::check(info.heapOffset + (info.clusterCount) * info.clusterSectors() <= info.volumeSectors);
        (void)exfatBootChecksum(in, info.bytesPerSector);
    } else {
        info = DriveInfo{};
        info.fsType = FsType::Exfat;
        info.bytesPerSector = 512;
        info.sectorsPerCluster = 1;
        info.bytesPerCluster = 512;
        info.clusterCount = 1000;
    }
    checkLocate(in);

    const Bytes directory = in.size() > 512 ? in.subspan(512) : Bytes{};
    const exfat::Listing listing = exfat::listEntries(directory, info, true, false);
    fuzz::checkList(listing.items);
    for (const FileItem& item : listing.items) {
        fuzz::check(item.validSize <= item.size);
        fuzz::check(item.size <= info.clusterCount * info.bytesPerCluster);
        if (item.size > 0) fuzz::check(item.cluster >= 2 && item.cluster <= info.clusterCount + 1);
    }
    (void)exfat::rootEntries(directory);

    const exfat::UpcaseTable upcase(directory);
    const std::string a(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 64));
    fuzz::check(upcase.sameName(a, a));
    return 0;
}
