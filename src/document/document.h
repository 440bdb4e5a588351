// CQUIDNEYDoc: the opened drive, the user's options, and the lists shown of it. It runs the open
// flow (root list, disk scan, naming of found directories) for every front end alike; the steps
// that are modal dialogs in the GUI go through DocHost.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/prompts.h"
#include "document/drive.h"
#include "exfat/directory.h"
#include "fatfs/directory.h"
#include "ntfs/ntfs_list.h"
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

// Whether saving asks for another FAT copy where the chosen one does not describe a file, or
// reads through it regardless; the numbers are the preference's buttons.
enum class FatPromptMode : int { Ask = 1064, Force = 1065 };

// The user's choices for a document, from their defaults at start-up until the program ends.
struct DocOptions {
    bool searchDisk = true;       // scan the volume after opening it
    bool skipBadClusters = true;  // the scan passes over clusters the first FAT marks bad
    bool showDeleted = true;      // directory listings keep deleted entries
    FatPromptMode fatPrompt = FatPromptMode::Ask;
    ListMode listMode = ID_LIST_BASICROOT;
    FatIndex dirFat = 0;          // the copy directory chains follow
};

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

    // Every option back to its default; the drive closed, lists emptied.
    bool newDocument();

    // The open commands: close what was open, open the drive and keep it open until the next
    // open command (or closeDrive), then run the open flow: the root list, and the scan with
    // the naming of what it found. Each returns whether the drive opened and its root was read.
    bool openDrive(char letter, DocHost& host);
    bool openFileDrive(const std::string& imagePath, DocHost& host);
    // The same for a drive of another kind (a remote drive): `rootPath` and `driveKind` say
    // what to open.
    bool openCurrentDrive(DocHost& host);
    void closeDrive();
    // The open flow's second half on the open drive: the scan, and the naming of what it found.
    void scanOpenDrive(DocHost& host);

    // The root list again, on the open drive; the observer hears how it fills and may stop it
    // (the list keeps what came). A root that cannot be read, wholly or in part, is said and
    // leaves rootUnreadable set.
    bool buildRootList(ListObserver* observer = nullptr);

    // Lists a directory item of the open drive; nothing when it is no directory that can be
    // read. On NTFS `parent` (the directory that lists `item`) becomes the ".." item.
    std::optional<ItemList> listItem(const FileItem& item, const FileItem& parent, ListObserver* observer = nullptr);
    // The named data streams of an NTFS item, as its directory lists them after it; none on FAT
    // and for a stream.
    ItemList streamsOf(const FileItem& item);
    // Lists the FAT directory at `cluster`.
    std::optional<ItemList> listDirectory(std::uint32_t cluster, ListObserver* observer = nullptr);
    // The item that stands for the root directory: the parent of the root list's items.
    const FileItem& rootItem() const { return rootItem_; }

    // The scan's hand-in: on FAT a cluster that may start a directory, on NTFS the sector of a
    // file record. `head` holds the bytes found there when the scan has read them already (at
    // least the cluster's first sector, or the whole record); else they are read here. False on
    // a read error.
    bool addFoundDirectory(std::uint64_t number, Bytes head = {});
    const FileItem* findFoundItem(std::uint64_t cluster) const;
    FileItem* findFoundItem(std::uint64_t cluster);
    // The scan's hand-in of a FAT cluster that does not start a directory: one that reads as a
    // directory's later cluster (and is free in the directory FAT) is kept for joinContinuations.
    void addContinuation(std::uint32_t cluster, Bytes bytes);
    // After a scan: each kept cluster goes on the lost directory it continues, where the parents
    // of the directories it names show which, or else the nearest open one before it in cluster
    // order; the rest are gathered into one found item of orphan entries. `wholeVolume`: the scan
    // searched every cluster, so a lost directory goes on in what it was given and nowhere else.
    void joinContinuations(bool wholeVolume);
    void matchFoundToRoot();
    // Names found directories from their parents (FAT), or finds the folders the file records
    // lie in (NTFS). The observer hears how far it has come and may stop the pass.
    void namingPass(ListObserver* observer = nullptr);

    // The items the view shows in `mode`.
    ItemList listForMode(ListMode mode) const;

    CDrive& drive() { return *drive_; }
    const CDrive& drive() const { return *drive_; }
    Prompts& prompts() { return prompts_; }
    // FAT and exFAT alike: the volumes read through FAT copies.
    bool isFat() const { return !drive_->info().isNtfs(); }
    bool isExfat() const { return drive_->info().isExfat(); }

    DocOptions options;
    bool listsStale = false;  // the lists were rebuilt since the view last showed them

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
    // The folder of each parent the file records name (see ntfsFolderPaths), after the naming pass.
    FolderPaths ntfsFolders;

private:
    void clearLists();
    std::optional<ItemList> listFatDirectory(std::uint32_t cluster, ListObserver* observer, DirWalkStatus& status);
    // Lists the exFAT directory at `place`; `readError` says whether a cluster of it could not be read.
    std::optional<ItemList> listExfatDirectory(const exfat::DirectoryPlace& place, bool topLevel, bool& readError);
    std::optional<std::string> nameInParent(std::uint32_t cluster, std::uint32_t parent);
    // How the directory at `cluster` is walked: its dots, and where it goes on if its chain is gone.
    DirWalkOptions walkOptions(std::uint32_t cluster, bool requireDots) const;
    bool isOrphans(std::uint32_t cluster) const { return !orphans_.empty() && cluster == orphans_.front(); }
    void nameWalk(std::uint32_t cluster, std::uint16_t kind, int depth, ListObserver* observer);
    // exFAT keeps no ".." to say a directory's parent: the sets of the root and of the directories
    // found name them, and drop the clusters that only continue a directory already found.
    void exfatNamingPass(ListObserver* observer);

    Prompts& prompts_;
    std::unique_ptr<CDrive> drive_;
    FileItem rootItem_;
    // For each parent directory walked while adding found directories: the name each child
    // cluster has there (none for a file entry). A scan finding thousands of directories in one
    // parent walks that parent once instead of once per directory.
    std::unordered_map<std::uint32_t, std::unordered_map<std::uint32_t, std::optional<std::string>>> parentNames_;

    // What the scan saw of directories whose chain is gone.
    struct Continuation {
        std::uint32_t cluster = 0;
        bool ended = false;                   // the directory ends in it
        std::vector<std::uint32_t> subdirs;   // first clusters of the directories it names
    };
    std::vector<Continuation> continuations_;          // ascending
    std::vector<std::pair<std::uint32_t, bool>> lostStarts_;  // first cluster, and whether it is full without an end
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> followers_;
    bool followersKnown_ = false;  // a lost directory without followers has none
    std::vector<std::uint32_t> orphans_;  // the orphan entries' clusters; the first is the item's
    // Directories whose skipped entries were said.
    std::unordered_set<std::uint32_t> skipsSaid_;
    // Directories said to go on past what a guess could read.
    std::unordered_set<std::uint32_t> saidElsewhere_;
};

}  // namespace harrow
