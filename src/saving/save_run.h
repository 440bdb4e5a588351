// The save run: copies listed items out of the volume into ordinary files of a target folder,
// block by block through the drive, with their times and attributes. Questions (overwrite,
// another FAT copy) go through the document's prompts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/prompts.h"
#include "items/file_item.h"

namespace harrow {

class CQUIDNEYDoc;

enum class SaveStatus { Saved, Skipped, Failed, Cancelled };

class SaveObserver {
public:
    virtual ~SaveObserver() = default;
    virtual void beginItem(const FileItem& /*item*/, const std::string& /*targetPath*/) {}
    // Once per block copied: a GUI moves its progress bar and lets one pending event through.
    virtual void progress(int /*percent*/) {}
    virtual bool cancelled() { return false; }
    virtual void itemDone(const FileItem& /*item*/, const std::string& /*targetPath*/, SaveStatus) {}
};

struct SaveOptions {
    std::string targetFolder;
    // The answer the overwrite question starts from: Yes asks, YesToAll replaces, NoToAll keeps.
    ReplaceAnswer initialAnswer = ReplaceAnswer::Yes;
    // Directories bring their contents along (read through the directory FAT), not just a folder.
    bool recursive = false;
};

struct SaveSummary {
    int saved = 0;
    int skipped = 0;   // kept an existing file, or the user declined
    int failed = 0;
    bool cancelled = false;
    bool started = false;  // the drive opened and the target folder could be used
};

// Saves `items` in order; a saved file's item becomes ITEM_SAVEDFILE. A read or write error ends
// the run (the partial file stays, unmarked); so do Cancel, from the overwrite question or the
// observer, and the loss of the source. Nothing is ever written outside the target folder.
SaveSummary runSave(CQUIDNEYDoc& doc, const std::vector<FileItem*>& items, const SaveOptions& options,
                    SaveObserver& observer);

// Can `name` be a file name in the target folder? Not empty, not "." or "..", no '/'.
bool isSafeFileName(const std::string& name);

// The name under which `attributes` masked to read-only, hidden, system and archive are kept.
inline constexpr const char kDosAttributeXattr[] = "user.DOSATTRIB";

}  // namespace harrow
