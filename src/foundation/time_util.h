// Wall-clock time as epoch milliseconds and local time stamps.
#pragma once
#include <cstdint>
#include <string>

namespace qs {

int64_t NowEpochMs();
std::string LocalTimestamp();   // 2024-05-23T14:03:09
std::string LocalDate();        // 2024-05-23
std::string LocalTimeOfDay();   // 14:03:09.517

// A local calendar time as the system clock shows it; the unit of the
// logger's clock, so its date logic can be driven by a fixed time.
struct LocalDateTime {
    int year = 1970;
    int month = 1;        // 1..12
    int day = 1;          // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

LocalDateTime LocalNow();
// The same wall-clock time whole days later (earlier when days < 0), by the
// proleptic Gregorian calendar.
LocalDateTime AddDays(const LocalDateTime& t, int days);
std::string FormatTimestamp(const LocalDateTime& t);   // %04d-%02d-%02dT%02d:%02d:%02d
std::string FormatDate(const LocalDateTime& t);        // %04d-%02d-%02d
std::string FormatTimeOfDay(const LocalDateTime& t);   // %02d:%02d:%02d.%03d

}  // namespace qs
