// What each FAT copy says of a file, as the file list shows it with an icon:
//   147 the chain fits the size in every copy     200 it fits in none
//   201 it fits in some copies but not all         202 deleted, and its clusters are all free
//   206 deleted, and only its first cluster is free
#pragma once

#include <cstdint>
#include <optional>

#include "common/strings.h"

#include "fatfs/fat_table.h"
#include "items/file_item.h"

namespace harrow {

enum FatVerdict : std::uint16_t {
    VERDICT_FITS = 147,
    VERDICT_FITS_NONE = 200,
    VERDICT_FITS_SOME = 201,
    VERDICT_DELETED_FREE_RUN = 202,
    VERDICT_DELETED_FIRST_FREE = 206,
};

// Whether copy `copy` describes the file well enough to read it by: no FAT is used (kNoFat, NTFS,
// an empty file), the file is deleted and its first cluster is free (it is read through the free
// clusters), or its chain fits its size. Otherwise saving asks for another copy, and so does cat.
bool chainDescribesFile(const FatTable& fat, FatIndex copy, const FileItem& item);

// A deleted file whose first cluster is free in `copy`, but with too few free clusters after it,
// one after another, to hold it: it lay in pieces, and where the later ones lay is not recorded.
bool deletedInPieces(const FatTable& fat, FatIndex copy, const FileItem& item);

// How the clusters of a file deleted in pieces were taken: the free clusters from its first on
// (or another choice of free runs that its content could not single out), or free runs that its
// content confirms.
enum class PiecesRead { NotInPieces, Guessed, Confirmed };

// What a save says of a file so read; nothing for one that was not in pieces.
std::optional<MessageId<>> piecesMessage(PiecesRead how);

// The verdict for a file on the loaded FAT copies; 147 where there are none (NTFS). It reads
// only the tables, so it may be asked at any time, also while the file is being read. On exFAT
// the allocation bitmap judges the clusters: a file in use fits when its chain (or run) does and
// every cluster is in use (else 200); a deleted one is 202 when every cluster is free, 206 when
// some are, 200 when none is.
FatVerdict fatVerdict(const FatTable& fat, const FileItem& item);

// exFAT: whether `item` is read along its chain in `copy`. A contiguous file has none; a
// deleted file keeps the chain its clusters had only where the chain still fits its size, and
// otherwise is taken to lie in one run from its first cluster.
bool exfatFollowsChain(const FatTable& fat, FatIndex copy, const FileItem& item);

}  // namespace harrow
