#include "fatfs/dir_entry.h"

#include <algorithm>
#include <string_view>

#include "common/text.h"

namespace harrow {

EntryClass classify(Bytes e) {
    std::uint8_t b0 = le8(e, 0), a = le8(e, dirent::kAttributes);
    if (b0 == 0) return EntryClass::End;
    if ((a & 0x18) == 0x18) return EntryClass::End;
    if (a == 0x0F) return EntryClass::LongName;
    if (a & 0x08) return EntryClass::VolumeLabel;
    if (a & 0x10) return EntryClass::Directory;
    return EntryClass::File;
}

std::string shortName(Bytes e) {
    std::string raw;
    bool deleted = le8(e, 0) == kDeletedMark;
    for (std::size_t i = deleted ? 1 : 0; i < 8; ++i) {
        char c = static_cast<char>(le8(e, i));
        if (c == ' ' || c == '\0') break;
        raw += c;
    }
    // A first byte of 0x05 stands for a name that really begins with 0xE5.
    if (!deleted && !raw.empty() && raw[0] == '\x05') raw[0] = static_cast<char>(kDeletedMark);
    std::string ext;
    for (std::size_t i = 8; i < 11; ++i) {
        char c = static_cast<char>(le8(e, i));
        if (c == ' ' || c == '\0') break;
        ext += c;
    }
    // Windows NT keeps an all-lower-case base or extension as capitals with a flag in byte 12
    // (0x08 the base, 0x10 the extension) instead of a long name. Only A-Z change case: bytes
    // of the code page's upper half are left as they are.
    const std::uint8_t ntCase = le8(e, dirent::kNtCase);
    auto lower = [](std::string& s) {
        for (char& c : s)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    };
    if (ntCase & 0x08) lower(raw);
    if (ntCase & 0x10) lower(ext);
    bool blankExt = le8(e, 8) == ' ' && le8(e, 9) == ' ' && le8(e, 10) == ' ';
    std::string name = (deleted ? "#" : "") + utf8FromOem(raw);
    if (!blankExt) name += "." + utf8FromOem(ext);
    return name;
}

bool isDotEntry(Bytes e) { return bytesEqual(e, 0, ".       "); }
bool isDotDotEntry(Bytes e) { return bytesEqual(e, 0, "..      "); }

namespace {

// Long-name entry layout:
//   0  ordinal (0x40: the last piece)    12  type, 0
//   1  characters 1-5                     13  checksum of the short name
//  11  attributes 0x0F                    14  characters 6-11
//                                         26  cluster, 0
//                                         28  characters 12-13
namespace lfn {
inline constexpr std::size_t kType = 12, kChecksum = 13, kCluster = 26;
inline constexpr std::uint8_t kLastPiece = 0x40;
inline constexpr std::size_t kUnitOffsets[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
}  // namespace lfn

// The byte a short name must begin with for its long-name entries to carry `sum`. Deleting
// overwrote the real one; each step of the checksum can be undone, so exactly one byte fits.
std::uint8_t firstByteForChecksum(std::uint8_t sum, Bytes e) {
    std::uint8_t s = sum;
    for (std::size_t i = 10; i >= 1; --i) {
        s = static_cast<std::uint8_t>(s - le8(e, i));
        s = static_cast<std::uint8_t>((s << 1) | (s >> 7));
    }
    return s;
}

// Could a short name made from the long name `name` begin with `b`? File systems take the first
// letter or digit after leading blanks and dots, in capitals; other first characters become what
// the code page or '_' makes of them, so there any byte a short name may begin with fits.
bool firstByteFits(std::uint8_t b, std::u16string_view name) {
    const std::size_t i = name.find_first_not_of(u" .");
    if (i != std::u16string_view::npos) {
        const char16_t c = name[i];
        if (c >= 'a' && c <= 'z') return b == c - 'a' + 'A';
        if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return b == c;
    }
    if (b == 0x05) return true;  // stands for a name beginning with 0xE5
    if (b <= ' ' || b == 0x7F || b == kDeletedMark || (b >= 'a' && b <= 'z')) return false;
    return std::string_view("\"*+,./:;<=>?[\\]|").find(static_cast<char>(b)) == std::string_view::npos;
}

}  // namespace

void LongNameAssembler::feed(Bytes e) {
    if (e.size() < kDirEntrySize) return;
    if (preceding_ == recent_.size()) {
        std::move(recent_.begin() + 1, recent_.end(), recent_.begin());
        --preceding_;
    }
    std::copy_n(e.begin(), kDirEntrySize, recent_[preceding_++].begin());

    std::uint8_t ordinal = le8(e, 0);
    if (!open_) {
        if (ordinal < 0x41 || ordinal > 0x40 + kSlots) return;
        open_ = true;
        expected_ = ordinal - 0x40;
        gatheredUnits_ = 0;
        units_.fill(0);
    } else if (ordinal != expected_) {
        open_ = false;
        return;
    }
    if (--expected_ < 0) {
        open_ = false;
        return;
    }
    // Copy up to and including a NUL.
    std::size_t base = static_cast<std::size_t>(expected_) * kUnitsPerSlot;
    for (int i = 0; i < kUnitsPerSlot; ++i) {
        char16_t u = le16(e, lfn::kUnitOffsets[i]);
        units_[base + i] = u;
        ++gatheredUnits_;
        if (u == 0) break;
    }
}

std::optional<std::string> LongNameAssembler::take(Bytes shortEntry) {
    std::optional<std::string> name;
    if (isDeleted(shortEntry)) {
        name = deletedName(shortEntry);
    } else if (open_ && expected_ == 0) {
        std::size_t n = std::min({gatheredUnits_, units_.size() - 1, kMaxNameUnits});
        units_[n] = 0;
        name = utf8FromUtf16(std::span<const char16_t>(units_.data(), n + 1));
    }
    close();
    return name;
}

// The nearest entry holds characters 1-13, the one before it 14-26, and so on. A piece fits when
// it is a well-formed long-name entry with the nearest one's checksum and, if still in use, the
// ordinal of its place; the name ends at a NUL, at a piece marked last, or at the first piece
// that does not fit.
std::optional<std::string> LongNameAssembler::deletedName(Bytes shortEntry) const {
    if (preceding_ == 0) return std::nullopt;
    const std::uint8_t sum = recent_[preceding_ - 1][lfn::kChecksum];
    std::array<char16_t, kSlots * kUnitsPerSlot + 1> units{};
    std::size_t count = 0;
    bool ended = false;
    for (std::size_t place = 1; place <= preceding_ && !ended; ++place) {
        Bytes piece(recent_[preceding_ - place]);
        const std::uint8_t ordinal = le8(piece, 0);
        const bool live = ordinal != kDeletedMark;
        if ((live && (ordinal & ~lfn::kLastPiece) != place) || le8(piece, lfn::kChecksum) != sum ||
            le8(piece, lfn::kType) != 0 || le16(piece, lfn::kCluster) != 0)
            break;
        for (std::size_t offset : lfn::kUnitOffsets) {
            const char16_t u = le16(piece, offset);
            if (u == 0) {
                ended = true;
                break;
            }
            units[count++] = u;
        }
        if (live && (ordinal & lfn::kLastPiece)) ended = true;
    }
    count = std::min(count, kMaxNameUnits);
    units[count] = 0;
    if (count == 0 || !firstByteFits(firstByteForChecksum(sum, shortEntry), {units.data(), count})) return std::nullopt;
    return "#" + utf8FromUtf16(std::span<const char16_t>(units.data(), count + 1), kMaxListedNameBytes - 1);
}

}  // namespace harrow
