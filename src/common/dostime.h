// DOS dates and times (as FAT stores them, in local time) and NTFS FILETIMEs.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace harrow {

struct DosDateTime {
    std::uint16_t date = 0;
    std::uint16_t time = 0;
};

struct CivilTime {
    int year, month, day, hour, minute, second;
};

// Unpacks a DOS date and time; nothing when a field is out of range (month 0, 30 February,
// 24 hours, 60 seconds ...), the same dates the system conversion refuses.
std::optional<CivilTime> civilFromDos(std::uint16_t date, std::uint16_t time);

// "YYYY-MM-DD  HH:MM:SS" (two blanks, as the lists show it); empty when the date does not convert.
std::string formatDosDate(std::uint16_t date, std::uint16_t time);

// The DOS time taken as local time, as seconds since the epoch.
std::optional<std::time_t> unixFromDos(std::uint16_t date, std::uint16_t time);

// The DOS time taken as the time at `offsetMinutes` east of UTC (as exFAT records it), as seconds
// since the epoch.
std::optional<std::time_t> unixFromDosAt(std::uint16_t date, std::uint16_t time, int offsetMinutes);

// Local time of `t` as a DOS date and time; nothing outside 1980..2107.
std::optional<DosDateTime> dosFromUnix(std::time_t t);

// FILETIME: 100-nanosecond ticks since 1601-01-01 UTC.
std::optional<std::time_t> unixFromFiletime(std::uint64_t filetime);
std::optional<DosDateTime> dosFromFiletime(std::uint64_t filetime);

}  // namespace harrow
