// Hourly clean-up: the job history and old files of the data and spool folders.
#include <windows.h>

#include <cwchar>

#include "core/core.h"
#include "foundation/data_paths.h"
#include "foundation/files.h"
#include "foundation/logger.h"
#include "foundation/text.h"

namespace qs {
namespace {

constexpr int32_t kJobsKept = 200;
constexpr int64_t kDataMaxAgeMs = 259200000;   // 3 days
constexpr int64_t kSpoolMaxAgeMs = 86400000;   // 1 day

int64_t FileTimeToEpochMs(const FILETIME& ft) {
    ULARGE_INTEGER t;
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    return static_cast<int64_t>(t.QuadPart / 10000) - 11644473600000LL;
}

// Diagnostics reports are folders "diag_<id>" in the data folder.
bool IsReportFolder(const wchar_t* name) { return std::wcsncmp(name, L"diag_", 5) == 0; }

}  // namespace

void Core::RunCleanup() {
    int32_t pruned = store_.PruneJobs(kJobsKept);
    if (pruned > 0) LogInfo("清理历史作业 " + std::to_string(pruned) + " 条");
    SweepOldFiles(DataDir(), kDataMaxAgeMs);
    SweepOldFiles(SpoolDir(), kSpoolMaxAgeMs);
    LogDebug("磁盘清理完成");
}

int32_t Core::SweepOldFiles(const std::wstring& folder, int64_t maxAgeMs) {
    const int64_t nowMs = NowMs();
    int32_t count = 0;
    // A folder replaced by a junction would have us delete, as SYSTEM,
    // files somewhere else entirely.
    if (IsReparsePoint(folder)) {
        LogWarn("清理跳过重解析点：" + WideToUtf8(folder));
        return 0;
    }
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(PathJoin(folder, L"*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do {
        if (nowMs - FileTimeToEpochMs(fd.ftLastWriteTime) <= maxAgeMs) continue;
        const std::wstring path = PathJoin(folder, fd.cFileName);
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            LogWarn("清理跳过重解析点：" + WideToUtf8(path));
            continue;
        }
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // Other folders are not ours to sweep; old reports go whole.
            if (!IsReportFolder(fd.cFileName)) continue;
            RemoveTree(path);
        } else {
            RemovePath(path);
        }
        ++count;
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    return count;
}

}  // namespace qs
