// The process-wide levelled logger: the last 300 lines in memory and, once
// opened, daily files with a size cap and a retention period.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qs {

enum LogLevel : int32_t { kDebug = 0, kInfo = 1, kWarn = 2, kError = 3 };

class Logger {
public:
    static Logger& Instance();

    bool Open(const std::wstring& dir, int32_t minLevel = kInfo,
              uint32_t maxFileSize = 4194304, int32_t keepDays = 14);
    void Write(int32_t level, const std::string& message);
    void Close();
    std::vector<std::string> RecentLines(int32_t count) const;

    // TODO(foundation): test seam for the local date/time used by Write and
    // the purge, so day change and purge cutoff are testable without waiting.
};

inline void LogInfo(const std::string& m) { Logger::Instance().Write(kInfo, m); }
inline void LogWarn(const std::string& m) { Logger::Instance().Write(kWarn, m); }
inline void LogError(const std::string& m) { Logger::Instance().Write(kError, m); }
inline void LogDebug(const std::string& m) { Logger::Instance().Write(kDebug, m); }

}  // namespace qs
