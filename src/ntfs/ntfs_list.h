// NTFS directories and found file records as list items.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "common/bytes.h"
#include "items/file_item.h"
#include "ntfs/mft.h"

namespace harrow {

// The root directory's file record.
inline constexpr std::uint64_t kRootRecord = 5;

// The directory with record `record`; `parent` becomes its ".." item. Nothing when the record
// cannot be loaded or lists nothing. Each name of a file record is listed once however many
// paths through a damaged index lead to it, and each file is followed by its named data
// streams (see FileItem::stream). A damaged index of a directory in use is said once; the
// entries it could still reach are listed. The observer hears the count and may stop the listing
// (what came so far is returned).
std::optional<ItemList> listNtfsDirectory(Mft& mft, std::uint64_t record, const FileItem& parent,
                                          ListObserver* observer = nullptr);

// How much of a directory a listing could reach. An index that is damaged is said for a
// directory in use (IndexDamaged); a deleted directory's blocks are often other data by now, and
// a lost source has been said already (IndexDamagedUnsaid). Blocks an image file does not hold
// count as IndexDamaged too, said with a message of their own. A record that cannot be loaded is
// left to the caller, which knows what the directory is to the user.
enum class NtfsListing { Whole, RecordUnreadable, IndexDamaged, IndexDamagedUnsaid };
std::optional<ItemList> listNtfsDirectory(Mft& mft, std::uint64_t record, const FileItem& parent,
                                          ListObserver* observer, NtfsListing& reached);

// The scan's hand-in for a record with "FILE" at `sector`: the all-files list's item for it, or
// nothing when it is no such file (a system file, no name, no unnamed data) or could not be read
// (the volume's read-failed flag tells which). `record` holds the record's bytes when the caller
// has them already, else the record is read.
std::optional<FileItem> foundNtfsFile(Mft& mft, std::uint64_t sector, Bytes record = {});

// The folder of each directory record that `records` name as a parent, as far as the parents
// resolve: "/" for the root, "/A/B", "?/B" where B's parent is no directory record that can be
// read (or the chain goes in a circle), "?" where the record itself is not. A deleted folder's
// record keeps its name while it is not reused, so deleted files show where they were.
using FolderPaths = std::unordered_map<std::uint64_t, std::string>;
FolderPaths ntfsFolderPaths(Mft& mft, const ItemList& records, ListObserver* observer = nullptr);

// An item for the record at `sector`, whatever lists hold it: its name, size, times and whether
// it is a directory.
std::optional<FileItem> ntfsItemAtSector(Mft& mft, std::uint64_t sector);

// The items of the named data streams of `file` (an item of the record at its `cluster`), as a
// listing puts them after it.
ItemList ntfsStreamItems(Mft& mft, const FileItem& file);

}  // namespace harrow
