// One listed file or directory, and the lists they live in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace harrow {

// What an item is; each value is also the number of its icon.
enum ItemKind : std::uint16_t {
    ITEM_TOPDIR = 140,        // root-list directory, the root item, found directory matched to a root entry
    ITEM_DIR = 142,           // ordinary directory
    ITEM_LOSTROOTDIR = 144,   // found directory whose ".." names the root
    ITEM_LOSTDIR = 145,       // found directory whose ".." names another directory, not yet named
    ITEM_FILE = 147,
    ITEM_SAVEDFILE = 148,     // file saved during this run
    ITEM_LOSTSUBDIR = 162,    // found directory named from a lost parent
    ITEM_RENAMEDDIR = 168,    // found directory renamed by the user
};

enum : std::uint8_t {
    ATTR_READONLY = 0x01,
    ATTR_HIDDEN = 0x02,
    ATTR_SYSTEM = 0x04,
    ATTR_VOLUME = 0x08,
    ATTR_DIRECTORY = 0x10,
    ATTR_ARCHIVE = 0x20,
};

// Parent cluster of entries read from a directory (as opposed to found ones).
inline constexpr std::uint64_t kParentFromDirectory = 0xFFFF;
// Parent cluster of a found exFAT directory that no set names: no cluster has this number.
inline constexpr std::uint64_t kUnknownParent = 1;

struct FileItem {
    std::uint16_t kind = ITEM_DIR;
    std::string name;            // UTF-8, at most 255 bytes
    std::uint8_t attributes = 0;
    std::uint16_t time = 0;      // DOS time, local
    std::uint16_t date = 0;      // DOS date, local
    std::uint64_t cluster = 0;   // FAT: first cluster; NTFS: sector of the file record
    std::uint64_t parentCluster = 0;
    std::uint64_t record = 0;    // NTFS file record number
    std::uint64_t parentRecord = 0;
    std::uint64_t size = 0;      // bytes; FAT stores 32 bits, NTFS 64
    bool deleted = false;        // FAT: the entry is marked deleted; NTFS: the record is not in use
    std::string shortName{};     // FAT: the 8.3 name when `name` is a long one, else empty
    // NTFS: the named data stream this item stands for, listed after its file as "name:stream"
    // with the file's record; empty for the file's own data.
    std::string stream{};
    // exFAT: what the stream extension adds. Bytes past `validSize` read as zeros; a
    // `contiguous` file (NoFatChain) lies in clusters one after another and has no chain.
    std::uint64_t validSize = UINT64_MAX;
    bool contiguous = false;
    // exFAT: the 10 ms steps past the DOS time's two seconds, and the minutes east of UTC the
    // time was written in, when the volume recorded them.
    std::uint8_t timeCentiseconds = 0;
    std::optional<std::int16_t> utcOffsetMinutes{};

    bool isDirectory() const { return attributes & ATTR_DIRECTORY; }
    bool isStream() const { return !stream.empty(); }
    // The lists tell deleted entries by the '#' their name begins with.
    bool isDeletedName() const { return !name.empty() && name[0] == '#'; }
    // "." or "..": a directory's own entries, listed but never entered.
    bool isDotName() const { return name == "." || name == ".."; }
    std::uint32_t firstCluster() const { return static_cast<std::uint32_t>(cluster); }
    void reset() { *this = FileItem{}; }
};

// Lists start with room for 500 items and grow by half their size when full: a directory of
// 65000 entries grown 500 at a time spent most of its listing moving the list.
using ItemList = std::vector<FileItem>;
inline constexpr std::size_t kListGrowth = 500;

// What a front end sees of a list being filled (a directory being listed, a tree being walked):
// how far it has come, and whether the user wants it to stop. A GUI throttles what it shows.
class ListObserver {
public:
    virtual ~ListObserver() = default;
    virtual void progress(std::size_t /*itemsSoFar*/) {}
    virtual bool cancelled() { return false; }
};

}  // namespace harrow
