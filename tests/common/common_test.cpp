#include <gtest/gtest.h>

#include <cstring>

#include "common/bytes.h"
#include "common/dostime.h"
#include "common/strings.h"
#include "common/text.h"

namespace harrow {
namespace {

TEST(Bytes, LoadsAreLittleEndianAndNeverLeaveTheSpan) {
    const std::uint8_t raw[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    Bytes b(raw);
    EXPECT_EQ(le16(b, 0), 0x0201);
    EXPECT_EQ(le32(b, 4), 0x08070605u);
    EXPECT_EQ(le64(b, 0), 0x0807060504030201ull);
    // One byte short, or an offset that would wrap: zero, and no read outside.
    EXPECT_EQ(le16(b, 7), 0);
    EXPECT_EQ(le32(b, 5), 0u);
    EXPECT_EQ(le64(b, 1), 0u);
    EXPECT_EQ(le32(b, SIZE_MAX - 1), 0u);
    EXPECT_FALSE(tryLoadLe<std::uint16_t>(b, 7).has_value());
    EXPECT_FALSE(fits(8, 4, SIZE_MAX));
    EXPECT_TRUE(fits(8, 8, 0));
}

TEST(Text, Utf16BecomesUtf8AndIsCutOnlyAtCharacterBoundaries) {
    EXPECT_EQ(utf8FromUtf16(std::u16string_view(u"r\u00e9sum\u00e9.txt")), "r\xc3\xa9sum\xc3\xa9.txt");
    EXPECT_EQ(utf8FromUtf16(std::u16string_view(u"\U0001F600x")), "\xf0\x9f\x98\x80x");
    EXPECT_EQ(utf8FromUtf16(std::u16string_view(u"ab\0cd", 5)), "ab");
    // A lone surrogate is no character: it shows as U+FFFD instead of invalid UTF-8.
    std::u16string lone = {0xD800, u'a'};
    EXPECT_EQ(utf8FromUtf16(lone), "\xef\xbf\xbd" "a");

    // 100 CJK characters are 300 bytes of UTF-8: a list keeps them all; cut to 255 bytes the name
    // stops at 85 whole characters.
    std::u16string cjk(100, u'\u65e5');
    EXPECT_EQ(utf8FromUtf16(cjk).size(), 300u);
    std::string cut = utf8FromUtf16(cjk, kMaxNameBytes);
    EXPECT_EQ(cut.size(), 255u);
    EXPECT_TRUE(isValidUtf8(cut));
    std::u16string mixed = u"a" + cjk;  // 1 + 3k bytes: 254 fits, one more would not
    cut = utf8FromUtf16(mixed, kMaxNameBytes);
    EXPECT_EQ(cut.size(), 253u);
    EXPECT_TRUE(isValidUtf8(cut));
    std::u16string emoji;
    for (int i = 0; i < 70; ++i) emoji += u"\U0001F600";
    cut = utf8FromUtf16(emoji, kMaxNameBytes);
    EXPECT_EQ(cut.size(), 252u);
    EXPECT_TRUE(isValidUtf8(cut));
}

TEST(Text, ShortNameBytesDecodeThroughTheOemCodePage) {
    setOemCodePage("CP437");
    EXPECT_EQ(utf8FromOem("R\x82SUM\x82"), "R\xc3\xa9SUM\xc3\xa9");
    EXPECT_EQ(utf8FromOem("PLAIN"), "PLAIN");
    setOemCodePage("CP936");
    EXPECT_EQ(utf8FromOem("\xc8\xd5\xb1\xbe"), "\xe6\x97\xa5\xe6\x9c\xac");  // 日本
    // A lead byte without its trail byte is shown, not dropped.
    std::string broken = utf8FromOem("A\xc8");
    EXPECT_TRUE(isValidUtf8(broken));
    EXPECT_EQ(broken.substr(0, 1), "A");
    EXPECT_GT(broken.size(), 1u);
    setOemCodePage("");
}

TEST(DosTime, FormatsValidDatesAndRefusesImpossibleOnes) {
    // 2024-03-05 14:22:10 -> date (44<<9)|(3<<5)|5, time (14<<11)|(22<<5)|5
    std::uint16_t date = (44 << 9) | (3 << 5) | 5, time = (14 << 11) | (22 << 5) | 5;
    EXPECT_EQ(formatDosDate(date, time), "2024-03-05  14:22:10");
    struct Bad {
        std::uint16_t date, time;
    } bad[] = {
        {static_cast<std::uint16_t>((44 << 9) | (0 << 5) | 5), 0},   // month 0
        {static_cast<std::uint16_t>((44 << 9) | (13 << 5) | 5), 0},  // month 13
        {static_cast<std::uint16_t>((43 << 9) | (2 << 5) | 29), 0},  // 2023-02-29
        {static_cast<std::uint16_t>((44 << 9) | (4 << 5) | 31), 0},  // 31 April
        {static_cast<std::uint16_t>((44 << 9) | (1 << 5) | 0), 0},   // day 0
        {date, static_cast<std::uint16_t>(24 << 11)},                 // hour 24
        {date, static_cast<std::uint16_t>(60 << 5)},                  // minute 60
        {date, 30},                                                   // 60 seconds
    };
    for (const auto& b : bad) EXPECT_EQ(formatDosDate(b.date, b.time), "") << b.date << " " << b.time;
    EXPECT_EQ(formatDosDate((44 << 9) | (2 << 5) | 29, 0), "2024-02-29  00:00:00");
}

TEST(DosTime, LocalTimeRoundTripsAndFiletimeConverts) {
    setenv("TZ", "UTC", 1);
    tzset();
    std::uint16_t date = (44 << 9) | (3 << 5) | 5, time = (14 << 11) | (22 << 5) | 5;
    auto t = unixFromDos(date, time);
    ASSERT_TRUE(t);
    EXPECT_EQ(*t, 1709648530);
    auto back = dosFromUnix(*t);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->date, date);
    EXPECT_EQ(back->time, time);
    // 2024-03-05 14:22:10 UTC as FILETIME.
    std::uint64_t ft = (1709648530ull + 11644473600ull) * 10000000ull;
    auto d = dosFromFiletime(ft);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->date, date);
    EXPECT_FALSE(dosFromUnix(0));  // 1970 has no DOS date
}

TEST(Strings, EveryMessageHasBothLanguagesAndTheSameConversions) {
    for (const MessageEntry& m : allMessages()) {
        ASSERT_NE(m.zh, nullptr);
        ASSERT_NE(m.en, nullptr);
        EXPECT_TRUE(isValidUtf8(m.zh)) << m.id;
        if (m.id != msg::kDotEntryMismatch) {
            EXPECT_GT(std::strlen(m.zh), 0u) << m.id;
            EXPECT_GT(std::strlen(m.en), 0u) << m.id;
        }
    }
    EXPECT_STREQ(messageText(msg::kUnknownFormat, Lang::Zh), "未确认的文件格式 (您的文件系统可能被破坏)");
    EXPECT_STREQ(messageText(msg::kCannotOpenDriveAdmin, Lang::Zh), "无法打开驱动器\n您必须有管理员特权");
    EXPECT_STREQ(messageText(99999), "");
    setLanguage(Lang::Zh);
    EXPECT_EQ(formatMessage(msg::kCannotReadCluster, 1234ul), "无法读取簇 1234\n\n您要继续吗 ？\n");
    EXPECT_EQ(formatMessage(msg::kFatInvalid, 2), " FAT2 是无效的\n 选择另一个 FAT");
    setLanguage(Lang::En);
    EXPECT_NE(formatMessage(msg::kCannotReadCluster, 1234ul).find("1234"), std::string::npos);
    setLanguage(Lang::Zh);
}

TEST(Strings, LanguageFollowsTheEnvironment) {
    struct Case {
        const char *harrowLang, *lcAll, *lang;
        Lang want;
    } cases[] = {
        {nullptr, nullptr, "en_US.UTF-8", Lang::En},
        {nullptr, nullptr, "zh_CN.UTF-8", Lang::Zh},
        {nullptr, nullptr, "C", Lang::Zh},
        {nullptr, "C", "en_US.UTF-8", Lang::Zh},
        {"en", nullptr, "zh_CN.UTF-8", Lang::En},
        {"zh", nullptr, "en_GB.UTF-8", Lang::Zh},
        {nullptr, nullptr, nullptr, Lang::Zh},
    };
    for (const auto& c : cases) {
        auto put = [](const char* name, const char* v) { v ? setenv(name, v, 1) : unsetenv(name); };
        put("HARROW_LANG", c.harrowLang);
        put("LC_ALL", c.lcAll);
        put("LC_MESSAGES", nullptr);
        put("LANG", c.lang);
        EXPECT_EQ(languageFromEnvironment(), c.want) << (c.lang ? c.lang : "-");
    }
    setenv("HARROW_LANG", "zh", 1);
}

}  // namespace
}  // namespace harrow
