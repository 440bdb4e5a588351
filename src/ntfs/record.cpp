#include "ntfs/record.h"

namespace harrow {
namespace {

//  record:  | header ... | usn | fix 1 | fix 2 | ... |   sector i ends in two bytes equal to usn,
//                                                       which fix (i + 1) replaces.
bool applyFixups(MutableBytes r, std::uint32_t bps, std::size_t usnOffset, std::uint16_t count) {
    if (bps < 2) return false;
    if (!fits(r.size(), usnOffset, 2 * std::uint64_t{count})) return false;
    for (std::uint32_t i = 0; i + 1 < count; ++i) {
        std::uint64_t end = std::uint64_t{i + 1} * bps;
        if (end > r.size()) break;
        std::size_t at = static_cast<std::size_t>(end - 2);
        if (r[at] != r[usnOffset] || r[at + 1] != r[usnOffset + 1]) return false;
        r[at] = r[usnOffset + 2 * (i + 1)];
        r[at + 1] = r[usnOffset + 2 * (i + 1) + 1];
    }
    return true;
}

}  // namespace

bool repairFileRecord(MutableBytes r, std::uint32_t bps) {
    std::uint16_t offset = le16(r, frec::kUsaOffset), count = le16(r, frec::kUsaCount);
    if (std::uint64_t{offset} + 2ull * count >= r.size()) return false;
    if (!bytesEqual(r, 0, "FILE")) return false;
    return applyFixups(r, bps, offset, count);
}

bool repairIndexRecord(MutableBytes r, std::uint32_t bps) {
    if (!bytesEqual(r, 0, "INDX")) return false;
    return applyFixups(r, bps, 0x28, le16(r, 0x06));
}

}  // namespace harrow
