#include "common/text.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace harrow {
namespace {

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::size_t utf8Length(char32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }

std::mutex codePageMutex;
std::string codePageSetting;

std::string defaultCodePage() {
    for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v) return std::string_view(v).starts_with("zh") ? "CP936" : "CP437";
    }
    return "CP437";
}

}  // namespace

std::string utf8FromUtf16(std::span<const char16_t> units, std::size_t maxBytes) {
    std::string out;
    for (std::size_t i = 0; i < units.size() && units[i] != 0; ++i) {
        char32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (out.size() + utf8Length(cp) > maxBytes) break;
        appendUtf8(out, cp);
    }
    return out;
}

std::string utf8FromUtf16le(std::span<const std::uint8_t> bytes, std::size_t maxBytes) {
    std::vector<char16_t> units(bytes.size() / 2);
    for (std::size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return utf8FromUtf16(units, maxBytes);
}

std::string oemCodePage() {
    std::lock_guard lock(codePageMutex);
    return codePageSetting.empty() ? defaultCodePage() : codePageSetting;
}

void setOemCodePage(std::string codePage) {
    std::lock_guard lock(codePageMutex);
    codePageSetting = std::move(codePage);
}

std::string utf8FromOem(std::string_view bytes) {
    bool ascii = true;
    for (char c : bytes) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) return std::string(bytes);

    std::string out;
    iconv_t cd = iconv_open("UTF-8", oemCodePage().c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (char c : bytes) appendUtf8(out, static_cast<unsigned char>(c) < 0x80 ? static_cast<char32_t>(c) : 0xFFFD);
        return out;
    }
    std::string in(bytes);
    char* inPtr = in.data();
    std::size_t inLeft = in.size();
    char buf[64];
    while (inLeft > 0) {
        char* outPtr = buf;
        std::size_t outLeft = sizeof buf;
        std::size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buf, static_cast<std::size_t>(outPtr - buf));
        if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
            // An undecodable or truncated sequence: show a replacement and go on after it.
            appendUtf8(out, 0xFFFD);
            ++inPtr;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

bool isValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

std::size_t utf8PrefixLength(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text.size();
    std::size_t n = maxBytes;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return n;
}

}  // namespace harrow
