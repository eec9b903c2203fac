// Wall-clock time as epoch milliseconds and local time stamps.
#pragma once
#include <cstdint>
#include <string>

namespace qs {

int64_t NowEpochMs();
std::string LocalTimestamp();   // 2024-05-23T14:03:09
std::string LocalDate();        // 2024-05-23
std::string LocalTimeOfDay();   // 14:03:09.517

}  // namespace qs
