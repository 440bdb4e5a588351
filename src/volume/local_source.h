// A block device or a regular file holding a volume, opened read-only and read with pread.
#pragma once

#include <memory>
#include <string>

#include "common/unique_fd.h"
#include "volume/sector_source.h"

namespace harrow {

class LocalSource : public SectorSource {
public:
    // Opens `path` read-only. The volume starts `byteOffset` bytes into it and, when `length` is
    // given, ends that many bytes later (a partition of a whole disk). Nothing on failure; errno
    // tells why.
    static std::unique_ptr<LocalSource> open(const std::string& path, std::uint64_t byteOffset = 0,
                                                                std::optional<std::uint64_t> length = std::nullopt);
    // The same for a descriptor openDevice() gave.
    static std::unique_ptr<LocalSource> open(UniqueFd fd, std::uint64_t byteOffset = 0,
                                             std::optional<std::uint64_t> length = std::nullopt);
    // Opens `path` read-only as a source may be read: a block device or a regular file, never
    // anything that could keep the open waiting (a FIFO). Nothing on failure; errno tells why
    // (ENOTBLK for what is neither).
    static UniqueFd openDevice(const std::string& path);

    ReadResult read(std::uint64_t first, std::uint32_t sectorSize, MutableBytes out) override;
    std::uint32_t deviceSectorSize() const override { return sectorSize_; }
    std::optional<std::uint64_t> sizeBytes() const override { return size_; }
    void expectSequential() override;

private:
    LocalSource(UniqueFd fd, std::uint64_t offset, std::uint32_t sectorSize, std::optional<std::uint64_t> size)
        : fd_(std::move(fd)), offset_(offset), sectorSize_(sectorSize), size_(size) {}

    UniqueFd fd_;
    std::uint64_t offset_;
    std::uint32_t sectorSize_;
    std::optional<std::uint64_t> size_;
};

}  // namespace harrow
