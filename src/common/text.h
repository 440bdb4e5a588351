// Text from the volume: UTF-16 names and short names in the OEM code page, both made UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace harrow {

// Longest name handed to the lists, in bytes of UTF-8.
inline constexpr std::size_t kMaxNameBytes = 255;

// UTF-16 code units to UTF-8, stopping at the first NUL. Unpaired surrogates become U+FFFD. The
// result is cut to `maxBytes` at a character boundary, never inside a character.
std::string utf8FromUtf16(std::span<const char16_t> units, std::size_t maxBytes = kMaxNameBytes);

// UTF-16LE bytes (as stored on disk) to UTF-8, as above; an odd trailing byte is ignored.
std::string utf8FromUtf16le(std::span<const std::uint8_t> bytes, std::size_t maxBytes = kMaxNameBytes);

// The OEM code page that short names with bytes from 0x80 are decoded from: the --codepage
// setting, else CP936 in a zh locale, else CP437.
std::string oemCodePage();
void setOemCodePage(std::string codePage);

// Short-name bytes to UTF-8 through the OEM code page; ASCII passes through unchanged. A byte
// the code page cannot decode becomes U+FFFD, so a name never comes back empty or cut short.
std::string utf8FromOem(std::string_view bytes);

// True when `name` is valid UTF-8.
bool isValidUtf8(std::string_view name);

}  // namespace harrow
