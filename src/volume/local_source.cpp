#include "volume/local_source.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace harrow {

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

ReadOutcome readFullyAt(int fd, std::uint64_t offset, MutableBytes out) {
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ReadOutcome::Error;
        if (n == 0) return ReadOutcome::EndOfDevice;
        done += static_cast<std::size_t>(n);
    }
    return ReadOutcome::Complete;
}

std::unique_ptr<LocalSource> LocalSource::open(const std::string& path, std::uint64_t byteOffset) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return nullptr;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return nullptr;

    std::uint32_t sectorSize = 512;
    std::optional<std::uint64_t> size;
    if (S_ISBLK(st.st_mode)) {
        int ss = 0;
        if (::ioctl(fd.get(), BLKSSZGET, &ss) == 0 && ss > 0) sectorSize = static_cast<std::uint32_t>(ss);
        std::uint64_t bytes = 0;
        if (::ioctl(fd.get(), BLKGETSIZE64, &bytes) == 0) size = bytes;
    } else if (S_ISREG(st.st_mode)) {
        size = static_cast<std::uint64_t>(st.st_size);
    } else {
        errno = ENODEV;
        return nullptr;
    }
    if (size) size = *size > byteOffset ? *size - byteOffset : 0;
    return std::unique_ptr<LocalSource>(new LocalSource(std::move(fd), byteOffset, sectorSize, size));
}

bool LocalSource::read(std::uint64_t first, std::uint32_t sectorSize, MutableBytes out) {
    // A sector number that overflows the byte offset cannot be on any device.
    if (sectorSize == 0 || first > (UINT64_MAX - offset_) / sectorSize / 2) {
        std::fill(out.begin(), out.end(), 0);
        return false;
    }
    std::uint64_t at = offset_ + first * sectorSize;
    ReadOutcome r = readFullyAt(fd_.get(), at, out);
    if (r != ReadOutcome::Complete) {
        // Keep what was read; the rest is zero. A short read is retried to find how much came.
        std::fill(out.begin(), out.end(), 0);
        if (r == ReadOutcome::EndOfDevice && size_ && at < offset_ + *size_) {
            std::size_t have = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), offset_ + *size_ - at));
            readFullyAt(fd_.get(), at, out.first(have));
        }
        return false;
    }
    return true;
}

}  // namespace harrow
