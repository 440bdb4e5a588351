// Text from the volume: UTF-16 names and short names in the OEM code page, both made UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace harrow {

// Longest file name Linux takes (NAME_MAX), in bytes of UTF-8: what a saved file's name must fit.
inline constexpr std::size_t kMaxNameBytes = 255;
// Longest name a volume holds, in UTF-16 units (a FAT long name, an NTFS name), and the most
// bytes of UTF-8 that can take: the lists keep names whole, only a saved file's name is shortened.
inline constexpr std::size_t kMaxNameUnits = 255;
inline constexpr std::size_t kMaxListedNameBytes = 3 * kMaxNameUnits;

// UTF-16 code units to UTF-8, stopping at the first NUL. Unpaired surrogates become U+FFFD. The
// result is cut to `maxBytes` at a character boundary, never inside a character.
std::string utf8FromUtf16(std::span<const char16_t> units, std::size_t maxBytes = kMaxListedNameBytes);

// UTF-16LE bytes (as stored on disk) to UTF-8, as above; an odd trailing byte is ignored.
std::string utf8FromUtf16le(std::span<const std::uint8_t> bytes, std::size_t maxBytes = kMaxListedNameBytes);

// The OEM code page that short names with bytes from 0x80 are decoded from: the --codepage
// setting, else CP936 in a zh locale, else CP437.
std::string oemCodePage();
void setOemCodePage(std::string codePage);

// Short-name bytes to UTF-8 through the OEM code page; ASCII passes through unchanged. A byte
// the code page cannot decode becomes U+FFFD, so a name never comes back empty or cut short.
std::string utf8FromOem(std::string_view bytes);

// True when `name` is valid UTF-8.
bool isValidUtf8(std::string_view name);

// The length of the longest start of `text` that holds at most `maxBytes` and does not end
// inside a UTF-8 character.
std::size_t utf8PrefixLength(std::string_view text, std::size_t maxBytes);

}  // namespace harrow
