#include "foundation/time_util.h"

#include <windows.h>

#include "foundation/text.h"

namespace qs {

namespace {

// Milliseconds from 1601-01-01 (file time origin) to 1970-01-01.
constexpr int64_t kEpochOffsetMs = 11644473600000LL;

// Days since 1970-01-01 of a civil date, and back (Howard Hinnant's algorithms).
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

}  // namespace

int64_t NowEpochMs() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER v;
    v.LowPart = ft.dwLowDateTime;
    v.HighPart = ft.dwHighDateTime;
    return static_cast<int64_t>(v.QuadPart / 10000) - kEpochOffsetMs;
}

LocalDateTime LocalNow() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    LocalDateTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.millisecond = st.wMilliseconds;
    return t;
}

LocalDateTime AddDays(const LocalDateTime& t, int days) {
    LocalDateTime out = t;
    CivilFromDays(DaysFromCivil(t.year, t.month, t.day) + days, out.year, out.month, out.day);
    return out;
}

std::string FormatTimestamp(const LocalDateTime& t) {
    return Format("%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

std::string FormatDate(const LocalDateTime& t) {
    return Format("%04d-%02d-%02d", t.year, t.month, t.day);
}

std::string FormatTimeOfDay(const LocalDateTime& t) {
    return Format("%02d:%02d:%02d.%03d", t.hour, t.minute, t.second, t.millisecond);
}

std::string LocalTimestamp() { return FormatTimestamp(LocalNow()); }
std::string LocalDate() { return FormatDate(LocalNow()); }
std::string LocalTimeOfDay() { return FormatTimeOfDay(LocalNow()); }

}  // namespace qs
