// ItemFilter: which listed items a search keeps, by name, kind, state, size, date and what the
// FAT copies say of a file's clusters. The parsers read the forms a user types (a glob, "+10M",
// "2024-03-01T08:30") strictly: a form they refuse comes back with a message saying why, never
// as a filter that quietly keeps everything or nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fatfs/fat_table.h"
#include "items/file_item.h"

namespace harrow {

// What a search knows of an item beyond its entry; an item has one or more of these.
enum ItemState : unsigned {
    STATE_LIVE = 1,     // neither deleted nor found only by the scan
    STATE_DELETED = 2,  // its entry is deleted (FAT), its record not in use (NTFS), or a deleted directory holds it
    STATE_LOST = 4,     // only the scan's lists reach it: no directory of the root's tree shows it
    STATE_SAVED = 8,    // saved since the drive was opened
};

// A name pattern: '*' any run of characters, '?' one character, "[abc]", "[a-z]", "[!abc]" one
// of a set (or not), '\' takes the next character as it is. Letters match in either case (A-Z
// only: other scripts are compared as written).
class NameGlob {
public:
    static std::optional<NameGlob> parse(std::string_view pattern, std::string& error);
    // `unknownFirst`: the name's first character is gone, and stands for any character.
    bool matches(std::string_view name, bool unknownFirst = false) const;

private:
    struct Token {
        enum Kind : std::uint8_t { Literal, Any, Star, Set } kind = Literal;
        bool negated = false;
        char32_t ch = 0;                                  // Literal, folded
        std::vector<std::pair<char32_t, char32_t>> ranges;  // Set, folded
    };
    bool tokenMatches(const Token& token, char32_t c) const;
    std::vector<Token> tokens_;
    // The commonest pattern, "*.jpg": a '*' then ASCII letters only, matched as the name's end.
    std::optional<std::string> suffix_;
};

// A size bound as find(1) writes it: "+N" at least, "-N" at most, "N" exactly, N in bytes or
// with a unit c (bytes), k, M, G, T (powers of 1024).
struct SizeBound {
    std::uint64_t min = 0;
    std::uint64_t max = UINT64_MAX;
};
std::optional<SizeBound> parseSizeBound(std::string_view text, std::string& error);

// A moment as "YYYY-MM-DD" (its midnight) or "YYYY-MM-DDTHH:MM", in the items' own local time,
// as a number that orders as the moments do.
std::optional<std::int64_t> parseFilterDate(std::string_view text, std::string& error);
// The item's date as parseFilterDate numbers it (seconds included); nothing when its DOS date
// is no date a clock gave.
std::optional<std::int64_t> filterDateOf(const FileItem& item);

struct ItemFilter {
    std::vector<NameGlob> names;        // any of them; none: every name
    std::optional<bool> directories;    // only directories (true) or only files (false)
    unsigned states = 0;                // ItemState bits, any of them; 0: every state
    SizeBound size;                     // files only: a directory has no size to compare
    std::optional<std::int64_t> newer;  // at or after
    std::optional<std::int64_t> older;  // before
    bool intactOnly = false;            // files whose clusters every FAT copy, or the free space, holds

    // Several size bounds narrow one another; so do dates. False, with the message in `error`,
    // when the bounds leave nothing (at least 10M and at most 1k; newer than it is older).
    bool check(std::string& error) const;
    void narrowSize(const SizeBound& bound);

    // `states`: the item's ItemState bits. `fat`: the drive's FAT tables, for the verdict; none
    // on NTFS, where every file counts as intact.
    bool matches(const FileItem& item, unsigned states, const FatTable* fat) const;
};

}  // namespace harrow
