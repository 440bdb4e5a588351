// Cluster ranges the disk scan must not read: an area of bad sectors that would make the drive
// hang. Held in ascending order of first cluster; ranges with the same first cluster keep the
// order they were entered in; overlapping ranges are allowed and not merged.
#pragma once

#include <cstdint>
#include <vector>

#include "document/document.h"

namespace harrow {

// Adds a range at its sorted place; (0, 0) is never stored.
void insertSkipRange(std::vector<SkipRange>& ranges, std::uint32_t first, std::uint32_t last);
void removeSkipRange(std::vector<SkipRange>& ranges, std::size_t index);
// A range the user may enter: its last cluster is not below its first.
inline bool validSkipRange(std::uint32_t first, std::uint32_t last) { return last >= first; }
// Moves `position` past every range that holds it, going once through the list in order.
std::uint64_t skipPast(const std::vector<SkipRange>& ranges, std::uint64_t position);

}  // namespace harrow
