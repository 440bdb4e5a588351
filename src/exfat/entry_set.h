// exFAT directory entries: the 32-byte entries of a directory, the entry sets that describe one
// file each (a File entry, its Stream Extension, its File Name entries), the root's own entries
// (allocation bitmap, up-case table, volume label), and the up-case table that makes names
// compare without regard to case. Pure functions over bytes; reading them is exfat_dir's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"

namespace harrow::exfat {

inline constexpr std::size_t kEntryBytes = 32;

// Entry types as stored: bit 7 is the in-use bit, clear in the entries of a deleted file.
enum : std::uint8_t {
    kEndOfDirectory = 0x00,
    kInUse = 0x80,
    kBitmapEntry = 0x81,
    kUpcaseEntry = 0x82,
    kLabelEntry = 0x83,
    kFileEntry = 0x85,
    kStreamEntry = 0xC0,
    kNameEntry = 0xC1,
};

// A File entry's secondary count covers at least its stream and one name entry; the most names
// need is 17 (255 units, 15 to an entry). Vendor entries may follow, up to the byte's range.
inline constexpr unsigned kMinSecondaries = 2;
inline constexpr unsigned kNameUnitsPerEntry = 15;
inline constexpr unsigned kMaxNameUnits = 255;

// One of a file's three times, as the File entry keeps it: a DOS date and time in local time,
// the 10 ms steps past its two seconds, and its offset from UTC when one was recorded.
struct Timestamp {
    std::uint16_t date = 0;
    std::uint16_t time = 0;
    std::uint8_t centiseconds = 0;
    std::optional<std::int16_t> utcOffsetMinutes;
};

struct EntrySet {
    std::size_t entries = 0;  // the File entry and its secondaries
    bool deleted = false;     // the File entry's in-use bit is clear
    bool checksumOk = false;  // over the set as it was written (in-use bits set)
    std::uint16_t attributes = 0;
    Timestamp created, modified, accessed;
    bool allocationPossible = false;
    bool noFatChain = false;
    std::uint64_t validLength = 0;
    std::uint64_t dataLength = 0;
    std::uint32_t firstCluster = 0;
    std::u16string name;
};

// The set checksum of `set` (whole entries), as its File entry stores it: every byte but the
// checksum's own two. `asWritten` counts each entry type with its in-use bit set, as it was when
// the set was written: a deleted set then still adds up.
std::uint16_t setChecksum(Bytes set, bool asWritten = false);

// What stands at the start of `entries` (a directory's bytes from one entry on).
enum class SetParse { Set, NotASet, Corrupt };

// Parses the entry set that begins at `entries`: a File entry (in use or deleted), then its
// Stream Extension and File Name entries in the same state. Corrupt when the File entry is one
// but what follows does not make a set of its secondary count: too few or too many secondaries
// for the buffer, no stream entry, a name length of 0 or over 255 units, too few name entries.
// A checksum that fails is reported in the set, not refused.
SetParse parseEntrySet(Bytes entries, EntrySet& out);

// One of a File entry's times from its 32-bit timestamp (a DOS date over a DOS time), its 10 ms
// part and its UTC byte.
Timestamp timestampOf(std::uint32_t stamp, std::uint8_t centiseconds, std::uint8_t utc);

// The volume label of a label entry (at most 11 units); empty when the entry holds none.
std::string labelOf(Bytes entry);

// The up-case table, expanded from its stored form: a run of 0xFFFF, N maps the next N
// characters to themselves.
class UpcaseTable {
public:
    UpcaseTable() = default;
    // Expands the stored table; a table cut short leaves the rest mapping to itself.
    explicit UpcaseTable(Bytes stored);
    char16_t upper(char16_t c) const { return c < map_.size() ? map_[c] : c; }
    // Whether the UTF-8 names `a` and `b` are the same name on exFAT.
    bool sameName(const std::string& a, const std::string& b) const;
    bool empty() const { return map_.empty(); }

private:
    std::vector<char16_t> map_;
};

}  // namespace harrow::exfat
