// The save run: copies listed items out of the volume into ordinary files of a target folder,
// block by block through the drive, with their times and attributes. Questions (overwrite,
// another FAT copy) go through the document's prompts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/prompts.h"
#include "fatfs/fat_table.h"
#include "fatfs/fat_verdict.h"
#include "items/file_item.h"

namespace harrow {

class CQUIDNEYDoc;

enum class SaveStatus { Saved, Skipped, Failed, Cancelled };

class SaveObserver {
public:
    virtual ~SaveObserver() = default;
    virtual void beginItem(const FileItem& /*item*/, const std::string& /*targetPath*/) {}
    // Once per block copied, with the bytes of the current file done so far.
    virtual void progress(std::uint64_t /*bytesDone*/) {}
    virtual bool cancelled() { return false; }
    // A file's end, and a directory's whose folder took another name than its own (Saved) or
    // could not be made (Failed). The target path ends in the name actually written.
    virtual void itemDone(const FileItem& /*item*/, const std::string& /*targetPath*/, SaveStatus) {}
    // A FAT file is about to be read through copy `fat` (kNoFat: as contiguous clusters).
    virtual void readThrough(const FileItem& /*item*/, FatIndex /*fat*/) {}
    // A deleted file that lay in pieces is read as a guess, or as its content confirmed.
    virtual void readInPieces(const FileItem& /*item*/, PiecesRead /*how*/) {}
};

// Which FAT copy each file of a run (or a cat) is read through: the one it starts from, unless
// that copy does not describe the file. Entries of the copy that could not be read are never
// guessed through: another copy that was read there takes over, said through the prompts. A
// chain that does not fit the file is asked about while the document's options ask; the answer
// is for that file alone, unless it is "for all" (said, and the run's copy from then on).
class FileFats {
public:
    FileFats(CQUIDNEYDoc& doc, FatIndex start) : doc_(doc), runFat_(start) {}
    // Nothing when the file is not to be read: said already, or declined.
    std::optional<FatIndex> choose(const FileItem& item);
    // The copy files are read through unless they need another: the first, or the last chosen
    // for all.
    FatIndex runFat() const { return runFat_; }
    // Questions that had nobody to answer them.
    int unanswered() const { return unanswered_; }

private:
    CQUIDNEYDoc& doc_;
    FatIndex runFat_;
    bool declineAll_ = false;  // "skip, for all": later files that need a question are not read
    int unanswered_ = 0;
};

struct SaveOptions {
    std::string targetFolder;
    // The answer the overwrite question starts from: Yes asks, YesToAll replaces, NoToAll keeps.
    ReplaceAnswer initialAnswer = ReplaceAnswer::Yes;
    // Directories bring their contents along (read through the directory FAT), not just a folder.
    bool recursive = false;
    // Items named "." or ".." are a listed directory's own entries, and are passed over: a
    // selection from a listing may hold them. A caller that tells them apart from directories
    // merely so named clears it, and those are saved under a safe name.
    bool dotNamesAreOwnEntries = true;
    // The FAT copy files are read through (FAT volumes), as the target dialog or --fat chose it.
    FatIndex fat = 0;
};

struct SaveSummary {
    int saved = 0;
    int skipped = 0;   // kept an existing file, or the user declined
    int failed = 0;
    int unanswered = 0;  // questions nobody was there to answer (their files are skipped or failed)
    bool cancelled = false;
    bool started = false;  // the drive was open and the target folder could be used
    // The items given that were saved whole (files), by their place in the list given.
    std::vector<std::size_t> savedItems;
    FatIndex fat = 0;  // the copy the run read through at its end (an answer "for all" changes it)
};

// Saves `items` in order, into the target folder, on the document's open drive. A read or write
// error ends the run (the partial file stays); so do Cancel, from the overwrite question or the
// observer, and the loss of the source. Nothing is ever written outside the target folder; an
// item whose name cannot be a file name there is saved under a safe one (fileNamesInFolder).
// The items are not changed: what was saved is in the summary, for the caller to mark.
SaveSummary runSave(CQUIDNEYDoc& doc, const std::vector<FileItem>& items, const SaveOptions& options,
                    SaveObserver& observer);

// Can `name` be a file name in the target folder as it is? Not empty, not "." or "..", no '/' or
// NUL, at most 255 bytes.
bool isSafeFileName(std::string_view name);

// The names that items named `names` take in one target folder, in order. A safe name stays as
// it is. Any other gets a safe form: '/' and NUL become '_', "." and ".." (and an empty name) get
// a '_' in front, and a name over 255 bytes is cut at a character with its extension kept. A
// safe form that another name of the folder already has or takes gets "~2", "~3" ... before its
// extension, so no item lands on another's file.
std::vector<std::string> fileNamesInFolder(const std::vector<std::string_view>& names);

// Is `folder` on the volume being read (the block device, a partition of the disk, or the disk
// of the partition)? Saving there could write over the very clusters being recovered. An image
// file of harrow's own is no device and passes.
bool targetOnSource(const CQUIDNEYDoc& doc, const std::string& folder);

// Whether FAT copy `copy` can be used to read `item`: its entries for the file were read, and
// either the chain fits the size or the first cluster is free (a deleted file).
bool fatCopyUsable(const FatTable& fat, const FileItem& item, FatIndex copy);

// Makes `path` a folder only this user can enter, or takes the one there: it must be a folder
// (not a link to one) owned by this user; one that others may enter is closed to them. False,
// with nothing changed, otherwise.
bool usePrivateFolder(const std::string& path);

// The name under which `attributes` masked to read-only, hidden, system and archive are kept.
inline constexpr const char kDosAttributeXattr[] = "user.DOSATTRIB";

}  // namespace harrow
