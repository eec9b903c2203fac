#include "foundation/logger.h"

#include <windows.h>
#include <atomic>
#include <deque>
#include <mutex>

#include "foundation/files.h"
#include "foundation/handles.h"
#include "foundation/text.h"

namespace qs {

namespace {

constexpr size_t kRecentMax = 300;
// A message longer than this is cut: text from a pipe client (a name of a
// megabyte) must not make one line as large as a log file.
constexpr size_t kMessageMax = 8192;

// The first max bytes of text, not cutting a UTF-8 sequence in two.
std::string CutUtf8(const std::string& text, size_t max) {
    if (text.size() <= max) return text;
    size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end) + "…(" + std::to_string(text.size()) + " 字节，已截断)";
}

const char* LevelName(int32_t level) {
    switch (level) {
        case kDebug: return "DBG";
        case kInfo: return "INF";
        case kWarn: return "WRN";
        case kError: return "ERR";
        default: return "???";
    }
}

}  // namespace

struct Logger::State {
    mutable std::mutex lock;
    // Read by Write before it takes the lock; a line racing a change of the
    // level may fall either side of it, which is harmless.
    std::atomic<int32_t> minLevel{kInfo};
    std::wstring dir;
    std::string currentDate;
    UniqueFile file;
    // 64 bits so that size + line length cannot wrap past the cap.
    uint64_t fileSize = 0;
    uint32_t maxFileSize = 4194304;
    // Every file of currentDate (the plain one and .1 to .9) is over the
    // cap: lines stay in memory only until the date changes.
    bool dayFull = false;
    int32_t keepDays = 14;
    std::deque<std::string> recent;
    bool opened = false;
    std::atomic<Clock> clock{nullptr};

    LocalDateTime Now() const {
        Clock c = clock.load();
        return c ? c() : LocalNow();
    }

    // Under the lock.
    void PurgeOldFiles() {
        std::string cutoff = FormatDate(AddDays(Now(), -keepDays));
        WIN32_FIND_DATAW fd;
        HANDLE find = FindFirstFileW(PathJoin(dir, L"*.log*").c_str(), &fd);
        if (find == INVALID_HANDLE_VALUE) return;
        do {
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            std::string name = WideToUtf8(fd.cFileName);
            if (name.size() < 10) continue;
            if (name.compare(0, 10, cutoff) < 0) DeleteFileW(PathJoin(dir, fd.cFileName).c_str());
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }

    // Under the lock: makes the file of today with room for n more bytes the
    // open one, when it can be opened.
    void EnsureFile(size_t n) {
        std::string today = FormatDate(Now());
        if (file && (today != currentDate || fileSize + n > maxFileSize)) file.reset();
        if (file) return;
        fileSize = 0;
        if (today != currentDate) dayFull = false;
        currentDate = today;
        if (dir.empty() || dayFull) return;
        std::wstring base = PathJoin(dir, Utf8ToWide(today + ".log"));
        std::wstring candidate;
        for (int i = 0; i <= 9 && candidate.empty(); ++i) {
            std::wstring name = i == 0 ? base : base + L"." + std::to_wstring(i);
            int64_t size = FileSize(name);
            if (size < 0 || static_cast<uint64_t>(size) <= maxFileSize) candidate = name;
        }
        if (candidate.empty()) {
            dayFull = true;
            return;
        }
        UniqueFile opened(CreateFileW(candidate.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!opened) return;
        LARGE_INTEGER size;
        LARGE_INTEGER zero{};
        if (!GetFileSizeEx(opened.get(), &size) || !SetFilePointerEx(opened.get(), zero, nullptr, FILE_END)) {
            return;
        }
        fileSize = static_cast<uint64_t>(size.QuadPart);
        file = std::move(opened);
    }
};

Logger::Logger() : state_(std::make_unique<State>()) {}
Logger::~Logger() = default;

Logger& Logger::Instance() {
    static Logger instance;
    return instance;
}

bool Logger::Open(const std::wstring& dir, int32_t minLevel, uint32_t maxFileSize, int32_t keepDays) {
    State& s = *state_;
    std::lock_guard<std::mutex> guard(s.lock);
    s.dir = dir;
    s.minLevel = minLevel;
    s.maxFileSize = maxFileSize;
    s.keepDays = keepDays;
    s.opened = true;
    if (!dir.empty()) {
        MakeDirs(dir);
        s.PurgeOldFiles();
    }
    return true;
}

void Logger::Write(int32_t level, const std::string& message) {
    State& s = *state_;
    if (level < s.minLevel.load()) return;
    std::string line = FormatTimeOfDay(s.Now());
    line += " [";
    line += LevelName(level);
    line += "] ";
    // One call, one line: a serial number or name from a pipe client that
    // carries a line break must not forge a line of its own.
    line += ReplaceControlChars(CutUtf8(message, kMessageMax));
    line += "\n";

    std::lock_guard<std::mutex> guard(s.lock);
    s.recent.push_back(line);
    while (s.recent.size() > kRecentMax) s.recent.pop_front();
    if (!s.opened) return;
    s.EnsureFile(line.size());
    if (!s.file) return;
    DWORD written = 0;
    if (WriteFile(s.file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
        s.fileSize += written;
    }
}

void Logger::Close() {
    State& s = *state_;
    std::lock_guard<std::mutex> guard(s.lock);
    s.file.reset();
    s.fileSize = 0;
}

std::vector<std::string> Logger::RecentLines(int32_t count) const {
    const State& s = *state_;
    std::lock_guard<std::mutex> guard(s.lock);
    size_t take = s.recent.size();
    if (count > 0 && static_cast<size_t>(count) < take) take = static_cast<size_t>(count);
    return std::vector<std::string>(s.recent.end() - static_cast<std::ptrdiff_t>(take), s.recent.end());
}

void Logger::SetClock(Clock clock) { state_->clock.store(clock); }

}  // namespace qs
