#include "ntfs/record.h"

namespace harrow {
namespace {

// The update sequence protects the records in strides of 512 bytes whatever the sector size:
//  record:  | header ... | usn | fix 1 | fix 2 | ... |   stride i ends in two bytes equal to usn,
//                                                       which fix (i + 1) replaces.
// The array holds one entry per stride after the number itself, no more and no fewer: an array
// of another length protects something else, or nothing.
constexpr std::size_t kStride = 512;

bool applyFixups(MutableBytes r, std::size_t usnOffset, std::uint16_t count) {
    if (r.size() % kStride != 0 || count != r.size() / kStride + 1) return false;
    if (!fits(r.size(), usnOffset, 2 * std::uint64_t{count})) return false;
    for (std::uint32_t i = 0; i + 1 < count; ++i) {
        const std::size_t at = (i + 1) * kStride - 2;
        if (r[at] != r[usnOffset] || r[at + 1] != r[usnOffset + 1]) return false;
        r[at] = r[usnOffset + 2 * (i + 1)];
        r[at + 1] = r[usnOffset + 2 * (i + 1) + 1];
    }
    return true;
}

}  // namespace

bool repairFileRecord(MutableBytes r) {
    std::uint16_t offset = le16(r, frec::kUsaOffset), count = le16(r, frec::kUsaCount);
    if (std::uint64_t{offset} + 2ull * count >= r.size()) return false;
    if (!bytesEqual(r, 0, "FILE")) return false;
    return applyFixups(r, offset, count);
}

bool repairIndexRecord(MutableBytes r) {
    if (!bytesEqual(r, 0, "INDX")) return false;
    return applyFixups(r, 0x28, le16(r, 0x06));
}

}  // namespace harrow
