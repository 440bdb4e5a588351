// Drive letters for the volumes of this machine. Root paths stay "X:\" everywhere (lists,
// captions, the wire); the table says which device or file stands behind each letter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace harrow {

// The drive types of the letters, numbered as the rest of the system knows them.
enum class DriveType : int { Unknown = 0, NoRootDir = 1, Removable = 2, Fixed = 3, Remote = 4, CdRom = 5, RamDisk = 6 };

struct DriveEntry {
    char letter = 0;        // 'A' .. 'Z'
    DriveType type = DriveType::Fixed;
    std::string label;
    std::string path;       // block device or regular file
    std::uint64_t offset = 0;  // where the volume starts inside `path`
    std::optional<std::uint64_t> length;  // where it ends, for a volume that does not run to the end
    bool readable = true;   // false: the user may not open it (it is listed so they learn why)
    int partition = 0;      // the partition of `path` it stands for (PATH@N); 0 for all of `path`
    std::string fileSystem; // what its boot sector (or a backup) names, once the table has looked
    std::uint64_t bytes = 0;  // its size, where known
    std::string model;      // of the device it is or lies on, where the system says
    std::string serial;
};

class DriveTable {
public:
    // The process-wide table: filled from /sys/class/block and HARROW_DRIVES on first use.
    static DriveTable& global();

    // Enumerates the block devices of this machine (floppies as A: and B:, then disks and
    // partitions in name order from C:), leaving out CD-ROMs and devices that are not there (no
    // node, no medium). A device the user has no permission to open is listed unreadable.
    void loadSystem(const std::string& sysBlock = "/sys/class/block", const std::string& byLabel = "/dev/disk/by-label",
                    const std::string& devDir = "/dev");
    // "X=PATH[,Y=PATH...]": adds or replaces entries. False on a malformed item (the rest apply).
    // A PATH the table already lists under another letter moves to X: one device, one letter.
    // PATH@N names partition N of a disk; a PATH that holds a partition table stands for its FAT
    // and NTFS partitions, the first under X, the others under the next free letters.
    bool addAssignments(const std::string& text);
    // Adds or replaces the entry of `letter`.
    void set(DriveEntry entry);
    // Registers `path` under the next free letter from C: (or the letter it already has).
    std::optional<char> registerPath(const std::string& path, std::uint64_t offset = 0,
                                     std::optional<std::uint64_t> length = std::nullopt);

    // Looks at the boot sector of each readable entry that has no file system yet, and at the
    // size of each whose size is not known.
    void probeFileSystems();

    const DriveEntry* find(char letter) const;
    const std::vector<DriveEntry>& entries() const { return entries_; }
    void clear() { entries_.clear(); }

private:
    // Drops what the table lists of `path` (PATH or PATH@N) under letters other than `letter`.
    void forgetElsewhere(char letter, const std::string& path);
    // Puts the FAT and NTFS partitions of the disk under `letter` in its place; false when it
    // holds no partition table.
    bool splitDisk(char letter);

    std::vector<DriveEntry> entries_;  // sorted by letter
};

// The file system of the volume that starts `offset` bytes into `path` (and is `length` bytes
// long, where given), found as an open of it finds it: by its boot sector or, where that is
// damaged, a backup. "FAT12", "FAT16", "FAT32", "NTFS" or "exFAT"; empty for anything else.
std::string fileSystemAt(const std::string& path, std::uint64_t offset = 0,
                         std::optional<std::uint64_t> length = std::nullopt);

// The letter of a root path "X:\" (or "X:" or "X"), upper-cased; nothing for other text.
std::optional<char> letterOfRootPath(const std::string& path);

}  // namespace harrow
