// Little-endian loads and stores over byte spans.
//
// Everything that comes from a volume or a socket is read through these. A load outside the span
// yields 0 instead of touching memory that is not there; parsers still bound their offsets first
// (so that they can tell a short buffer from a zero field), the fallback only keeps a missed
// check from becoming a read outside the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace harrow {

using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

// True when [off, off + len) lies inside a buffer of `size` bytes, without overflow.
constexpr bool fits(std::size_t size, std::uint64_t off, std::uint64_t len) {
    return off <= size && len <= size - off;
}

template <typename T>
constexpr std::optional<T> tryLoadLe(Bytes b, std::size_t off) {
    if (!fits(b.size(), off, sizeof(T))) return std::nullopt;
    T v = 0;
    for (std::size_t i = sizeof(T); i-- > 0;) v = static_cast<T>((v << 8) | b[off + i]);
    return v;
}

constexpr std::uint8_t le8(Bytes b, std::size_t off) { return off < b.size() ? b[off] : 0; }
constexpr std::uint16_t le16(Bytes b, std::size_t off) { return tryLoadLe<std::uint16_t>(b, off).value_or(0); }
constexpr std::uint32_t le32(Bytes b, std::size_t off) { return tryLoadLe<std::uint32_t>(b, off).value_or(0); }
constexpr std::uint64_t le64(Bytes b, std::size_t off) { return tryLoadLe<std::uint64_t>(b, off).value_or(0); }

// Stores outside the span are dropped; the writers of fixed records size their buffers exactly.
template <typename T>
constexpr void storeLe(MutableBytes b, std::size_t off, T v) {
    if (!fits(b.size(), off, sizeof(T))) return;
    for (std::size_t i = 0; i < sizeof(T); ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Compares the bytes at `off` with `text` (no terminator); false when the span is too short.
constexpr bool bytesEqual(Bytes b, std::size_t off, std::string_view text) {
    if (!fits(b.size(), off, text.size())) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (b[off + i] != static_cast<std::uint8_t>(text[i])) return false;
    return true;
}

}  // namespace harrow
