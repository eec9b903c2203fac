// The process-wide levelled logger: the last 300 lines in memory and, once
// opened, daily files with a size cap and a retention period.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/time_util.h"

namespace qs {

enum LogLevel : int32_t { kDebug = 0, kInfo = 1, kWarn = 2, kError = 3 };

class Logger {
public:
    static Logger& Instance();

    // Creates dir with its parents and deletes log files older than keepDays.
    // A file already open stays in use until the next change of day or size.
    bool Open(const std::wstring& dir, int32_t minLevel = kInfo,
              uint32_t maxFileSize = 4194304, int32_t keepDays = 14);
    void Write(int32_t level, const std::string& message);
    void Close();
    // The last count lines (all when count <= 0), oldest first; each line
    // ends with "\n" exactly as written to the file.
    std::vector<std::string> RecentLines(int32_t count) const;

    // Source of the local time used for line stamps, file dates and the
    // purge cutoff; nullptr restores the system clock. Tests set a fixed time
    // to cross midnight or age files without waiting.
    using Clock = LocalDateTime (*)();
    void SetClock(Clock clock);

    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

private:
    Logger();
    struct State;
    std::unique_ptr<State> state_;
};

inline void LogInfo(const std::string& m) { Logger::Instance().Write(kInfo, m); }
inline void LogWarn(const std::string& m) { Logger::Instance().Write(kWarn, m); }
inline void LogError(const std::string& m) { Logger::Instance().Write(kError, m); }
inline void LogDebug(const std::string& m) { Logger::Instance().Write(kDebug, m); }

}  // namespace qs
