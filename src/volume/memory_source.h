// A volume held in memory: crafted images in tests and fuzz targets.
#pragma once

#include <memory>
#include <vector>

#include "volume/source_factory.h"

namespace harrow {

class MemorySource : public SectorSource {
public:
    explicit MemorySource(std::shared_ptr<const std::vector<std::uint8_t>> bytes, std::uint32_t sectorSize = 512)
        : bytes_(std::move(bytes)), sectorSize_(sectorSize) {}

    ReadResult read(std::uint64_t first, std::uint32_t sectorSize, MutableBytes out) override;
    std::uint32_t deviceSectorSize() const override { return sectorSize_; }
    std::optional<std::uint64_t> sizeBytes() const override { return bytes_->size(); }

private:
    std::shared_ptr<const std::vector<std::uint8_t>> bytes_;
    std::uint32_t sectorSize_;
};

// Hands out the same bytes at every open, whatever the path.
class MemorySources : public SourceFactory {
public:
    explicit MemorySources(std::vector<std::uint8_t> bytes, std::uint32_t sectorSize = 512)
        : bytes_(std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes))), sectorSize_(sectorSize) {}

    OpenedSource open(const std::string& path, DriveKind kind) override;
    const std::vector<std::uint8_t>& bytes() const { return *bytes_; }

private:
    std::shared_ptr<const std::vector<std::uint8_t>> bytes_;
    std::uint32_t sectorSize_;
};

}  // namespace harrow
