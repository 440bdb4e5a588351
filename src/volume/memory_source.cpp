#include "volume/memory_source.h"

#include <algorithm>

namespace harrow {

ReadResult MemorySource::read(std::uint64_t first, std::uint32_t sectorSize, MutableBytes out) {
    std::fill(out.begin(), out.end(), 0);
    const auto& b = *bytes_;
    if (sectorSize == 0 || first > b.size() / sectorSize) return ReadResult::Unreadable;
    std::uint64_t at = first * sectorSize;
    std::size_t have = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), b.size() - at));
    std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(at), have, out.begin());
    return have == out.size() ? ReadResult::Done : ReadResult::Unreadable;
}

OpenedSource MemorySources::open(const std::string&, DriveKind kind) {
    if (kind != DriveKind::Local) return failed(msg::kCannotOpenDrive);
    return {std::make_unique<MemorySource>(bytes_, sectorSize_), 0, "memory", {}};
}

}  // namespace harrow
