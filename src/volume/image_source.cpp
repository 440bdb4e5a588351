#include "volume/image_source.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace harrow {
namespace {

bool meansLost(int error) { return error == ENODEV || error == ENXIO || error == EBADF || error == ESHUTDOWN; }

}  // namespace

std::unique_ptr<ImageSource> ImageSource::open(const std::string& path, std::string* why) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return nullptr;
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    return open(std::move(fd), why);
}

bool ImageSource::hasSignature(int fd) {
    constexpr std::size_t n = sizeof imagefile::kSignatureText - 1;
    char head[n];
    return ::pread(fd, head, n, 0) == static_cast<ssize_t>(n) && std::equal(head, head + n, imagefile::kSignatureText);
}

bool ImageSource::isImageFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    return fd.valid() && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && hasSignature(fd.get());
}

std::unique_ptr<ImageSource> ImageSource::open(UniqueFd fd, std::string* why) {
    auto refuse = [&](std::string reason) {
        if (why) *why = std::move(reason);
        return nullptr;
    };
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;

    std::vector<std::uint8_t> head(imagefile::kHeaderBytes);
    ssize_t got = ::pread(fd.get(), head.data(), head.size(), 0);
    if (got != static_cast<ssize_t>(head.size())) return refuse("it ends inside its header");
    auto header = ImageHeader::parse(head);
    if (!header) return refuse("its header is damaged, or describes no volume a boot sector could");
    std::string reason;
    const auto held = fitImageToFile(*header, static_cast<std::uint64_t>(st.st_size), reason);
    if (!held) return refuse(std::move(reason));
    return std::unique_ptr<ImageSource>(new ImageSource(std::move(fd), std::move(*header), *held));
}

ReadResult ImageSource::readFile(std::uint64_t offset, MutableBytes out) {
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::pread(fd_.get(), out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return meansLost(errno) ? ReadResult::Lost : ReadResult::Unreadable;
        if (n == 0) return ReadResult::Unreadable;  // the file ends before the range does
        done += static_cast<std::size_t>(n);
    }
    return ReadResult::Done;
}

ReadResult ImageSource::read(std::uint64_t first, std::uint32_t sectorSize, MutableBytes out) {
    std::fill(out.begin(), out.end(), 0);
    if (sectorSize == 0 || first > volumeBytes_ / sectorSize) return ReadResult::Unreadable;
    const std::uint64_t start = first * sectorSize;
    const std::uint64_t s = header_.info.bytesPerSector;
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), volumeBytes_ - start));
    ReadResult result = ReadResult::Done;
    // Piece by piece: each lies in one range of the file or in one gap between them.
    for (std::size_t done = 0; done < want;) {
        const std::uint64_t at = start + done, within = at % s;
        const Placement p = placeSector(ranges_, at / s);
        const std::uint64_t span = p.sectors > UINT64_MAX / s ? UINT64_MAX : p.sectors * s - within;
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(want - done, span));
        if (p.fileSector) {
            const ReadResult r = readFile(*p.fileSector * s + within, out.subspan(done, n));
            if (r == ReadResult::Lost) return r;
            if (r != ReadResult::Done) result = r;
        }
        done += n;
    }
    return want == out.size() ? result : ReadResult::Unreadable;
}

bool ImageSource::holds(std::uint64_t first, std::uint64_t count) const {
    // Piece by piece, as a read goes: the ranges may lie one against the other.
    while (count > 0) {
        const Placement p = placeSector(ranges_, first);
        if (!p.fileSector || p.sectors == 0) return false;
        const std::uint64_t n = std::min(count, p.sectors);
        count -= n;
        if (count == 0) return true;
        if (first > UINT64_MAX - n) return false;
        first += n;
    }
    return true;
}

void ImageSource::expectSequential() { ::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_SEQUENTIAL); }

}  // namespace harrow
