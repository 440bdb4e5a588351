// The image file of part of a volume: its boot sector, its system area (FAT copies and fixed root
// directory, or the first MFT records) and one range of clusters. S is the volume's sector size;
// file sector k is the S bytes at k x S.
//
//   file sector 0        header, zero-padded to S bytes:
//                          0  signature "Disk File ver 3.0", 0x1A, 14 zero bytes (32 bytes)
//                         32  DriveInfo of the volume (134 bytes)
//                        166  n, system-area sectors       170  the value 1
//                        174  c1, first saved cluster      178  c2, last saved cluster
//   file sector 1        volume sector 0
//   2 .. n+1             volume sectors F .. F+n-1 (the system area)
//   n+2 ..               clusters c1 .. c2, each as its sectors, readable or not
//
// Everything here is a pure function of bytes, so tests and fuzz targets feed it directly.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "volume/drive_info.h"

namespace harrow {

namespace imagefile {
inline constexpr char kSignatureText[] = "Disk File ver 3.0";
inline constexpr std::size_t kSignatureBytes = 32;
enum Offset : std::size_t {
    kSignature = 0,
    kDriveInfo = 32,
    kSystemSectors = 166,
    kOne = 170,
    kFirstCluster = 174,
    kLastCluster = 178,
    kHeaderBytes = 182,
};
// The header must fit in one sector.
inline constexpr std::uint32_t kMinSectorBytes = 256;
}  // namespace imagefile

struct ImageHeader {
    DriveInfo info;
    std::uint32_t systemSectors = 0;  // n
    std::uint32_t one = 1;
    std::uint32_t firstCluster = 0;   // c1
    std::uint32_t lastCluster = 0;    // c2

    // File sector 0: info.bytesPerSector bytes (at least the fixed part), the padding zeros.
    std::vector<std::uint8_t> serialize() const;
    // Nothing unless `bytes` starts with the signature and its DriveInfo describes a volume the
    // range arithmetic can stand: a boot sector that passes the parse could have given it.
    static std::optional<ImageHeader> parse(Bytes bytes);
};

// Whether `info` is a geometry an image can be made of and read back: a sector size of 256 to
// 4096 bytes, a power of two, and the consistency the boot-sector parse guarantees.
bool imageGeometryOk(const DriveInfo& info);

// The system area an image keeps: FAT, from the first FAT sector to cluster 2; NTFS, the first
// ten MFT records.
struct SystemArea {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
};
SystemArea systemAreaOf(const DriveInfo& info);

// First volume sector of cluster `c` (FAT: data clusters from 2; NTFS: counted from sector 0);
// nothing where no such sector can be.
std::optional<std::uint64_t> clusterSectorOf(const DriveInfo& info, std::uint64_t c);

// A run of volume sectors held one after another in the file.
struct ImageRange {
    std::uint64_t fileSector = 0;
    std::uint64_t firstSector = 0;
    std::uint64_t sectors = 0;
};
using ImageRanges = std::array<ImageRange, 2>;  // the system area, then the clusters

// The ranges of a header that parse() accepted.
ImageRanges imageRanges(const ImageHeader& header);

// Where volume sector `sector` lies: in file sector `fileSector`, with `sectors` sectors
// following it there in order; or, without a file sector, in a gap of `sectors` sectors that
// read as zeros (up to the next range, or all bits set when none follows).
struct Placement {
    std::optional<std::uint64_t> fileSector;
    std::uint64_t sectors = 0;
};
Placement placeSector(const ImageRanges& ranges, std::uint64_t sector);

// Holds a header that parse() accepted to the file it came from, `fileBytes` long, as a raw
// volume is held to its source: the clusters of the saved range the file holds from c1 (fewer
// than the range when it was cut short); nothing, with the reason in `why`, when the file cannot
// be read as its volume (a FAT image without its whole system area, or too short for its FAT
// copies). A count of clusters the FAT cannot name is cut to the clusters the file holds.
std::optional<std::uint64_t> fitImageToFile(ImageHeader& header, std::uint64_t fileBytes, std::string& why);

// Bytes of the volume an image stands for: reads end there.
std::uint64_t imageVolumeBytes(const DriveInfo& info);

}  // namespace harrow
