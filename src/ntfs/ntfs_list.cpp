#include "ntfs/ntfs_list.h"

#include <algorithm>
#include <array>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "common/dostime.h"
#include "common/text.h"
#include "common/strings.h"
#include "ntfs/index.h"
#include "ntfs/inode.h"

namespace harrow {
namespace {

constexpr std::uint64_t kFirstUserRecord = 16;
constexpr std::uint64_t kReferenceMask = 0x0000FFFFFFFFFFFFull;

struct StandardInfo {
    std::uint64_t modified = 0;
    std::uint8_t dosAttributes = 0;
};

// Standard information value: 0x08 modification time, 0x20 DOS attributes.
std::optional<StandardInfo> standardInfo(CInode& ino) {
    std::array<std::uint8_t, 48> si{};
    if (ino.read(AT_STANDARD_INFORMATION, std::nullopt, 0, si, si.size()) == 0) return std::nullopt;
    return StandardInfo{le64(si, 0x08), le8(si, 0x20)};
}

void setDosTime(FileItem& item, std::uint64_t filetime) {
    if (auto d = dosFromFiletime(filetime)) {
        item.date = d->date;
        item.time = d->time;
    }
}

bool isDirectory(const CInode& ino) { return ino.find(AT_INDEX_ROOT, "$I30") != nullptr; }

struct FileNameValue {
    std::uint64_t parent = 0;
    std::uint64_t modified = 0;
    std::uint8_t nameSpace = 0;
    std::string name;
};

// File name value: 0x00 parent reference, 0x10 modification time, 0x40 name length,
// 0x41 name space, 0x42 name. The long name where a record also has a DOS one.
std::optional<FileNameValue> fileName(const CInode& ino) {
    std::optional<FileNameValue> best;
    for (const AttrEntry& a : ino.attributes()) {
        if (a.type != AT_FILE_NAME || a.nonResident()) continue;
        Bytes v(a.value);
        std::size_t length = le8(v, 0x40);
        if (!fits(v.size(), 0x42, 2 * length)) continue;
        FileNameValue f{le64(v, 0) & kReferenceMask, le64(v, 0x10), le8(v, 0x41),
                        utf8FromUtf16le(v.subspan(0x42, 2 * length))};
        if (!best || (best->nameSpace == kDosNameSpace && f.nameSpace != kDosNameSpace)) best = std::move(f);
        if (best->nameSpace != kDosNameSpace) break;
    }
    return best;
}

// The named data streams of `ino`, the record of `file`, each a file of its own that shares the
// file's record, times and attributes.
ItemList streamItems(const CInode& ino, const FileItem& file) {
    ItemList streams;
    // In name order, as a record holds them: the table's order depends on how they were met.
    std::vector<const AttrEntry*> named = ino.namedStreams();
    std::stable_sort(named.begin(), named.end(), [](const AttrEntry* a, const AttrEntry* b) { return a->name < b->name; });
    for (const AttrEntry* a : named) {
        FileItem s = file;
        s.stream = utf8FromUtf16(a->name);
        // A name that ends at once (a NUL first) could not be told from the unnamed stream.
        if (s.stream.empty()) continue;
        s.name = file.name + ":" + s.stream;
        s.kind = ITEM_FILE;
        s.attributes = file.attributes & ~ATTR_DIRECTORY;
        s.size = a->dataSize();
        streams.push_back(std::move(s));
    }
    return streams;
}

// A name in a directory's index: on a damaged volume several paths through the index may lead
// to one entry, which is still one file (hard links in one directory are names of their own).
struct Listed {
    std::uint64_t record;
    std::u16string name;
    bool operator==(const Listed&) const = default;
};
struct ListedHash {
    std::size_t operator()(const Listed& l) const {
        return std::hash<std::u16string>{}(l.name) ^ (std::hash<std::uint64_t>{}(l.record) * 0x9E3779B97F4A7C15ull);
    }
};

constexpr std::string_view kSystemNames[] = {"$MFT",  "$MFTMirr", "$LogFile", "$Volume", "$AttrDef", "$I30",
                                             "$Bitmap", "$Boot", "$BadClus", "$Quota",  "$UpCase"};

bool isSystemName(std::string_view name) {
    return std::find(std::begin(kSystemNames), std::end(kSystemNames), name) != std::end(kSystemNames);
}

}  // namespace

std::optional<ItemList> listNtfsDirectory(Mft& mft, std::uint64_t r, const FileItem& parent, ListObserver* observer) {
    NtfsListing reached;
    return listNtfsDirectory(mft, r, parent, observer, reached);
}

std::optional<ItemList> listNtfsDirectory(Mft& mft, std::uint64_t r, const FileItem& parent, ListObserver* observer,
                                          NtfsListing& reached) {
    reached = NtfsListing::RecordUnreadable;
    CInode dir(mft);
    if (!dir.loadByNumber(r)) return std::nullopt;

    ItemList list;
    list.reserve(kListGrowth);
    const std::uint64_t ownSector = mft.sectorOfRecord(r);
    if (r >= kFirstUserRecord) {
        FileItem dot;
        dot.name = ".";
        dot.kind = parent.record < kFirstUserRecord ? ITEM_TOPDIR : ITEM_DIR;
        dot.attributes = ATTR_DIRECTORY;
        if (auto si = standardInfo(dir)) {
            dot.attributes = si->dosAttributes | ATTR_DIRECTORY;
            setDosTime(dot, si->modified);
        }
        dot.cluster = ownSector;
        dot.record = r;
        dot.deleted = !dir.inUse();
        list.push_back(dot);
        FileItem dotdot = parent;
        dotdot.name = "..";
        list.push_back(dotdot);
    }

    // The index first, then the records of its entries: the walk through the index is not held
    // up by reads elsewhere, and the source is told where the records lie before they are read.
    IndexReader index(dir);
    std::vector<IndexKey> keys;
    {
        std::vector<std::uint8_t> entry;
        IndexPosition p = kIndexStart;
        bool first = true;
        // Every entry has a position of its own; one met again means a damaged index leads in a circle.
        std::unordered_set<IndexPosition> seen;
        std::unordered_set<Listed, ListedHash> listed;
        while (enumerate(index, p, entry) && seen.insert(p).second) {
            if (std::exchange(first, false)) continue;
            if (observer && observer->cancelled()) break;
            auto key = parseIndexEntry(entry);
            if (!key || key->record < kFirstUserRecord || key->nameSpace == kDosNameSpace) continue;
            if (!listed.insert(Listed{key->record, key->name}).second) continue;
            keys.push_back(std::move(*key));
        }
    }

    const DriveInfo& info = mft.volume().info();
    const std::uint64_t recordSectors = info.bytesPerSector ? (info.bytesPerFileRecord + info.bytesPerSector - 1) / info.bytesPerSector : 0;
    constexpr std::size_t kPlanRecords = 4096;
    // Where each entry's record lies, worked out once: the item's and the plan's.
    std::vector<std::uint64_t> sectors(keys.size());
    for (std::size_t k = 0; k < keys.size(); ++k) sectors[k] = mft.sectorOfRecord(keys[k].record);
    std::vector<SectorExtent> plan;
    CInode child(mft);
    for (std::size_t k = 0; k < keys.size(); ++k) {
        if (observer) {
            observer->progress(list.size());
            if (observer->cancelled()) break;
        }
        // The records a window at a time, told again halfway through it.
        if (k % (kPlanRecords / 2) == 0 && recordSectors != 0) {
            plan.clear();
            for (std::size_t j = k; j < std::min(keys.size(), k + kPlanRecords); ++j) {
                const std::uint64_t sector = sectors[j];
                if (sector == kNoRecord || sector == 0) continue;
                if (!plan.empty() && plan.back().first + plan.back().count == sector)
                    plan.back().count += recordSectors;
                else
                    plan.push_back({sector, recordSectors});
            }
            mft.volume().willRead(plan);
        }
        const IndexKey& key = keys[k];
        FileItem item;
        item.name = utf8FromUtf16(key.name);
        setDosTime(item, key.modified);
        item.record = key.record;
        item.parentRecord = key.parent;
        item.size = key.dataSize;
        item.cluster = sectors[k];
        item.parentCluster = key.parent == r ? ownSector : mft.sectorOfRecord(key.parent);
        const bool loaded = child.loadByNumber(key.record);
        if (loaded) {
            if (auto si = standardInfo(child)) item.attributes = si->dosAttributes;
            item.attributes = isDirectory(child) ? (item.attributes | ATTR_DIRECTORY) : (item.attributes & ~ATTR_DIRECTORY);
            // The index copy of the size is not always kept current; the record's is.
            if (const AttrEntry* data = child.find(AT_DATA)) item.size = data->dataSize();
            item.deleted = !child.inUse();
        }
        if (item.isDirectory())
            item.kind = r < kFirstUserRecord || item.parentRecord < kFirstUserRecord ? ITEM_TOPDIR : ITEM_DIR;
        else
            item.kind = ITEM_FILE;
        ItemList streams = loaded ? streamItems(child, item) : ItemList{};
        list.push_back(std::move(item));
        list.insert(list.end(), std::make_move_iterator(streams.begin()), std::make_move_iterator(streams.end()));
    }
    // A deleted directory's index blocks are often taken by other data: only a live one's say
    // something is wrong.
    if (index.damaged().empty() && !index.missing().empty()) {
        // Part of a volume kept in an image file: the listing holds what the image does.
        reached = NtfsListing::IndexDamaged;
        mft.volume().prompts().showMessage(
            msg::kIndexNotInImage, formatMessage(msg::kIndexNotInImage, static_cast<unsigned long>(r),
                                                 static_cast<unsigned long>(index.missing().front())));
    } else if (index.damaged().empty()) {
        reached = NtfsListing::Whole;
    } else if (dir.inUse() && !mft.volume().sourceLost()) {
        reached = NtfsListing::IndexDamaged;
        mft.volume().prompts().showMessage(
            msg::kIndexDamaged, formatMessage(msg::kIndexDamaged, static_cast<unsigned long>(r),
                                              static_cast<unsigned long>(index.damaged().front())));
    } else {
        reached = NtfsListing::IndexDamagedUnsaid;
    }
    if (list.empty()) return std::nullopt;
    return list;
}

std::optional<FileItem> foundNtfsFile(Mft& mft, std::uint64_t sector, Bytes record) {
    CInode ino(mft);
    const bool whole = fits(record.size(), 0, mft.volume().info().bytesPerFileRecord);
    bool loaded = whole && ino.loadFromBytes(record);
    // Bytes read in one piece tear a record whose sectors the MFT's runs part: read that one
    // through the MFT.
    if (!loaded && (!whole || mft.splitRecordAt(sector))) loaded = ino.loadBySector(sector);
    if (!loaded) return std::nullopt;
    auto si = standardInfo(ino);
    if (!si) return std::nullopt;
    auto name = fileName(ino);
    if (!name) return std::nullopt;
    if (name->parent < kFirstUserRecord && isSystemName(name->name)) return std::nullopt;
    const AttrEntry* data = ino.find(AT_DATA);
    if (!data) return std::nullopt;

    FileItem item;
    item.attributes = si->dosAttributes & ~ATTR_DIRECTORY;
    item.name = name->name;
    item.size = data->dataSize();
    setDosTime(item, name->modified);
    item.record = ino.headerRecordNumber();
    item.parentRecord = name->parent;
    item.cluster = sector;
    item.parentCluster = kNoRecord;
    item.kind = ITEM_FILE;
    item.deleted = !ino.inUse();
    return item;
}

std::optional<FileItem> ntfsItemAtSector(Mft& mft, std::uint64_t sector) {
    CInode ino(mft);
    if (!ino.loadBySector(sector)) return std::nullopt;
    FileItem item;
    if (auto name = fileName(ino)) {
        item.name = name->name;
        item.parentRecord = name->parent;
        setDosTime(item, name->modified);
    }
    if (auto si = standardInfo(ino)) {
        item.attributes = si->dosAttributes;
        setDosTime(item, si->modified);
    }
    const bool dir = isDirectory(ino);
    item.attributes = dir ? (item.attributes | ATTR_DIRECTORY) : (item.attributes & ~ATTR_DIRECTORY);
    item.kind = dir ? ITEM_DIR : ITEM_FILE;
    if (const AttrEntry* data = ino.find(AT_DATA)) item.size = data->dataSize();
    item.record = ino.headerRecordNumber();
    item.cluster = sector;
    item.parentCluster = kNoRecord;
    item.deleted = !ino.inUse();
    return item;
}

ItemList ntfsStreamItems(Mft& mft, const FileItem& file) {
    CInode ino(mft);
    if (!ino.loadBySector(file.cluster)) return {};
    return streamItems(ino, file);
}

FolderPaths ntfsFolderPaths(Mft& mft, const ItemList& records, ListObserver* observer) {
    // Deeper than any path a volume holds (32767 characters): a longer chain is damage.
    constexpr std::size_t kMaxDepth = 16384;
    FolderPaths paths{{kRootRecord, "/"}};
    CInode ino(mft);
    std::vector<std::pair<std::uint64_t, std::string>> chain;  // records walked up, nearest first
    std::unordered_set<std::uint64_t> onChain;
    std::size_t done = 0;
    for (const FileItem& item : records) {
        if (observer) {
            observer->progress(++done);
            if (observer->cancelled()) break;
        }
        chain.clear();
        onChain.clear();
        std::uint64_t r = item.parentRecord;
        std::string path;
        for (;;) {
            if (auto known = paths.find(r); known != paths.end()) {
                path = known->second;
                break;
            }
            if (chain.size() >= kMaxDepth || !onChain.insert(r).second) {
                path = "?";
                break;
            }
            std::optional<FileNameValue> name;
            if (ino.loadByNumber(r) && isDirectory(ino)) name = fileName(ino);
            if (!name) {
                path = paths.emplace(r, "?").first->second;
                break;
            }
            chain.emplace_back(r, std::move(name->name));
            r = name->parent;
        }
        for (auto step = chain.rbegin(); step != chain.rend(); ++step) {
            if (path != "/") path += '/';
            path += step->second;
            paths.emplace(step->first, path);
        }
    }
    return paths;
}

}  // namespace harrow
