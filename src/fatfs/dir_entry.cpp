#include "fatfs/dir_entry.h"

#include <algorithm>

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

void LongNameAssembler::feed(Bytes e) {
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
    // Characters 1-5 at offset 1, 6-11 at 14, 12-13 at 28; copy up to and including a NUL.
    static constexpr std::size_t kOffsets[kUnitsPerSlot] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    std::size_t base = static_cast<std::size_t>(expected_) * kUnitsPerSlot;
    for (int i = 0; i < kUnitsPerSlot; ++i) {
        char16_t u = le16(e, kOffsets[i]);
        units_[base + i] = u;
        ++gatheredUnits_;
        if (u == 0) break;
    }
}

std::optional<std::string> LongNameAssembler::take() {
    bool complete = open_ && expected_ == 0;
    open_ = false;
    if (!complete) return std::nullopt;
    std::size_t n = std::min({gatheredUnits_, units_.size() - 1, kMaxNameUnits});
    units_[n] = 0;
    return utf8FromUtf16(std::span<const char16_t>(units_.data(), n + 1));
}

}  // namespace harrow
