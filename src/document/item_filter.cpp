#include "document/item_filter.h"

#include <algorithm>

#include "common/dostime.h"
#include "common/strings.h"
#include "fatfs/fat_verdict.h"

namespace harrow {
namespace {

// Stands for the first character of a deleted short name, which the volume no longer holds.
constexpr char32_t kUnknownChar = 0xFFFFFFFF;

char32_t folded(char32_t c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

// The character at `at` and its length in bytes. Names are UTF-8 but patterns come from anyone:
// a byte that starts no character stands for itself, apart from every character.
inline std::pair<char32_t, std::size_t> charAt(std::string_view s, std::size_t at) {
    const auto b = static_cast<unsigned char>(s[at]);
    if (b < 0x80) return {b, 1};
    const std::size_t len = (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || len > s.size() - at) return {0xDC00 + b, 1};
    char32_t c = b & (0x7F >> len);
    for (std::size_t i = 1; i < len; ++i) {
        const auto n = static_cast<unsigned char>(s[at + i]);
        if ((n & 0xC0) != 0x80) return {0xDC00 + b, 1};
        c = (c << 6) | (n & 0x3F);
    }
    return {c, len};
}

// Moments as decimal digits YYYYMMDDhhmmss: they order as the moments do.
std::int64_t dateKey(int year, int month, int day, int hour, int minute, int second) {
    return ((((static_cast<std::int64_t>(year) * 100 + month) * 100 + day) * 100 + hour) * 100 + minute) * 100 + second;
}

bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// The digits of text[at, at + n) as a number, or -1.
int digitsAt(std::string_view text, std::size_t at, std::size_t n) {
    int v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        v = v * 10 + (text[i] - '0');
    }
    return v;
}

}  // namespace

std::optional<NameGlob> NameGlob::parse(std::string_view pattern, std::string& error) {
    auto bad = [&] {
        error = formatMessage(msg::kFilterBadGlob, std::string(pattern));
        return std::nullopt;
    };
    if (pattern.empty()) return bad();
    NameGlob glob;
    std::size_t at = 0;
    // The character at `at`, taken as it is after a '\'; false at the end of the pattern.
    auto next = [&](char32_t& c) {
        if (at == pattern.size()) return false;
        if (pattern[at] == '\\' && ++at == pattern.size()) return false;
        auto [ch, len] = charAt(pattern, at);
        c = folded(ch);
        at += len;
        return true;
    };
    while (at < pattern.size()) {
        const char p = pattern[at];
        Token token;
        if (p == '*') {
            ++at;
            if (!glob.tokens_.empty() && glob.tokens_.back().kind == Token::Star) continue;
            token.kind = Token::Star;
        } else if (p == '?') {
            ++at;
            token.kind = Token::Any;
        } else if (p == '[') {
            ++at;
            token.kind = Token::Set;
            if (at < pattern.size() && (pattern[at] == '!' || pattern[at] == '^')) {
                token.negated = true;
                ++at;
            }
            // A ']' first in the set is one of its characters.
            for (bool first = true;; first = false) {
                if (at == pattern.size()) return bad();
                if (pattern[at] == ']' && !first) break;
                char32_t lo = 0, hi = 0;
                if (!next(lo)) return bad();
                hi = lo;
                if (at + 1 < pattern.size() && pattern[at] == '-' && pattern[at + 1] != ']') {
                    ++at;
                    if (!next(hi) || hi < lo) return bad();
                }
                token.ranges.emplace_back(lo, hi);
            }
            ++at;
        } else if (!next(token.ch)) {
            return bad();  // a '\' with nothing after it
        }
        glob.tokens_.push_back(std::move(token));
    }
    const auto& t = glob.tokens_;
    if (t.size() > 1 && t[0].kind == Token::Star &&
        std::all_of(t.begin() + 1, t.end(), [](const Token& k) { return k.kind == Token::Literal && k.ch < 0x80; })) {
        glob.suffix_.emplace();
        for (auto k = t.begin() + 1; k != t.end(); ++k) *glob.suffix_ += static_cast<char>(k->ch);
    }
    return glob;
}

bool NameGlob::tokenMatches(const Token& token, char32_t c) const {
    if (c == kUnknownChar) return true;
    switch (token.kind) {
        case Token::Literal: return token.ch == c;
        case Token::Any: return true;
        case Token::Set: {
            const bool in = std::any_of(token.ranges.begin(), token.ranges.end(),
                                        [&](const auto& r) { return c >= r.first && c <= r.second; });
            return in != token.negated;
        }
        case Token::Star: break;
    }
    return false;
}

bool NameGlob::matches(std::string_view name, bool unknownFirst) const {
    if (suffix_ && !unknownFirst) {
        // ASCII bytes start no other character, so the end compares byte by byte.
        if (name.size() < suffix_->size()) return false;
        const std::string_view end = name.substr(name.size() - suffix_->size());
        return std::equal(end.begin(), end.end(), suffix_->begin(),
                          [](char a, char b) { return folded(static_cast<unsigned char>(a)) == static_cast<unsigned char>(b); });
    }
    // Greedy with one step back to the last '*': time bounded by pattern times name, whatever
    // either holds.
    std::size_t t = 0, at = 0;
    std::size_t starToken = SIZE_MAX, starAt = 0;
    auto charHere = [&](std::size_t pos) {
        auto [c, len] = charAt(name, pos);
        return std::pair{pos == 0 && unknownFirst ? kUnknownChar : folded(c), len};
    };
    while (at < name.size()) {
        if (t < tokens_.size() && tokens_[t].kind == Token::Star) {
            starToken = t++;
            starAt = at;
            continue;
        }
        const auto [c, len] = charHere(at);
        if (t < tokens_.size() && tokenMatches(tokens_[t], c)) {
            ++t;
            at += len;
        } else if (starToken != SIZE_MAX) {
            t = starToken + 1;
            starAt += charHere(starAt).second;
            at = starAt;
        } else {
            return false;
        }
    }
    while (t < tokens_.size() && tokens_[t].kind == Token::Star) ++t;
    return t == tokens_.size();
}

std::optional<SizeBound> parseSizeBound(std::string_view text, std::string& error) {
    auto bad = [&] {
        error = formatMessage(msg::kFilterBadSize, std::string(text));
        return std::nullopt;
    };
    std::string_view digits = text;
    const char sign = !digits.empty() && (digits[0] == '+' || digits[0] == '-') ? digits[0] : 0;
    if (sign) digits.remove_prefix(1);
    std::uint64_t unit = 1;
    if (!digits.empty()) {
        switch (digits.back()) {
            case 'c': unit = 1; break;
            case 'k': case 'K': unit = 1ull << 10; break;
            case 'M': case 'm': unit = 1ull << 20; break;
            case 'G': case 'g': unit = 1ull << 30; break;
            case 'T': case 't': unit = 1ull << 40; break;
            default: unit = 0;
        }
        if (unit) digits.remove_suffix(1);
        unit = std::max<std::uint64_t>(unit, 1);
    }
    if (digits.empty()) return bad();
    std::uint64_t n = 0;
    for (char c : digits) {
        const auto d = static_cast<std::uint64_t>(c - '0');
        if (c < '0' || c > '9' || n > (UINT64_MAX - d) / 10) return bad();
        n = n * 10 + d;
    }
    if (n > UINT64_MAX / unit) return bad();
    n *= unit;
    SizeBound bound;
    if (sign != '-') bound.min = n;
    if (sign != '+') bound.max = n;
    return bound;
}

std::optional<std::int64_t> parseFilterDate(std::string_view text, std::string& error) {
    auto bad = [&] {
        error = formatMessage(msg::kFilterBadDate, std::string(text));
        return std::nullopt;
    };
    if ((text.size() != 10 && text.size() != 16) || text[4] != '-' || text[7] != '-') return bad();
    const int year = digitsAt(text, 0, 4), month = digitsAt(text, 5, 2), day = digitsAt(text, 8, 2);
    int hour = 0, minute = 0;
    if (text.size() == 16) {
        if ((text[10] != 'T' && text[10] != ' ') || text[13] != ':') return bad();
        hour = digitsAt(text, 11, 2);
        minute = digitsAt(text, 14, 2);
    }
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 0 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 || minute > 59) return bad();
    if (day > kDays[month - 1] + (month == 2 && isLeap(year))) return bad();
    return dateKey(year, month, day, hour, minute, 0);
}

