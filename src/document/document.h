// CQUIDNEYDoc: the opened drive, the user's options, and the lists shown of it. It runs the open
// flow (root list, disk scan, naming of found directories) for every front end alike; the steps
// that are modal dialogs in the GUI go through DocHost.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/prompts.h"
#include "document/drive.h"
#include "fatfs/directory.h"
#include "fatfs/fat_table.h"
#include "items/file_item.h"

namespace harrow {

enum ListMode : int {
    ID_LIST_BASICROOT = 32772,   // the root directory
    ID_LIST_SEARCHROOT = 32773,  // found directories whose ".." names the root
    ID_LIST_LOSTDIRS = 32774,    // found directories of kinds 145, 162 and 168
    ID_LIST_ALLDIRS = 32775,     // every found directory
    ID_LIST_ALLFILES = 32798,    // NTFS: every file record found
};

inline constexpr int kFatPromptAsk = 1064;
inline constexpr int kFatPromptForce = 1065;

// An inclusive range of clusters the disk scan skips.
struct SkipRange {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
};

class CQUIDNEYDoc;

// The open flow's modal steps. The default runs no scan and names found directories at once.
class DocHost {
public:
    virtual ~DocHost() = default;
    virtual void runScan(CQUIDNEYDoc&) {}
    virtual void runNamingPass(CQUIDNEYDoc& doc);
    // Hears the root list fill, and may stop it.
    virtual ListObserver* rootListObserver() { return nullptr; }
};

class CQUIDNEYDoc {
public:
    explicit CQUIDNEYDoc(Prompts& prompts, SourceFactory& sources = SystemSources::global());

    // Every option back to its default; lists emptied.
    bool newDocument();

    // The open commands: record what is opened, clear the lists and run the open flow.
    // Each returns whether the root list could be built (the drive opened).
    bool openDrive(char letter, DocHost& host);
    bool openFileDrive(const std::string& imagePath, DocHost& host);
    bool openFlow(DocHost& host);
    // The observer hears how the root list fills and may stop it (the list keeps what came).
    // A root that cannot be read, wholly or in part, is said and leaves rootUnreadable set.
    bool buildRootList(ListObserver* observer = nullptr);
    void clearLists();

    // Lists a directory item (opens and closes the drive). Nothing when the item is no
    // directory that can be read.
    std::optional<ItemList> listDirectoryOfItem(const FileItem& item, ListObserver* observer = nullptr);
    // The same with the drive already open, for callers that list many directories in a row.
    // On NTFS `parent` becomes the ".." item; without one it is the directory-stack item below
    // the top, as when the user has just entered `item`.
    std::optional<ItemList> listItem(const FileItem& item, const FileItem* parent = nullptr,
                                     ListObserver* observer = nullptr);
    // The named data streams of an NTFS item, as its directory lists them after it; none on FAT
    // and for a stream. The drive must be open.
    ItemList streamsOf(const FileItem& item);
    // Lists the FAT directory at `cluster`; the drive must be open.
    std::optional<ItemList> listDirectory(std::uint32_t cluster, ListObserver* observer = nullptr);

    // The scan's hand-in: on FAT a cluster that may start a directory, on NTFS the sector of a
    // file record. `head` holds the bytes found there when the scan has read them already (at
    // least the cluster's first sector, or the whole record); else they are read here. False on
    // a read error.
    bool addFoundDirectory(std::uint64_t number, Bytes head = {});
    const FileItem* findFoundItem(std::uint64_t cluster) const;
    FileItem* findFoundItem(std::uint64_t cluster);
    void matchFoundToRoot();
    // Names found directories from their parents. The observer hears the directories named so
    // far and may stop the pass.
    void namingPass(ListObserver* observer = nullptr);

    // The items the view shows in `mode`.
    ItemList listForMode(ListMode mode) const;

    CDrive& drive() { return *drive_; }
    const CDrive& drive() const { return *drive_; }
    Prompts& prompts() { return prompts_; }
    bool isFat() const { return !drive_->info().isNtfs(); }

    // Options.
    int searchDisk = 1;        // 1 scan after opening, 2 do not
    int skipBadClusters = 1;
    int showDeleted = 1;       // 1 list deleted entries, 2 leave them out
    int fatPromptMode = kFatPromptAsk;
    ListMode listMode = ID_LIST_BASICROOT;
    bool listsStale = false;
    FatIndex saveFat = 0;
    FatIndex dirFat = 0;

    // What is open.
    int driveLetter = -1;
    DriveKind driveKind = DriveKind::None;
    std::string rootPath;

    std::vector<SkipRange> skipRanges;
    ItemList rootList;
    bool rootUnreadable = false;  // the root list misses what could not be read
    // Listings of NTFS directories in use (by listItem) that missed what a damaged index hid:
    // each was said, and leaves the command that asked for it incomplete.
    int incompleteListings = 0;
    ItemList foundList;     // ascending by first cluster: the scan adds in cluster order
    ItemList ntfsFileList;
    std::vector<FileItem> dirStack;  // item 0 is the root item

    bool openCurrent() { return drive_->open(rootPath, driveKind); }

private:
    std::optional<ItemList> listFatDirectory(std::uint32_t cluster, ListObserver* observer, DirWalkStatus& status);
    std::optional<std::string> nameInParent(std::uint32_t cluster, std::uint32_t parent);
    void nameWalk(std::uint32_t cluster, std::uint16_t kind, int depth, ListObserver* observer);

    Prompts& prompts_;
    std::unique_ptr<CDrive> drive_;
    // For each parent directory walked while adding found directories: the name each child
    // cluster has there (none for a file entry). A scan finding thousands of directories in one
    // parent walks that parent once instead of once per directory.
    std::unordered_map<std::uint32_t, std::unordered_map<std::uint32_t, std::optional<std::string>>> parentNames_;
};

}  // namespace harrow
