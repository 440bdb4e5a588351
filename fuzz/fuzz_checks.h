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
    check(item.name.size() <= kMaxListedNameBytes);
    check(isValidUtf8(item.name));
}

inline void checkList(const ItemList& list) {
    for (const FileItem& item : list) checkItem(item);
}


}  // namespace harrow::fuzz
