#include "scan/skip_ranges.h"

#include <algorithm>

namespace harrow {

void insertSkipRange(std::vector<SkipRange>& ranges, std::uint32_t first, std::uint32_t last) {
    if (first == 0 && last == 0) return;
    auto at = std::upper_bound(ranges.begin(), ranges.end(), first,
                               [](std::uint32_t f, const SkipRange& r) { return f < r.first; });
    ranges.insert(at, SkipRange{first, last});
}

void removeSkipRange(std::vector<SkipRange>& ranges, std::size_t index) {
    if (index < ranges.size()) ranges.erase(ranges.begin() + static_cast<std::ptrdiff_t>(index));
}

std::uint64_t skipPast(const std::vector<SkipRange>& ranges, std::uint64_t position) {
    for (const SkipRange& r : ranges)
        if (r.first <= position && position <= r.last) position = std::uint64_t{r.last} + 1;
    return position;
}

}  // namespace harrow
