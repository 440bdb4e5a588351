// What every fuzz target asserts of the items the core hands out. A failed check traps, so the
// fuzzer keeps the input that broke it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "common/bytes.h"
#include "volume/sector_source.h"

#include "common/text.h"
#include "items/file_item.h"

namespace harrow::fuzz {

inline void check(bool ok) {
    if (!ok) __builtin_trap();
}

inline void checkItem(const FileItem& item) {
    // A named stream is listed as "name:stream", each part a name the volume can hold.
    const std::size_t streamPart = item.isStream() ? item.stream.size() + 1 : 0;
    check(item.stream.size() <= kMaxListedNameBytes && item.name.size() <= kMaxListedNameBytes + streamPart);
    check(!item.isStream() || (!item.isDirectory() && item.name.ends_with(":" + item.stream)));
    check(isValidUtf8(item.name));
}

inline void checkList(const ItemList& list) {
    for (const FileItem& item : list) checkItem(item);
}

// Reads sectors of `in` as a volume would: bytes past its end are unreadable (and zero).
inline auto sectorReader(Bytes in) {
    return [in](std::uint64_t sector, std::uint32_t size, MutableBytes out) {
        std::fill(out.begin(), out.end(), 0);
        if (size == 0 || sector >= in.size() / size) return ReadResult::Unreadable;
        const std::size_t at = static_cast<std::size_t>(sector * size);
        const std::size_t n = std::min(out.size(), in.size() - at);
        std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(at), n, out.begin());
        return n == out.size() ? ReadResult::Done : ReadResult::Unreadable;
    };
}

}  // namespace harrow::fuzz
