#include <gtest/gtest.h>

#include <array>

#include "common/text.h"
#include "fatfs/dir_entry.h"

namespace harrow {
namespace {

using Entry = std::array<std::uint8_t, 32>;

Entry shortEntry(const char* name11, std::uint8_t attr) {
    Entry e{};
    for (int i = 0; i < 11; ++i) e[i] = static_cast<std::uint8_t>(name11[i]);
    e[11] = attr;
    return e;
}

// Long-name piece `ordinal` carrying up to 13 characters of `text`, for the short name of
// checksum `sum`.
Entry lfn(std::uint8_t ordinal, std::u16string_view text, std::uint8_t sum = 0) {
    static constexpr std::size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    Entry e{};
    e[0] = ordinal;
    e[11] = 0x0F;
    e[13] = sum;
    for (std::size_t i = 0; i < 13; ++i) {
        char16_t u = i < text.size() ? text[i] : i == text.size() ? u'\0' : u'\xFFFF';
        storeLe<std::uint16_t>(MutableBytes(e), kOffsets[i], u);
    }
    return e;
}

TEST(DirEntry, Classify) {
    struct Case {
        std::uint8_t first, attr;
        EntryClass want;
    } cases[] = {
        {0, 0x20, EntryClass::End},        {'A', 0x18, EntryClass::End},       {'A', 0x0F, EntryClass::LongName},
        {'A', 0x08, EntryClass::VolumeLabel}, {'A', 0x28, EntryClass::VolumeLabel}, {'A', 0x10, EntryClass::Directory},
        {'A', 0x20, EntryClass::File},     {0xE5, 0x10, EntryClass::Directory}, {'A', 0x00, EntryClass::File},
    };
    for (const auto& c : cases) {
        Entry e{};
        e[0] = c.first;
        e[11] = c.attr;
        EXPECT_EQ(classify(e), c.want) << int(c.first) << " " << int(c.attr);
    }
}

TEST(DirEntry, ShortNames) {
    setOemCodePage("CP437");
    struct Case {
        const char* raw;
        const char* shown;
        std::uint8_t ntCase = 0;  // byte 12: 0x08 lower-case base, 0x10 lower-case extension
    } cases[] = {
        {"\xE5" "EPORT  TXT", "#EPORT.TXT"},
        {"LOW     TXT", "low.txt", 0x18},
        {"LOW     TXT", "low.TXT", 0x08},
        {"LOW     TXT", "LOW.txt", 0x10},
        {"\xE5" "OW     TXT", "#ow.txt", 0x18},
        {"R\x82SUM\x82  TXT", "r\xC3\xA9sum\xC3\xA9.TXT", 0x08},  // only A-Z change case
        {"FOO        ", "FOO"},
        {"FOO     TX ", "FOO.TX"},
        {"A       B  ", "A.B"},
        {"FOO\0    TXT", "FOO.TXT"},
        {"\x05" "BC     TXT", "\xCF\x83" "BC.TXT"},  // 0x05 stands for 0xE5, sigma in CP437
        {"R\x82SUM\x82  TXT", "R\xC3\xA9SUM\xC3\xA9.TXT"},
    };
    for (const auto& c : cases) {
        Entry e = shortEntry(c.raw, 0x20);
        e[12] = c.ntCase;
        EXPECT_EQ(shortName(e), c.shown) << c.shown;
    }
    EXPECT_TRUE(isDotEntry(shortEntry(".          ", 0x10)));
    EXPECT_TRUE(isDotDotEntry(shortEntry("..         ", 0x10)));
    EXPECT_FALSE(isDotEntry(shortEntry("..         ", 0x10)));
    EXPECT_FALSE(isDotDotEntry(shortEntry(".. \0       ", 0x10)));
    setOemCodePage("");
}

const Entry kLiveShort = shortEntry("LONGNA~1TXT", 0x20);

std::optional<std::string> assemble(const std::vector<Entry>& pieces, const Entry& shortOne = kLiveShort) {
    LongNameAssembler a;
    for (const auto& p : pieces) a.feed(p);
    return a.take(shortOne);
}

TEST(DirEntry, LongNamesAssembleOnlyFromCompleteRuns) {
    std::u16string name = u"A long file name over three.txt";  // 31 characters: 3 pieces
    auto piece = [&](int n) { return std::u16string_view(name).substr((n - 1) * 13, 13); };
    EXPECT_EQ(assemble({lfn(0x43, piece(3)), lfn(0x02, piece(2)), lfn(0x01, piece(1))}), "A long file name over three.txt");
    EXPECT_EQ(assemble({lfn(0x43, piece(3)), lfn(0x05, piece(2)), lfn(0x01, piece(1))}), std::nullopt);
    EXPECT_EQ(assemble({lfn(0x43, piece(3)), lfn(0x02, piece(2))}), std::nullopt);  // incomplete
    EXPECT_EQ(assemble({lfn(0x03, piece(3)), lfn(0x02, piece(2)), lfn(0x01, piece(1))}), std::nullopt);  // no last flag
    EXPECT_EQ(assemble({lfn(0x55, u"x")}), std::nullopt);  // more than twenty pieces are ignored
    EXPECT_EQ(assemble({lfn(0xE5, u"gone"), lfn(0x01, u"x")}), std::nullopt);  // deleted pieces never open a run
    EXPECT_EQ(assemble({lfn(0x41, u"short.txt")}), "short.txt");
    EXPECT_EQ(assemble({lfn(0x41, u"exactly13char")}), "exactly13char");
    // A broken run is followed by a good one.
    EXPECT_EQ(assemble({lfn(0x42, u"junk"), lfn(0x41, u"ok")}), std::nullopt);
    LongNameAssembler a;
    a.feed(lfn(0x41, u"first"));
    EXPECT_EQ(a.take(kLiveShort), "first");
    EXPECT_EQ(a.take(kLiveShort), std::nullopt);  // the run closes after every short entry
    a.feed(lfn(0x41, u"second"));
    EXPECT_EQ(a.take(kLiveShort), "second");
}

std::vector<Entry> piecesOf(std::u16string_view name, int count) {
    std::vector<Entry> pieces;
    for (int n = count; n >= 1; --n) {
        std::u16string_view piece = name.size() > std::size_t(n - 1) * 13 ? name.substr((n - 1) * 13, 13) : u"";
        pieces.push_back(lfn(static_cast<std::uint8_t>(n == count ? 0x40 | n : n), piece));
    }
    return pieces;
}

TEST(DirEntry, LongNamesOfUpToTwentyPiecesAreKeptWhole) {
    // 117 characters of 3 bytes each: 351 bytes of UTF-8, all kept.
    std::u16string wide(117, u'\u65e5');
    auto got = assemble(piecesOf(wide, 9));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->size(), 351u);
    EXPECT_TRUE(isValidUtf8(*got));
    // 255 characters, the most a name has, take twenty pieces.
    std::u16string longest(251, u'n');
    longest += u".txt";
    EXPECT_EQ(assemble(piecesOf(longest, 20)), std::string(251, 'n') + ".txt");
    // Twenty full pieces hold 260 characters without an end: a name keeps 255.
    EXPECT_EQ(assemble(piecesOf(std::u16string(260, u'z'), 20)), std::string(255, 'z'));
}

std::uint8_t checksum(const char* name11) {
    std::uint8_t s = 0;
    for (int i = 0; i < 11; ++i) s = static_cast<std::uint8_t>(((s & 1) << 7) + (s >> 1) + std::uint8_t(name11[i]));
    return s;
}

TEST(DirEntry, DeletedLongNamesComeFromThePiecesRightBeforeTheirEntry) {
    const Entry gone = shortEntry("\xE5" "HORTL~1TXT", 0x20);
    const std::uint8_t sum = checksum("SHORTL~1TXT");
    const Entry far = lfn(0xE5, u"t", sum), near = lfn(0xE5, u"Short long.tx", sum);
    const Entry wiped = shortEntry("\xE5" "IPED   TXT", 0x20);  // another entry written over it
    const std::uint8_t cjk = checksum("___~1   TXT");
    struct Case {
        const char* what;
        std::vector<Entry> pieces;
        Entry entry;
        std::optional<std::string> want;
    } cases[] = {
        {"deleted pieces", {far, near}, gone, "#Short long.txt"},
        {"pieces left in use", {lfn(0x42, u"t", sum), lfn(0x01, u"Short long.tx", sum)}, gone, "#Short long.txt"},
        {"checksum of another name", {far, near}, wiped, std::nullopt},
        {"far piece of another name", {lfn(0xE5, u"t", sum ^ 1), near}, gone, "#Short long.tx"},
        {"piece out of place", {lfn(0x01, u"t", sum), lfn(0x42, u"Short long.tx", sum)}, gone, std::nullopt},
        {"no long-name type", {[&] { Entry e = near; e[26] = 7; return e; }()}, gone, std::nullopt},
        {"first byte a code page made", {lfn(0xE5, u"\u65e5\u672c\u8a9e.txt", cjk)}, shortEntry("\xE5" "__~1   TXT", 0x20),
         "#\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt"},
        {"live entry after deleted pieces", {far, near}, shortEntry("SHORTL~1TXT", 0x20), std::nullopt},
        {"no pieces", {}, gone, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(assemble(c.pieces, c.entry), c.want) << c.what;
    // Twenty-one pieces: the nearest twenty are kept, and a name keeps 255 characters.
    std::vector<Entry> many(21, lfn(0xE5, u"zzzzzzzzzzzzz", checksum("ZZZZZZ~1   ")));
    EXPECT_EQ(assemble(many, shortEntry("\xE5" "ZZZZZ~1   ", 0x20)), "#" + std::string(255, 'z'));
}

}  // namespace
}  // namespace harrow
