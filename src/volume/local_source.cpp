#include "volume/local_source.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace harrow {
namespace {

// The errors of a device that is gone, as opposed to sectors that are bad.
bool meansLost(int error) {
    return error == ENODEV || error == ENXIO || error == ENOMEDIUM || error == EBADF || error == ESHUTDOWN;
}

}  // namespace

UniqueFd LocalSource::openDevice(const std::string& path) {
    // Without O_NONBLOCK a FIFO would hold the open until something writes to it.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return fd;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return UniqueFd();
    if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) {
        errno = ENOTBLK;
        return UniqueFd();
    }
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::unique_ptr<LocalSource> LocalSource::open(const std::string& path, std::uint64_t byteOffset,
                                                                   std::optional<std::uint64_t> length) {
    UniqueFd fd = openDevice(path);
    if (!fd.valid()) return nullptr;
    return open(std::move(fd), byteOffset, length);
}

std::unique_ptr<LocalSource> LocalSource::open(UniqueFd fd, std::uint64_t byteOffset, std::optional<std::uint64_t> length) {
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return nullptr;

    std::uint32_t sectorSize = 512;
    std::optional<std::uint64_t> size;
    if (S_ISBLK(st.st_mode)) {
        int ss = 0;
        if (::ioctl(fd.get(), BLKSSZGET, &ss) == 0 && ss > 0) sectorSize = static_cast<std::uint32_t>(ss);
        std::uint64_t bytes = 0;
        if (::ioctl(fd.get(), BLKGETSIZE64, &bytes) == 0) size = bytes;
    } else {
        size = static_cast<std::uint64_t>(st.st_size);
    }
    if (size) size = *size > byteOffset ? *size - byteOffset : 0;
    if (length) size = size ? std::min(*size, *length) : *length;
    return std::unique_ptr<LocalSource>(new LocalSource(std::move(fd), byteOffset, sectorSize, size));
}

ReadResult LocalSource::read(std::uint64_t first, std::uint32_t sectorSize, MutableBytes out) {
    // A sector number that overflows the byte offset cannot be on any device.
    if (sectorSize == 0 || first > (UINT64_MAX - offset_) / sectorSize / 2) {
        std::fill(out.begin(), out.end(), 0);
        return ReadResult::Unreadable;
    }
    const std::uint64_t at = first * sectorSize;
    // Never past the end of the volume, even where the file or device goes on (into the next
    // partition).
    std::size_t want = out.size();
    if (size_) want = at < *size_ ? static_cast<std::size_t>(std::min<std::uint64_t>(want, *size_ - at)) : 0;

    std::size_t done = 0;
    int error = 0;
    while (done < want) {
        ssize_t n = ::pread(fd_.get(), out.data() + done, want - done, static_cast<off_t>(offset_ + at + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;  // an error, or the end of the device
        done += static_cast<std::size_t>(n);
    }
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(done), out.end(), 0);
    if (done == out.size()) return ReadResult::Done;
    return meansLost(error) ? ReadResult::Lost : ReadResult::Unreadable;
}

void LocalSource::expectSequential() {
    // Readahead grows on a stream the kernel knows to be sequential.
    ::posix_fadvise(fd_.get(), static_cast<off_t>(offset_), static_cast<off_t>(size_.value_or(0)), POSIX_FADV_SEQUENTIAL);
}

}  // namespace harrow
