// Where a drive's sectors come from: a local block device or image file, an image file of our
// own format, or a volume served over the network.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "common/bytes.h"
#include "volume/drive_info.h"

namespace harrow {

// What a read came to. Unreadable sectors are the damage a recovery works around: the caller
// skips them or asks. A lost source (the device went away, the connection dropped) will not come
// back within the operation: every read after it would fail the same way.
enum class ReadResult { Done, Unreadable, Lost };

// The clusters an image file holds of its volume, first and last, and how many of them from the
// first are in the file: fewer than the range when the file was cut short.
// Sectors one after another: `count` from `first`.
struct SectorExtent {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
};

struct SavedClusters {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    std::uint64_t held = UINT64_MAX;
};

class SectorSource {
public:
    virtual ~SectorSource() = default;
    // Reads `out.size()` bytes starting at sector `first` of `sectorSize` bytes. Whatever could
    // not be read is zero-filled; nothing is ever read past sizeBytes().
    virtual ReadResult read(std::uint64_t first, std::uint32_t sectorSize, MutableBytes out) = 0;
    // The device's own sector size (the one its first read must use).
    virtual std::uint32_t deviceSectorSize() const = 0;
    // Bytes the source holds, when it knows.
    virtual std::optional<std::uint64_t> sizeBytes() const = 0;
    // The drive description a source carries itself (an image file's header, a server's reply);
    // nothing when the boot sector must tell.
    virtual std::optional<DriveInfo> driveInfo() const { return std::nullopt; }
    // An image file's range of clusters: the rest of the volume is not there to be searched.
    virtual std::optional<SavedClusters> savedClusters() const { return std::nullopt; }
    // Whether the `count` sectors from `first` are part of what the source holds: an image file
    // holds only part of its volume, and reads the rest as zeros that are no damage.
    virtual bool holds(std::uint64_t /*first*/, std::uint64_t /*count*/) const { return true; }
    // The reader is about to go through the source front to back.
    virtual void expectSequential() {}
    // The reads to come will go through these sectors of `sectorSize` bytes, in this order. Only
    // a source far away makes use of it: it asks for them before they are wanted. What is read
    // never depends on it.
    virtual void willRead(std::span<const SectorExtent> /*extents*/, std::uint32_t /*sectorSize*/) {}
};

}  // namespace harrow
