// NTFS directories and found file records as list items.
#pragma once

#include <cstdint>
#include <optional>

#include "fatfs/file_item.h"

namespace harrow {

class CDrive;
class CInode;
class CQUIDNEYDoc;

// The directory with record `record`; `parent` becomes its ".." item. Nothing when the record
// cannot be loaded or lists nothing.
std::optional<ItemList> listNtfsDirectory(CQUIDNEYDoc& doc, std::uint64_t record, const FileItem& parent);

// The scan's hand-in for a record with "FILE" at `sector`: adds a file to the all-files list.
// False only when a sector could not be read.
bool addNtfsFile(CQUIDNEYDoc& doc, std::uint64_t sector);

// An item for the record at `sector`, whatever lists hold it: its name, size, times and whether
// it is a directory.
std::optional<FileItem> ntfsItemAtSector(CDrive& drive, std::uint64_t sector);

}  // namespace harrow
