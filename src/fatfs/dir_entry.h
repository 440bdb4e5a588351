// 32-byte FAT directory entries: what an entry is, its short name, and long names gathered
// from the entries before it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "common/bytes.h"

namespace harrow {

inline constexpr std::size_t kDirEntrySize = 32;
inline constexpr std::uint8_t kDeletedMark = 0xE5;

enum class EntryClass { End = 0, Directory = 1, File = 2, LongName = 3, VolumeLabel = 4 };

// Entry layout:
//   0  name[8]   (byte 0: 0 ends the directory, 0xE5 deleted)   20  cluster high (FAT32)
//   8  ext[3]                                                    22  time
//  11  attributes (0x0F: long-name entry)                        24  date
//                                                                26  cluster low
//                                                                28  size
namespace dirent {
inline constexpr std::size_t kAttributes = 11, kNtCase = 12, kTime = 22, kDate = 24, kSize = 28;
}

EntryClass classify(Bytes entry);

// "NAME.EXT" without padding; a deleted entry shows '#' in place of its first character. Bytes
// from 0x80 are decoded from the OEM code page.
std::string shortName(Bytes entry);

inline bool isDeleted(Bytes entry) { return le8(entry, 0) == kDeletedMark; }

// Is the entry's 8-byte name field "." (or "..") padded with blanks?
bool isDotEntry(Bytes entry);
bool isDotDotEntry(Bytes entry);

// Gathers the long-name entries that precede a short entry. A run opens at an entry whose ordinal
// is 0x41..0x54 (the last of 1 to 20 entries: 255 characters take 20), expects the ordinals to
// count down to 1, and is complete when they did. Any break in the sequence drops it. A name keeps
// at most 255 UTF-16 units, whatever a damaged run holds.
//
// Deleting a file overwrites byte 0 of each of its entries, which in a long-name entry is the
// ordinal, not a character: a deleted entry's long name survives, but its order can only come
// from where the pieces lie. So the entries right before the short one are kept as well, nearest
// last, and a deleted short entry takes them backwards while each fits (see take).
class LongNameAssembler {
public:
    void feed(Bytes entry);
    // The name the short entry `shortEntry` is listed under when long-name entries precede it,
    // then closes the run (after every short entry). A live entry takes a complete run; a
    // deleted one the entries right before it, "#" and the name, when their checksum fits its
    // short name.
    std::optional<std::string> take(Bytes shortEntry);
    void close() {
        open_ = false;
        preceding_ = 0;
    }

private:
    static constexpr int kSlots = 20, kUnitsPerSlot = 13;
    std::optional<std::string> deletedName(Bytes shortEntry) const;

    bool open_ = false;
    int expected_ = 0;
    std::size_t gatheredUnits_ = 0;
    std::array<char16_t, kSlots * kUnitsPerSlot + 1> units_{};
    // The long-name entries directly before the next short entry, in directory order.
    std::array<std::array<std::uint8_t, kDirEntrySize>, kSlots> recent_{};
    std::size_t preceding_ = 0;
};

}  // namespace harrow
