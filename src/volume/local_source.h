// A block device or a regular file holding a volume, opened read-only and read with pread.
#pragma once

#include <memory>
#include <string>

#include "volume/sector_source.h"

namespace harrow {

// Owns a file descriptor; move-only.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

enum class ReadOutcome { Complete, EndOfDevice, Error };

// Reads exactly out.size() bytes at `offset`, retrying on EINTR and short reads.
ReadOutcome readFullyAt(int fd, std::uint64_t offset, MutableBytes out);

class LocalSource : public SectorSource {
public:
    // Opens `path` read-only. `byteOffset` is where the volume starts inside it (a partition in
    // a whole-disk image). Nothing on failure; errno tells why.
    static std::unique_ptr<LocalSource> open(const std::string& path, std::uint64_t byteOffset = 0);

    bool read(std::uint64_t first, std::uint32_t sectorSize, MutableBytes out) override;
    std::uint32_t deviceSectorSize() const override { return sectorSize_; }
    std::optional<std::uint64_t> sizeBytes() const override { return size_; }

private:
    LocalSource(UniqueFd fd, std::uint64_t offset, std::uint32_t sectorSize, std::optional<std::uint64_t> size)
        : fd_(std::move(fd)), offset_(offset), sectorSize_(sectorSize), size_(size) {}

    UniqueFd fd_;
    std::uint64_t offset_;
    std::uint32_t sectorSize_;
    std::optional<std::uint64_t> size_;
};

}  // namespace harrow
