#include "ntfs/runs.h"

namespace harrow {

std::optional<DecodedRun> decodeRun(Bytes b, std::int64_t& lcn) {
    if (b.empty()) return std::nullopt;
    const unsigned lengthSize = b[0] & 0x0F, offsetSize = b[0] >> 4;
    if (lengthSize == 0 || lengthSize > 8 || offsetSize > 8) return std::nullopt;
    if (!fits(b.size(), 1, lengthSize + offsetSize)) return std::nullopt;

    std::uint64_t length = 0;
    for (unsigned i = 0; i < lengthSize; ++i) length |= std::uint64_t{b[1 + i]} << (8 * i);
    // Lengths count clusters: unsigned whatever their width (a 2-byte 0x8000 is 32768 clusters,
    // not a negative run that would put every later run in the wrong place).
    if (length == 0) return std::nullopt;

    if (offsetSize > 0) {
        std::uint64_t raw = 0;
        for (unsigned i = 0; i < offsetSize; ++i) raw |= std::uint64_t{b[1 + lengthSize + i]} << (8 * i);
        if (offsetSize < 8 && (raw >> (8 * offsetSize - 1)) != 0) raw |= ~0ull << (8 * offsetSize);
        lcn = static_cast<std::int64_t>(static_cast<std::uint64_t>(lcn) + raw);
    }
    return DecodedRun{1 + lengthSize + offsetSize, length, offsetSize == 0};
}

}  // namespace harrow
