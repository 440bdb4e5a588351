// What every fuzz target asserts of the items the core hands out. A failed check traps, so the
// fuzzer keeps the input that broke it.
#pragma once

#include <string>

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


}  // namespace harrow::fuzz
