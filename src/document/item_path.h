// Item addresses: the paths and "@N" forms by which harrow-cli's ITEM (and any front end) names a
// listed file or directory, and the names of path steps, written so that every listed path reads
// back as the item it lists.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "document/document.h"

namespace harrow {

struct ResolvedItem {
    FileItem item;
    FileItem parent;   // the directory that holds it (NTFS lists it as "..")
    std::string path;  // "/A/B" as listed (names written as pathName writes them); "" for the root
    bool isRoot = false;
    bool ownDot = false;  // the "." or ".." of the directory that lists it
};

// Finds ITEM ("/A/B/C", "@N", "@N/B/C") in the opened document; the drive must be open.
// Nothing, with the reason in `error`, when a step does not exist.
std::optional<ResolvedItem> resolveItem(CQUIDNEYDoc& doc, const std::string& address, std::string& error);

// Whether ITEM's "@N" can name anything on this volume at all: a cluster FAT can address and the
// volume holds, or a sector inside an NTFS volume. The reason when not: a command line that can
// never work (exit 2), as opposed to an item that is not there (exit 1).
std::optional<std::string> badAddress(CQUIDNEYDoc& doc, const std::string& address);

// A name as one step of an ITEM path, so that every listed path reads back as the item it
// lists: '\' is written "\\" and '/' "\/"; a "." or ".." that is not the directory's own
// entry (`ownDot`) but an item so named is written "\." or "\..". The parser also takes "\n",
// "\t" and "\ooo" (three octal digits) for a byte, as shownText writes them.
std::string pathName(const std::string& name, bool ownDot = false);

// The items of a listing as path steps, the first `ownDots` being the directory's own "." and
// "..": what a tree walk hands out as paths that read back as ITEMs.
std::vector<std::string> pathNames(const ItemList& items, std::size_t ownDots);

}  // namespace harrow
