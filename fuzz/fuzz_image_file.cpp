// Image files as harrow-cli meets them: anything that starts with the signature is opened as one.
// The header's parse and the map of volume sectors to file sectors it gives, then the file read
// through the source, whole or cut anywhere: every sector must come from its place or be zeros,
// and no arithmetic may wrap.
//
// The input is the file itself. Its last 16 bytes double as the sectors to probe.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_checks.h"
#include "volume/image_source.h"

using namespace harrow;
using harrow::fuzz::check;

namespace {

constexpr std::size_t kMaxFileBytes = 1 << 20;

void checkPlacements(const ImageHeader& h, const ImageRanges& ranges, std::uint64_t probe) {
    const std::uint64_t s = h.info.bytesPerSector;
    check(ranges[0].fileSector == 2 && ranges[1].fileSector == std::uint64_t{h.systemSectors} + 2);
    check(placeSector(ranges, 0).fileSector == std::uint64_t{1});
    std::vector<std::uint64_t> sectors{1, probe, probe % (imageVolumeBytes(h.info) / s + 1), UINT64_MAX};
    for (const ImageRange& r : ranges) {
        sectors.push_back(r.firstSector);
        sectors.push_back(r.firstSector + r.sectors);
        sectors.push_back(r.firstSector + r.sectors - 1);
    }
    for (std::uint64_t sector : sectors) {
        const Placement p = placeSector(ranges, sector);
        check(p.sectors >= 1);
        if (p.fileSector) {
            // The file offset of every sector of the piece can be computed.
            check(*p.fileSector <= UINT64_MAX / s - p.sectors);
            if (sector != 0 && p.sectors > 1) check(placeSector(ranges, sector + 1).fileSector == *p.fileSector + 1);
        } else if (p.sectors != UINT64_MAX) {
            // A gap ends where a range begins.
            check(placeSector(ranges, sector + p.sectors).fileSector.has_value());
        }
    }
}

// The same bytes as a file: the source reads through a descriptor of its own.
void readAsFile(const std::uint8_t* data, std::size_t size, std::uint64_t probe) {
    const int fd = ::memfd_create("image", MFD_CLOEXEC);
    if (fd < 0) return;
    if (::write(fd, data, size) != static_cast<ssize_t>(size)) {
        ::close(fd);
        return;
    }
    auto image = ImageSource::open("/proc/self/fd/" + std::to_string(fd));
    ::close(fd);
    if (!image) return;
    const ImageHeader& h = image->header();
    const std::uint32_t s = h.info.bytesPerSector;
    check(image->sizeBytes() == imageVolumeBytes(h.info));
    // The file holds what it claims of its range, and a FAT image its tables: loading them
    // allocates no more than the file.
    const auto saved = image->savedClusters();
    check(saved && saved->held <= (saved->first > saved->last ? 0 : saved->last - saved->first + 1ull));
    if (!h.info.isNtfs()) check(std::uint64_t{h.info.numberOfFats} * h.info.sectorsPerFat * s <= size);
    // What the source says it holds is what the map places, across the ranges, without wrapping.
    const ImageRanges ranges = imageRanges(h);
    for (std::uint64_t first : {std::uint64_t{0}, probe, ranges[0].firstSector, ranges[1].firstSector, UINT64_MAX}) {
        check(image->holds(first, 1) == placeSector(ranges, first).fileSector.has_value());
        if (image->holds(first, 1 + probe % 64)) check(first <= UINT64_MAX - probe % 64);
    }
    std::vector<std::uint8_t> out(8 * 4096);
    for (std::uint64_t first : {std::uint64_t{0}, probe % 4096, probe, imageRanges(h)[1].firstSector}) {
        for (std::uint32_t size : {s, 512u, 4096u}) {
            const std::size_t bytes = std::min<std::size_t>(out.size(), std::size_t{size} * (1 + probe % 7));
            const ReadResult r = image->read(first, size, MutableBytes(out).first(bytes));
            // Sector 0 is the boot sector, whatever else the file holds.
            if (first == 0 && r == ReadResult::Done) check(std::equal(out.begin(), out.begin() + std::min(s, size), data + s));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxFileBytes) return 0;
    const Bytes in(data, size);
    const std::uint64_t probe = size >= 8 ? le64(in, size - 8) : 0;
    const auto header = ImageHeader::parse(in);
    if (header) {
        check(imageGeometryOk(header->info));
        const auto again = ImageHeader::parse(header->serialize());
        check(again && again->serialize() == header->serialize());
        checkPlacements(*header, imageRanges(*header), probe);
    }
    readAsFile(data, size, probe);
    return 0;
}
