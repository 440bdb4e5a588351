#include "ntfs/lznt1.h"

#include <algorithm>
#include <optional>

namespace harrow {
namespace {

// One compressed chunk's data into `out` (at most 4096 bytes); returns the bytes produced, or
// nothing when the chunk is damaged (a back-reference before its start).
std::optional<std::size_t> decompressChunk(Bytes data, MutableBytes out) {
    std::size_t p = 0, in = 0;
    while (in < data.size()) {
        std::uint8_t tag = data[in++];
        for (int bit = 0; bit < 8 && in < data.size(); ++bit) {
            if (p >= out.size()) return p;
            if (!(tag & (1u << bit))) {
                out[p++] = data[in++];
                continue;
            }
            if (in + 2 > data.size()) return p;
            std::uint16_t v = static_cast<std::uint16_t>(data[in] | (data[in + 1] << 8));
            in += 2;
            if (p == 0) return std::nullopt;
            // The split between length and distance moves as the chunk fills: the distance gets
            // as many bits as it takes to reach back to the chunk's start.
            std::uint32_t mask = 0xFFF, shift = 12;
            for (std::size_t x = p - 1; x >= 16; x >>= 1) {
                mask >>= 1;
                --shift;
            }
            std::size_t length = (v & mask) + 3, distance = (v >> shift) + 1;
            if (distance > p) return std::nullopt;
            for (std::size_t k = 0; k < length && p < out.size(); ++k, ++p) out[p] = out[p - distance];
        }
    }
    return p;
}

}  // namespace

std::size_t lznt1Decompress(Bytes in, MutableBytes out) {
    std::size_t produced = 0, pos = 0;
    while (produced < out.size() && pos + 2 <= in.size()) {
        std::uint16_t h = static_cast<std::uint16_t>(in[pos] | (in[pos + 1] << 8));
        if ((h & 0x0FFF) == 0) break;
        pos += 2;
        MutableBytes chunkOut = out.subspan(produced, std::min(kLznt1ChunkBytes, out.size() - produced));
        if (!(h & 0x8000)) {
            // Stored as it is: 4096 bytes, or what is left of the input.
            std::size_t n = std::min({kLznt1ChunkBytes, in.size() - pos, chunkOut.size()});
            std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(pos), n, chunkOut.begin());
            pos += kLznt1ChunkBytes;
            produced += n;
            if (n < chunkOut.size() && n < kLznt1ChunkBytes) break;
            continue;
        }
        std::size_t dataLength = std::min<std::size_t>((h & 0x0FFF) + 1, in.size() - pos);
        auto made = decompressChunk(in.subspan(pos, dataLength), chunkOut);
        if (!made) break;
        pos += dataLength;
        std::fill(chunkOut.begin() + static_cast<std::ptrdiff_t>(*made), chunkOut.end(), 0);
        produced += chunkOut.size();
    }
    return produced;
}

}  // namespace harrow
