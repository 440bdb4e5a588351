#include "common/dostime.h"

#include <cstdio>

namespace harrow {
namespace {

bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

constexpr std::int64_t kFiletimeTicksPerSecond = 10'000'000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600;

}  // namespace

std::optional<CivilTime> civilFromDos(std::uint16_t date, std::uint16_t time) {
    CivilTime c{1980 + (date >> 9), (date >> 5) & 0x0F, date & 0x1F,
                time >> 11, (time >> 5) & 0x3F, (time & 0x1F) * 2};
    if (c.month < 1 || c.month > 12) return std::nullopt;
    if (c.day < 1 || c.day > daysInMonth(c.year, c.month)) return std::nullopt;
    if (c.hour > 23 || c.minute > 59 || c.second > 59) return std::nullopt;
    return c;
}

std::string formatDosDate(std::uint16_t date, std::uint16_t time) {
    auto c = civilFromDos(date, time);
    if (!c) return {};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d  %02d:%02d:%02d", c->year, c->month, c->day,
                  c->hour, c->minute, c->second);
    return buf;
}

namespace {

// The broken-down time of a DOS date and time, for mktime or timegm.
std::tm tmOf(const CivilTime& c) {
    std::tm tm{};
    tm.tm_year = c.year - 1900;
    tm.tm_mon = c.month - 1;
    tm.tm_mday = c.day;
    tm.tm_hour = c.hour;
    tm.tm_min = c.minute;
    tm.tm_sec = c.second;
    tm.tm_isdst = -1;
    return tm;
}

}  // namespace

std::optional<std::time_t> unixFromDos(std::uint16_t date, std::uint16_t time) {
    auto c = civilFromDos(date, time);
    if (!c) return std::nullopt;
    std::tm tm = tmOf(*c);
    std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return std::nullopt;
    return t;
}

std::optional<std::time_t> unixFromDosAt(std::uint16_t date, std::uint16_t time, int offsetMinutes) {
    auto c = civilFromDos(date, time);
    if (!c) return std::nullopt;
    std::tm tm = tmOf(*c);
    return ::timegm(&tm) - static_cast<std::time_t>(offsetMinutes) * 60;
}

std::optional<DosDateTime> dosFromUnix(std::time_t t) {
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return std::nullopt;
    int year = tm.tm_year + 1900;
    if (year < 1980 || year > 2107) return std::nullopt;
    int sec = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second folds into the last DOS slot
    DosDateTime d;
    d.date = static_cast<std::uint16_t>(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
    d.time = static_cast<std::uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (sec / 2));
    return d;
}

std::optional<std::time_t> unixFromFiletime(std::uint64_t filetime) {
    std::int64_t seconds = static_cast<std::int64_t>(filetime / kFiletimeTicksPerSecond);
    return static_cast<std::time_t>(seconds - kSecondsFrom1601To1970);
}

std::optional<DosDateTime> dosFromFiletime(std::uint64_t filetime) {
    auto t = unixFromFiletime(filetime);
    if (!t) return std::nullopt;
    return dosFromUnix(*t);
}

}  // namespace harrow
