// Where a drive's sectors come from: a local block device or image file, an image file of our
// own format, or a volume served over the network.
#pragma once

#include <cstdint>
#include <optional>

#include "common/bytes.h"

namespace harrow {

class SectorSource {
public:
    virtual ~SectorSource() = default;
    // Reads `out.size()` bytes starting at sector `first` of `sectorSize` bytes. On failure the
    // part of `out` that could not be read is zero-filled.
    virtual bool read(std::uint64_t first, std::uint32_t sectorSize, MutableBytes out) = 0;
    // The device's own sector size (the one its first read must use).
    virtual std::uint32_t deviceSectorSize() const = 0;
    // Bytes the source holds, when it knows.
    virtual std::optional<std::uint64_t> sizeBytes() const = 0;
};

}  // namespace harrow
