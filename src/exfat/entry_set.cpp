#include "exfat/entry_set.h"

#include <algorithm>

#include "common/text.h"

namespace harrow::exfat {
namespace {

// File entry
enum : std::size_t {
    kSecondaryCount = 1,
    kSetChecksum = 2,
    kAttributes = 4,
    kCreated = 8,
    kModified = 12,
    kAccessed = 16,
    kCreated10ms = 20,
    kModified10ms = 21,
    kCreatedUtc = 22,
    kModifiedUtc = 23,
    kAccessedUtc = 24,
};
// Stream Extension entry
enum : std::size_t {
    kFlags = 1,
    kNameLength = 3,
    kValidLength = 8,
    kFirstCluster = 20,
    kDataLength = 24,
};
// File Name and label entries
enum : std::size_t { kNameUnits = 2, kLabelLength = 1, kLabelUnits = 2 };
constexpr unsigned kMaxLabelUnits = 11;

// A secondary of the set, as stored for a set in the given state.
bool isType(Bytes entry, std::uint8_t type, bool deleted) {
    return le8(entry, 0) == (deleted ? static_cast<std::uint8_t>(type & ~kInUse) : type);
}

// The next code point of UTF-8 `s` from `at`; a byte that starts no character stands for itself.
char32_t nextCodePoint(const std::string& s, std::size_t& at) {
    const auto b = static_cast<unsigned char>(s[at++]);
    const int more = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    if (more == 0 || at + more > s.size()) return b;
    char32_t c = b & (0x3F >> more);
    for (int i = 0; i < more; ++i) c = (c << 6) | (static_cast<unsigned char>(s[at++]) & 0x3F);
    return c;
}

}  // namespace

std::uint16_t setChecksum(Bytes set, bool asWritten) {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < set.size(); ++i) {
        if (i == kSetChecksum || i == kSetChecksum + 1) continue;
        std::uint8_t b = set[i];
        if (asWritten && i % kEntryBytes == 0) b |= kInUse;
        sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b);
    }
    return sum;
}

Timestamp timestampOf(std::uint32_t stamp, std::uint8_t centiseconds, std::uint8_t utc) {
    Timestamp t;
    t.time = static_cast<std::uint16_t>(stamp & 0xFFFF);
    t.date = static_cast<std::uint16_t>(stamp >> 16);
    // Up to 199: the odd second and the hundredths.
    t.centiseconds = centiseconds <= 199 ? centiseconds : 0;
    if (utc & 0x80) {
        // A signed 7-bit count of quarter hours.
        const int quarters = (utc & 0x40) ? static_cast<int>(utc & 0x7F) - 128 : utc & 0x7F;
        t.utcOffsetMinutes = static_cast<std::int16_t>(quarters * 15);
    }
    return t;
}

SetParse parseEntrySet(Bytes entries, EntrySet& out) {
    //   File (0x85) | Stream Extension (0xC0) | File Name (0xC1) x ceil(length / 15) | others
    //   <------------------ 1 + secondary count entries, 32 bytes each ------------------>
    out = EntrySet{};
    const std::uint8_t type = le8(entries, 0);
    if (type != kFileEntry && type != (kFileEntry & ~kInUse)) return SetParse::NotASet;
    if (entries.size() < kEntryBytes) return SetParse::NotASet;
    out.deleted = type != kFileEntry;
    const unsigned secondaries = le8(entries, kSecondaryCount);
    if (secondaries < kMinSecondaries || !fits(entries.size(), 0, (std::uint64_t{secondaries} + 1) * kEntryBytes))
        return SetParse::Corrupt;
    out.entries = secondaries + 1;
    const Bytes set = entries.first(out.entries * kEntryBytes);
    const Bytes file = set.first(kEntryBytes), stream = set.subspan(kEntryBytes, kEntryBytes);
    if (!isType(stream, kStreamEntry, out.deleted)) return SetParse::Corrupt;

    const unsigned nameUnits = le8(stream, kNameLength);
    const unsigned nameEntries = (nameUnits + kNameUnitsPerEntry - 1) / kNameUnitsPerEntry;
    if (nameUnits == 0 || nameEntries > secondaries - 1) return SetParse::Corrupt;
    out.name.reserve(nameUnits);
    for (unsigned i = 0; i < nameEntries; ++i) {
        const Bytes entry = set.subspan((2 + i) * kEntryBytes, kEntryBytes);
        if (!isType(entry, kNameEntry, out.deleted)) return SetParse::Corrupt;
        for (unsigned u = 0; u < kNameUnitsPerEntry && out.name.size() < nameUnits; ++u)
            out.name.push_back(static_cast<char16_t>(le16(entry, kNameUnits + 2 * u)));
    }

    out.checksumOk = setChecksum(set, out.deleted) == le16(file, kSetChecksum);
    out.attributes = le16(file, kAttributes);
    out.created = timestampOf(le32(file, kCreated), le8(file, kCreated10ms), le8(file, kCreatedUtc));
    out.modified = timestampOf(le32(file, kModified), le8(file, kModified10ms), le8(file, kModifiedUtc));
    out.accessed = timestampOf(le32(file, kAccessed), 0, le8(file, kAccessedUtc));
    const std::uint8_t flags = le8(stream, kFlags);
    out.allocationPossible = flags & 0x01;
    out.noFatChain = flags & 0x02;
    out.validLength = le64(stream, kValidLength);
    out.dataLength = le64(stream, kDataLength);
    out.firstCluster = le32(stream, kFirstCluster);
    return SetParse::Set;
}

std::string labelOf(Bytes entry) {
    const unsigned units = std::min<unsigned>(le8(entry, kLabelLength), kMaxLabelUnits);
    if (!fits(entry.size(), kLabelUnits, 2 * units)) return {};
    return utf8FromUtf16le(entry.subspan(kLabelUnits, 2 * units));
}

UpcaseTable::UpcaseTable(Bytes stored) {
    map_.resize(0x10000);
    for (std::size_t c = 0; c < map_.size(); ++c) map_[c] = static_cast<char16_t>(c);
    std::size_t next = 0;
    for (std::size_t at = 0; at + 2 <= stored.size() && next < map_.size(); at += 2) {
        const std::uint16_t v = le16(stored, at);
        if (v == 0xFFFF && at + 4 <= stored.size()) {
            at += 2;
            next += le16(stored, at);
            continue;
        }
        map_[next++] = static_cast<char16_t>(v);
    }
}

bool UpcaseTable::sameName(const std::string& a, const std::string& b) const {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        char32_t x = nextCodePoint(a, i), y = nextCodePoint(b, j);
        if (x <= 0xFFFF) x = upper(static_cast<char16_t>(x));
        if (y <= 0xFFFF) y = upper(static_cast<char16_t>(y));
        if (x != y) return false;
    }
    return i == a.size() && j == b.size();
}

}  // namespace harrow::exfat