std::optional<std::int64_t> filterDateOf(const FileItem& item) {
    const auto c = civilFromDos(item.date, item.time);
    if (!c) return std::nullopt;
    return dateKey(c->year, c->month, c->day, c->hour, c->minute, c->second);
}

void ItemFilter::narrowSize(const SizeBound& bound) {
    size.min = std::max(size.min, bound.min);
    size.max = std::min(size.max, bound.max);
}

bool ItemFilter::check(std::string& error) const {
    if (size.min > size.max) error = messageText(msg::kFilterSizesExclude);
    else if (newer && older && *newer >= *older) error = messageText(msg::kFilterDatesExclude);
    else return true;
    return false;
}

bool ItemFilter::matches(const FileItem& item, unsigned itemStates, const FatTable* fat) const {
    const bool dir = item.isDirectory();
    if (directories && *directories != dir) return false;
    if (states && !(states & itemStates)) return false;
    const bool sized = size.min != 0 || size.max != UINT64_MAX;
    if (dir && (sized || intactOnly)) return false;
    if (item.size < size.min || item.size > size.max) return false;
    if (newer || older) {
        const auto date = filterDateOf(item);
        if (!date || (newer && *date < *newer) || (older && *date >= *older)) return false;
    }
    if (!names.empty()) {
        // A deleted FAT entry shows a '#' where its name began: before a long name that is whole,
        // or in place of a short name's first character, which is gone.
        const bool hashed = item.deleted && item.isDeletedName();
        const std::string_view name = item.name;
        const bool any = std::any_of(names.begin(), names.end(), [&](const NameGlob& glob) {
            return glob.matches(name) ||
                   (hashed && (item.shortName.empty() ? glob.matches(name, true) : glob.matches(name.substr(1))));
        });
        if (!any) return false;
    }
    if (intactOnly && fat) {
        const FatVerdict verdict = fatVerdict(*fat, item);
        if (verdict != VERDICT_FITS && verdict != VERDICT_DELETED_FREE_RUN) return false;
    }
    return true;
}

}  // namespace harrow
