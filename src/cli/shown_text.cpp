#include <algorithm>

#include "cli/cli.h"

namespace harrow::cli {

namespace {

// The bytes of a bidirectional formatting character at `at` (U+061C, U+200E, U+200F, U+202A to
// U+202E, U+2066 to U+2069), or 0. They reorder what follows them on the line, so a name holding
// one could show another name, or another extension, than it has.
std::size_t bidiControlBytes(std::string_view text, std::size_t at) {
    auto byte = [&](std::size_t k) { return at + k < text.size() ? static_cast<unsigned char>(text[at + k]) : 0u; };
    if (byte(0) == 0xD8 && byte(1) == 0x9C) return 2;
    if (byte(0) != 0xE2) return 0;
    const unsigned b1 = byte(1), b2 = byte(2);
    const bool marks = b1 == 0x80 && (b2 == 0x8E || b2 == 0x8F || (b2 >= 0xAA && b2 <= 0xAE));
    const bool isolates = b1 == 0x81 && b2 >= 0xA6 && b2 <= 0xA9;
    return marks || isolates ? 3 : 0;
}

}  // namespace

std::string shownText(std::string_view text, bool backslashes) {
    // Most names need nothing done: bytes below 0x20, DEL, a backslash and the lead bytes of the
    // characters below are all this looks at.
    const auto plain = [&](char ch) {
        const auto b = static_cast<unsigned char>(ch);
        return b >= 0x20 && b != 0x7F && (b != '\\' || !backslashes) && b != 0xC2 && b != 0xD8 && b != 0xE2;
    };
    if (std::all_of(text.begin(), text.end(), plain)) return std::string(text);
    std::string out;
    auto octal = [&](unsigned char b) {
        out += '\\';
        out += static_cast<char>('0' + (b >> 6));
        out += static_cast<char>('0' + ((b >> 3) & 7));
        out += static_cast<char>('0' + (b & 7));
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        const bool c1 = b == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (b == '\n') {
            out += "\\n";
        } else if (b == '\t') {
            out += "\\t";
        } else if (b == '\\' && backslashes) {
            out += "\\\\";
        } else if (b < 0x20 || b == 0x7F) {
            octal(b);
        } else if (c1) {
            // U+0080..U+009F: terminals may take these as control sequences as well.
            octal(b);
            octal(static_cast<unsigned char>(text[++i]));
        } else if (const std::size_t n = bidiControlBytes(text, i)) {
            for (std::size_t k = 0; k < n; ++k) octal(static_cast<unsigned char>(text[i + k]));
            i += n - 1;
        } else {
            out += static_cast<char>(b);
        }
    }
    return out;
}

}  // namespace harrow::cli
