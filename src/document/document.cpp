#include "document/document.h"

#include <algorithm>
#include <cstdio>

#include "common/strings.h"
#include "fatfs/directory.h"
#include "ntfs/ntfs_list.h"

namespace harrow {
namespace {

// Deeper than any path a file system can name; a loop of directories on a damaged volume stops here.
constexpr int kMaxNamingDepth = 512;

bool lessByCluster(const FileItem& item, std::uint64_t cluster) {
    return static_cast<std::uint32_t>(item.cluster) < static_cast<std::uint32_t>(cluster);
}

}  // namespace

void DocHost::runNamingPass(CQUIDNEYDoc& doc) { doc.namingPass(); }

CQUIDNEYDoc::CQUIDNEYDoc(Prompts& prompts, SourceFactory& sources)
    : prompts_(prompts), drive_(std::make_unique<CDrive>(prompts, sources)) {
    newDocument();
}

bool CQUIDNEYDoc::newDocument() {
    closeDrive();
    options = DocOptions{};
    listsStale = false;
    driveLetter = -1;
    driveKind = DriveKind::None;
    rootPath.clear();
    skipRanges.clear();
    return true;
}

void CQUIDNEYDoc::closeDrive() {
    drive_->close();
    clearLists();
    rootItem_ = FileItem{};
}

bool CQUIDNEYDoc::openDrive(char letter, DocHost& host) {
    driveKind = DriveKind::Local;
    driveLetter = letter;
    rootPath = std::string(1, letter) + ":\\";
    return openCurrentDrive(host);
}

bool CQUIDNEYDoc::openFileDrive(const std::string& imagePath, DocHost& host) {
    driveKind = DriveKind::Image;
    rootPath = imagePath;
    driveLetter = imagePath.empty() ? -1 : imagePath[0];
    options.searchDisk = true;
    return openCurrentDrive(host);
}

bool CQUIDNEYDoc::openCurrentDrive(DocHost& host) {
    closeDrive();
    listsStale = true;
    if (!drive_->open(rootPath, driveKind)) return false;
    // A file named as a volume may have turned out to be an image file.
    driveKind = drive_->kind();
    drive_->loadFats();
    if (!buildRootList(host.rootListObserver())) return false;
    if (options.searchDisk) scanOpenDrive(host);
    return true;
}

void CQUIDNEYDoc::scanOpenDrive(DocHost& host) {
    foundList.reserve(kListGrowth);
    ntfsFileList.reserve(kListGrowth);
    host.runScan(*this);
    if (isFat() && !isExfat()) matchFoundToRoot();
    host.runNamingPass(*this);
}

bool CQUIDNEYDoc::buildRootList(ListObserver* observer) {
    rootList.clear();
    rootUnreadable = false;
    if (!drive_->isOpen()) return false;

    const DriveInfo& info = drive_->info();
    bool said = false;
    FileItem root;
    root.kind = ITEM_TOPDIR;
    root.name = "..";
    root.attributes = ATTR_DIRECTORY;
    if (info.isNtfs()) {
        root.record = kRootRecord;
        root.cluster = drive_->sectorOfRecord(kRootRecord);
        rootItem_ = root;
        NtfsListing reached;
        if (auto list = listNtfsDirectory(drive_->mft(), kRootRecord, root, observer, reached)) rootList = std::move(*list);
        rootUnreadable = reached != NtfsListing::Whole;
        said = reached == NtfsListing::IndexDamaged;  // the listing named the block
    } else if (info.isExfat()) {
        root.cluster = info.rootCluster;
        rootItem_ = root;
        if (auto list = listExfatDirectory({info.rootCluster, std::nullopt, false}, true, rootUnreadable)) rootList = std::move(*list);
    } else {
        root.cluster = info.rootCluster;
        rootItem_ = root;
        DirWalkStatus status;
        if (auto list = listFatDirectory(info.rootCluster, observer, status)) rootList = std::move(*list);
        rootUnreadable = status == DirWalkStatus::ReadError;
    }
    // An empty root lists nothing and says nothing; one that cannot be read must not look the same.
    if (rootUnreadable && !said && !drive_->sourceLost())
        prompts_.showMessage(msg::kRootUnreadable, messageText(msg::kRootUnreadable));
    return true;
}

void CQUIDNEYDoc::clearLists() {
    incompleteListings = 0;
    rootList = {};
    foundList = {};
    ntfsFileList = {};
    ntfsFolders = {};
    parentNames_.clear();
    continuations_.clear();
    lostStarts_.clear();
    followers_.clear();
    followersKnown_ = false;
    orphans_.clear();
    skipsSaid_.clear();
    saidElsewhere_.clear();
}

std::optional<ItemList> CQUIDNEYDoc::listItem(const FileItem& item, const FileItem& parent, ListObserver* observer) {
    if (isExfat()) {
        bool readError = false;
        // The root has no entry set to give its length, nor has a directory named by its cluster.
        if (item.size == 0)
            return listExfatDirectory({item.firstCluster(), std::nullopt, false},
                                      item.firstCluster() == drive_->info().rootCluster, readError);
        return listExfatDirectory(exfat::placeOf(item), false, readError);
    }
    if (isFat()) return listDirectory(item.firstCluster(), observer);
    NtfsListing reached;
    auto list = listNtfsDirectory(drive_->mft(), item.record, parent, observer, reached);
    if (reached == NtfsListing::IndexDamaged) ++incompleteListings;
    return list;
}

ItemList CQUIDNEYDoc::streamsOf(const FileItem& item) {
    if (isFat() || item.isStream()) return {};
    return ntfsStreamItems(drive_->mft(), item);
}

std::optional<ItemList> CQUIDNEYDoc::listDirectory(std::uint32_t cluster, ListObserver* observer) {
    if (isExfat()) {
        bool readError = false;
        return listExfatDirectory({cluster, std::nullopt, false}, cluster == drive_->info().rootCluster, readError);
    }
    DirWalkStatus status;
    return listFatDirectory(cluster, observer, status);
}

std::optional<ItemList> CQUIDNEYDoc::listFatDirectory(std::uint32_t cluster, ListObserver* observer, DirWalkStatus& status) {
    CDrive& drive = *drive_;
    const DriveInfo& info = drive.info();
    const std::uint32_t rootCluster = info.rootCluster;
    cluster = directoryCluster(info, cluster);
    const bool isRoot = cluster == rootCluster;

    ItemList list;
    list.reserve(kListGrowth);
    const DirWalk walk = walkDirectory(drive, drive.fat(), cluster, walkOptions(cluster, !isRoot), [&](const DirEntryRef& e) {
        if (observer) {
            observer->progress(list.size());
            if (observer->cancelled()) return false;
        }
        if (e.kind == EntryClass::VolumeLabel) return true;
        if (isDeleted(e.raw) && !options.showDeleted) return true;

        FileItem item;
        const std::uint32_t first = drive.firstCluster(e.raw);
        const FileItem* found = isRoot || e.dotEntry ? nullptr : findFoundItem(first);
        if (e.kind == EntryClass::File) {
            item.kind = ITEM_FILE;
        } else if (isRoot || directoryCluster(info, first) == rootCluster) {
            item.kind = ITEM_TOPDIR;
        } else if (options.listMode == ID_LIST_BASICROOT) {
            item.kind = ITEM_DIR;
        } else {
            const FileItem* f = findFoundItem(first);
            item.kind = f ? f->kind : static_cast<std::uint16_t>(ITEM_LOSTDIR);
        }
        if (found && found->kind != ITEM_LOSTDIR)
            item.name = found->name;
        else
            item.name = e.listedName();
        if (e.longName) item.shortName = shortName(e.raw);
        item.attributes = le8(e.raw, dirent::kAttributes);
        item.time = le16(e.raw, dirent::kTime);
        item.date = le16(e.raw, dirent::kDate);
        item.size = le32(e.raw, dirent::kSize);
        item.cluster = first;
        item.parentCluster = kParentFromDirectory;
        item.deleted = isDeleted(e.raw);
        list.push_back(std::move(item));
        return true;
    });
    status = walk.status;
    if (walk.skipped != 0 && skipsSaid_.insert(cluster).second)
        prompts_.showMessage(msg::kEntriesSkipped, formatMessage(msg::kEntriesSkipped, static_cast<unsigned long>(walk.skipped),
                                                                 static_cast<unsigned long>(cluster)),
                             MsgIcon::Information);
    if (walk.goesOnElsewhere && saidElsewhere_.insert(cluster).second)
        prompts_.showMessage(msg::kGoesOnElsewhere, formatMessage(msg::kGoesOnElsewhere, static_cast<unsigned long>(cluster)),
                             MsgIcon::Information);
    if (status == DirWalkStatus::NotADirectory || list.empty()) return std::nullopt;
    return list;
}

std::optional<ItemList> CQUIDNEYDoc::listExfatDirectory(const exfat::DirectoryPlace& place, bool topLevel, bool& readError) {
    CDrive& drive = *drive_;
    std::vector<std::uint8_t> bytes;
    readError = !exfat::readDirectory(drive, drive.fat(), options.dirFat, place, bytes);
    if (readError && bytes.empty()) return std::nullopt;
    // A directory named by its cluster alone must show that it is one.
    if (!place.bytes && place.first != drive.info().rootCluster && !exfat::startsDirectory(bytes)) return std::nullopt;
    exfat::Listing listing = exfat::listEntries(bytes, drive.info(), options.showDeleted, topLevel);
    if (listing.skipped != 0 && skipsSaid_.insert(place.first).second)
        prompts_.showMessage(msg::kEntriesSkipped, formatMessage(msg::kEntriesSkipped, static_cast<unsigned long>(listing.skipped),
                                                                 static_cast<unsigned long>(place.first)),
                             MsgIcon::Information);
    return std::move(listing.items);
}

bool CQUIDNEYDoc::addFoundDirectory(std::uint64_t number, Bytes head) {
    CDrive& drive = *drive_;
    const DriveInfo& info = drive.info();
    if (info.isExfat()) {
        // Named, and told from a large directory's later clusters, by the naming pass.
        const auto a = static_cast<std::uint32_t>(number);
        auto at = std::lower_bound(foundList.begin(), foundList.end(), a, lessByCluster);
        if (at != foundList.end() && at->firstCluster() == a) return true;
        std::vector<std::uint8_t> bytes;
        if (head.empty()) {
            // Enough for the longest entry set there can be, in whole sectors.
            constexpr std::uint32_t kLongestSet = 256 * exfat::kEntryBytes;
            const std::uint32_t sectors = std::max<std::uint32_t>(1, std::min(drive.bytesPerCluster(), kLongestSet) / info.bytesPerSector);
            bytes.resize(std::size_t{sectors} * info.bytesPerSector);
            if (a < 2 || a > info.clusterCount + 1 || !drive.readSectors(bytes, drive.sectorOfCluster(a), sectors)) return false;
            head = bytes;
        }
        if (!exfat::startsDirectory(head)) return true;
        FileItem item;
        item.name = a == info.rootCluster ? "\\" : "# " + std::to_string(a);
        item.attributes = ATTR_DIRECTORY;
        item.cluster = a;
        item.parentCluster = kUnknownParent;
        item.kind = a == info.rootCluster ? ITEM_TOPDIR : ITEM_LOSTDIR;
        foundList.insert(at, std::move(item));
        return true;
    }
    if (info.isNtfs()) {
        auto item = foundNtfsFile(drive.mft(), number, head);
        if (!item) return !drive.readFailed();
        ntfsFileList.push_back(std::move(*item));
        return true;
    }

    const std::uint32_t a = static_cast<std::uint32_t>(number);
    std::vector<std::uint8_t> sector;
    if (head.size() < 2 * kDirEntrySize) {
        sector.resize(info.bytesPerSector);
        if (sector.size() < 2 * kDirEntrySize || !drive.readSectors(sector, drive.sectorOfCluster(a), 1)) return false;
        head = sector;
    }
    Bytes dot = head.subspan(0, kDirEntrySize);
    Bytes dotdot = head.subspan(kDirEntrySize, kDirEntrySize);
    if (!isDotEntry(dot) || !isDotDotEntry(dotdot)) return true;
    if (drive.firstCluster(dot) != a) {
        prompts_.showMessage(msg::kDotEntryMismatch, formatMessage(msg::kDotNamesOtherCluster, static_cast<unsigned long>(a)));
        return true;
    }

    auto at = std::lower_bound(foundList.begin(), foundList.end(), a, lessByCluster);
    if (at != foundList.end() && at->firstCluster() == a) return true;

    const std::uint32_t parent = drive.firstCluster(dotdot);
    FileItem item;
    if (a == info.rootCluster) {
        item.name = "\\";
    } else if (auto name = nameInParent(a, parent)) {
        item.name = *name;
    } else {
        char buf[32];
        std::snprintf(buf, sizeof buf, "# %ld", static_cast<long>(a));
        item.name = buf;
    }
    item.attributes = le8(dot, dirent::kAttributes);
    item.time = le16(dot, dirent::kTime);
    item.date = le16(dot, dirent::kDate);
    item.size = le32(dot, dirent::kSize);
    item.cluster = a;
    item.parentCluster = parent;
    item.kind = parent != 0 ? ITEM_LOSTDIR : ITEM_LOSTROOTDIR;
    foundList.insert(at, std::move(item));
    // A lost directory whose first cluster is full may go on in clusters the scan finds later.
    const FatTable& fat = drive.fat();
    if (head.size() >= drive.bytesPerCluster() && options.dirFat >= 0 && fat.known(options.dirFat, a) &&
        fat.firstClusterFree(options.dirFat, a))
        lostStarts_.emplace_back(a, !lookAtCluster(info, head.first(drive.bytesPerCluster())).ended);
    return true;
}

void CQUIDNEYDoc::addContinuation(std::uint32_t cluster, Bytes bytes) {
    CDrive& drive = *drive_;
    const DriveInfo& info = drive.info();
    const FatTable& fat = drive.fat();
    const std::uint32_t clusterBytes = drive.bytesPerCluster();
    if (info.isNtfs() || info.isExfat() || clusterBytes == 0 || bytes.size() < clusterBytes || options.dirFat < 0) return;
    if (!fat.known(options.dirFat, cluster) || !fat.firstClusterFree(options.dirFat, cluster)) return;
    bytes = bytes.first(clusterBytes);
    if (!continuesDirectory(info, bytes)) return;
    Continuation c;
    c.cluster = cluster;
    c.ended = lookAtCluster(info, bytes).ended;
    for (std::size_t at = 0; at + kDirEntrySize <= bytes.size(); at += kDirEntrySize) {
        const Bytes e = bytes.subspan(at, kDirEntrySize);
        if (le8(e, 0) == 0) break;
        if (classify(e) == EntryClass::Directory && plausibleEntry(info, e))
            if (const std::uint32_t first = drive.firstCluster(e); first >= 2) c.subdirs.push_back(first);
    }
    if (!continuations_.empty() && continuations_.back().cluster >= cluster) return;
    continuations_.push_back(std::move(c));
}

void CQUIDNEYDoc::joinContinuations(bool wholeVolume) {
    // Joined again (after a scan that was run again): the gathered item goes first.
    if (!orphans_.empty())
        if (FileItem* gathered = findFoundItem(orphans_.front())) foundList.erase(foundList.begin() + (gathered - foundList.data()));
    followers_.clear();
    orphans_.clear();
    // Lost directories that may go on: their last cluster so far is full.
    std::unordered_map<std::uint32_t, bool> goesOn;
    for (const auto& [first, full] : lostStarts_) goesOn[first] = full;

    // The directory most of the subdirectories named in `c` give as their parent, if it is lost
    // and may go on.
    auto parentShown = [&](const Continuation& c) -> std::optional<std::uint32_t> {
        std::unordered_map<std::uint32_t, int> votes;
        for (std::uint32_t sub : c.subdirs)
            if (const FileItem* f = findFoundItem(sub)) {
                const auto parent = goesOn.find(static_cast<std::uint32_t>(f->parentCluster));
                if (parent != goesOn.end() && parent->second) ++votes[parent->first];
            }
        std::optional<std::uint32_t> best;
        int most = 0;
        for (const auto& [parent, n] : votes)
            if (n > most || (n == most && best && parent < *best)) best = parent, most = n;
        return best;
    };

    // Lost directories still open, the one whose last cluster came latest at the back.
    std::vector<std::uint32_t> open;
    std::size_t s = 0;
    for (const Continuation& c : continuations_) {
        for (; s < lostStarts_.size() && lostStarts_[s].first < c.cluster; ++s)
            if (lostStarts_[s].second) open.push_back(lostStarts_[s].first);
        std::optional<std::uint32_t> owner = parentShown(c);
        if (!owner && !open.empty()) owner = open.back();
        if (!owner) {
            orphans_.push_back(c.cluster);
            continue;
        }
        followers_[*owner].push_back(c.cluster);
        std::erase(open, *owner);
        goesOn[*owner] = !c.ended;
        if (!c.ended) open.push_back(*owner);
    }
    followersKnown_ = wholeVolume;
    if (orphans_.empty()) return;
    // Listed as one directory: the first orphan cluster, then the others.
    followers_[orphans_.front()].assign(orphans_.begin() + 1, orphans_.end());

    FileItem item;
    item.name = messageText(msg::kOrphanEntries);
    item.attributes = ATTR_DIRECTORY;
    item.cluster = orphans_.front();
    item.parentCluster = kParentFromDirectory;
    item.kind = ITEM_LOSTDIR;
    foundList.insert(std::lower_bound(foundList.begin(), foundList.end(), item.cluster, lessByCluster), std::move(item));
}

DirWalkOptions CQUIDNEYDoc::walkOptions(std::uint32_t cluster, bool requireDots) const {
    // The orphan entries have no dots: they were never a directory's first cluster.
    DirWalkOptions walk{options.dirFat, requireDots && !isOrphans(cluster), std::nullopt};
    static const std::vector<std::uint32_t> kNone;
    if (auto it = followers_.find(cluster); it != followers_.end())
        walk.followers = &it->second;
    else if (followersKnown_)
        walk.followers = &kNone;
    return walk;
}

std::optional<std::string> CQUIDNEYDoc::nameInParent(std::uint32_t a, std::uint32_t parent) {
    CDrive& drive = *drive_;
    const std::uint32_t p = directoryCluster(drive.info(), parent);
    const auto emplaced = parentNames_.try_emplace(p);
    const auto names = emplaced.first;
    if (emplaced.second) {
        // The first entry naming a cluster decides: a directory gives its name, a file none.
        const bool isRoot = p == drive.info().rootCluster;
        DirWalkOptions walk = walkOptions(p, !isRoot);
        if (!isRoot) walk.selfCluster = p;
        walkDirectory(drive, drive.fat(), p, walk, [&](const DirEntryRef& e) {
            if (e.dotEntry || e.kind == EntryClass::VolumeLabel) return true;
            std::optional<std::string> name;
            // A deleted directory's long name carries the '#' of deleted entries, as listings show it.
            if (e.kind == EntryClass::Directory) name = e.listedName();
            names->second.try_emplace(drive.firstCluster(e.raw), std::move(name));
            return true;
        });
    }
    auto it = names->second.find(a);
    return it == names->second.end() ? std::nullopt : it->second;
}

const FileItem* CQUIDNEYDoc::findFoundItem(std::uint64_t cluster) const {
    auto it = std::lower_bound(foundList.begin(), foundList.end(), cluster, lessByCluster);
    if (it == foundList.end() || it->firstCluster() != static_cast<std::uint32_t>(cluster)) return nullptr;
    return &*it;
}

FileItem* CQUIDNEYDoc::findFoundItem(std::uint64_t cluster) {
    return const_cast<FileItem*>(static_cast<const CQUIDNEYDoc*>(this)->findFoundItem(cluster));
}

void CQUIDNEYDoc::matchFoundToRoot() {
    for (const FileItem& root : rootList) {
        FileItem* found = findFoundItem(root.cluster);
        if (found && found->parentCluster == 0) {
            found->kind = ITEM_TOPDIR;
            found->name = root.name;
        }
    }
}

void CQUIDNEYDoc::exfatNamingPass(ListObserver* observer) {
    CDrive& drive = *drive_;
    const DriveInfo& info = drive.info();
    const FatTable& fat = drive.fat();
    // What the sets of the root and of every found directory say of the directories they name.
    struct Naming {
        FileItem set;  // as the parent lists it
        std::uint32_t parent;
    };
    std::unordered_map<std::uint32_t, Naming> named;
    std::unordered_set<std::uint32_t> later;  // the clusters of named directories after their first
    const std::uint64_t cb = info.bytesPerCluster;
    // A found cluster is read with the one after it (and the longest set's worth more), so that
    // a set that runs on into the next cluster, and the sets after it there, are read; each
    // cluster that starts a set was found itself. Reading every found cluster's chain to its end
    // would read a large directory once for each of its clusters.
    auto readNames = [&](std::uint32_t dir, bool root) {
        std::vector<std::uint8_t> bytes;
        const std::uint32_t next = fat.next(0, dir);
        const bool chained = next >= 2 && next <= fat.lastCluster();
        const std::optional<std::uint64_t> span = root ? std::nullopt : std::optional<std::uint64_t>(2 * cb + 256 * exfat::kEntryBytes);
        exfat::readDirectory(drive, fat, options.dirFat, {dir, span, !root && !chained}, bytes);
        for (const FileItem& sub : exfat::listEntries(bytes, info, true, false).items) {
            if (!sub.isDirectory() || sub.firstCluster() < 2) continue;
            named.try_emplace(sub.firstCluster(), Naming{sub, dir});
            // The directory's own clusters after its first hold sets too, and are no directories.
            const std::uint64_t clusters = std::min<std::uint64_t>((sub.size + cb - 1) / cb, exfat::kMaxDirectoryBytes / cb);
            std::uint64_t c = sub.firstCluster();
            for (std::uint64_t k = 1; k < clusters; ++k) {
                c = sub.contiguous || sub.deleted ? c + 1 : fat.next(0, static_cast<std::uint32_t>(c));
                if (c < 2 || c > fat.lastCluster()) break;
                later.insert(static_cast<std::uint32_t>(c));
            }
        }
    };
    readNames(info.rootCluster, true);
    std::size_t walked = 0;
    for (const FileItem& found : foundList) {
        if (observer && observer->cancelled()) return;
        if (found.firstCluster() != info.rootCluster) readNames(found.firstCluster(), false);
        if (observer) observer->progress(++walked);
    }
    std::erase_if(foundList, [&](const FileItem& f) { return later.count(f.firstCluster()) && !named.count(f.firstCluster()); });
    for (FileItem& found : foundList) {
        const auto it = named.find(found.firstCluster());
        if (it == named.end()) continue;
        const bool underRoot = it->second.parent == info.rootCluster;
        const bool deleted = it->second.set.deleted;
        const std::uint16_t kind = !deleted ? (underRoot ? ITEM_TOPDIR : ITEM_DIR) : underRoot ? ITEM_LOSTROOTDIR : ITEM_LOSTSUBDIR;
        found = it->second.set;
        found.parentCluster = underRoot ? 0 : it->second.parent;
        found.kind = kind;
    }
}

void CQUIDNEYDoc::namingPass(ListObserver* observer) {
    if (isExfat()) return exfatNamingPass(observer);
    if (!isFat()) {
        ntfsFolders = ntfsFolderPaths(drive_->mft(), ntfsFileList, observer);
        return;
    }
    std::size_t walked = 0;
    auto nameFrom = [&](const FileItem& dir, std::uint16_t kind) {
        nameWalk(dir.firstCluster(), kind, 0, observer);
        if (observer) observer->progress(++walked);
    };
    for (std::size_t i = 0; i < rootList.size(); ++i)
        if (rootList[i].isDirectory()) nameFrom(rootList[i], ITEM_DIR);
    for (std::size_t i = 0; i < foundList.size(); ++i)
        if (foundList[i].kind == ITEM_LOSTROOTDIR) nameFrom(foundList[i], ITEM_LOSTSUBDIR);
    for (std::size_t i = 0; i < foundList.size(); ++i)
        if (foundList[i].kind == ITEM_LOSTDIR) nameFrom(foundList[i], ITEM_LOSTSUBDIR);
}

void CQUIDNEYDoc::nameWalk(std::uint32_t cluster, std::uint16_t kind, int depth, ListObserver* observer) {
    if (depth >= kMaxNamingDepth || drive_->sourceLost() || (observer && observer->cancelled())) return;
    CDrive& drive = *drive_;
    cluster = directoryCluster(drive.info(), cluster);
    walkDirectory(drive, drive.fat(), cluster, walkOptions(cluster, cluster != drive.info().rootCluster), [&](const DirEntryRef& e) {
        if (e.dotEntry || e.kind != EntryClass::Directory || isDeleted(e.raw)) return true;
        const std::uint32_t child = drive.firstCluster(e.raw);
        FileItem* found = findFoundItem(child);
        if (!found || found->kind != ITEM_LOSTDIR || isOrphans(child)) return true;
        found->name = e.listedName();
        found->kind = kind;
        nameWalk(child, kind, depth + 1, observer);
        return true;
    });
}

ItemList CQUIDNEYDoc::listForMode(ListMode mode) const {
    ItemList out;
    auto keep = [&](const ItemList& from, auto pred) {
        for (const FileItem& item : from)
            if (pred(item)) out.push_back(item);
    };
    switch (mode) {
        case ID_LIST_BASICROOT:
            keep(rootList, [&](const FileItem& i) { return options.showDeleted || !i.isDeletedName(); });
            break;
        case ID_LIST_SEARCHROOT:
            keep(foundList, [](const FileItem& i) { return i.parentCluster == 0; });
            break;
        case ID_LIST_LOSTDIRS:
            keep(foundList, [](const FileItem& i) {
                return i.kind == ITEM_LOSTDIR || i.kind == ITEM_LOSTSUBDIR || i.kind == ITEM_RENAMEDDIR;
            });
            break;
        case ID_LIST_ALLDIRS:
            keep(foundList, [](const FileItem&) { return true; });
            break;
        case ID_LIST_ALLFILES:
            keep(ntfsFileList, [](const FileItem&) { return true; });
            break;
    }
    return out;
}

}  // namespace harrow
