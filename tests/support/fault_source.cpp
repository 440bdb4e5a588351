#include "support/fault_source.h"

#include <algorithm>

namespace harrow::test {

ReadResult FaultySource::read(std::uint64_t first, std::uint32_t sectorSize, MutableBytes out) {
    std::fill(out.begin(), out.end(), 0);
    if (plan_->beforeRead) plan_->beforeRead();
    ++plan_->reads;
    if (plan_->loseAfterReads && plan_->reads > *plan_->loseAfterReads) return ReadResult::Lost;
    const auto& b = *bytes_;
    if (sectorSize == 0 || first > b.size() / sectorSize) return ReadResult::Unreadable;
    const std::uint64_t at = first * sectorSize;
    std::uint64_t have = std::min<std::uint64_t>(out.size(), b.size() - at);
    const auto bad = plan_->badSectors.lower_bound(at / 512);
    if (bad != plan_->badSectors.end() && *bad * 512 < at + have) have = *bad * 512 > at ? *bad * 512 - at : 0;
    std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(at), have, out.begin());
    return have == out.size() ? ReadResult::Done : ReadResult::Unreadable;
}

}  // namespace harrow::test
