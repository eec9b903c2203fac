// The job engine: takes spool files in as stored jobs. The job table is its
// queue; the engine keeps no job state of its own besides the tip.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "store/config_store.h"

namespace qs {

// The latest job announced to the tray.
struct JobTip {
    int64_t id = 0;
    std::string time;  // 2024-05-23 14:03:09
};

// What the engine works with; the core owns each of these. Callers set the
// members they need by name, so members added later leave them unchanged.
struct JobEngineDeps {
    ConfigStore* store = nullptr;
    // Milliseconds since 1970 UTC; empty means the system clock.
    std::function<int64_t()> nowMs;
};

class JobEngine {
public:
    static constexpr int64_t kJobRetentionMs = 86400000;       // 24 h
    static constexpr int64_t kContentKeyMaxRead = 8388608;     // 8 MiB

    explicit JobEngine(const JobEngineDeps& deps);
    JobEngine(const JobEngine&) = delete;
    JobEngine& operator=(const JobEngine&) = delete;

    // Stores the spool file as a pending job; 0 when nothing was stored. An
    // empty key is replaced by the content key, so the same file for the
    // same device is one job.
    int64_t EnqueueJob(const std::string& sn, const std::wstring& path, int32_t source,
                       const std::string& idem);
    static std::string MakeContentKey(const std::wstring& path, const std::string& sn,
                                      int32_t source);
    JobTip ReadJobTip() const;

private:
    int64_t NowMs() const;

    ConfigStore& store_;
    std::function<int64_t()> nowMs_;

    mutable std::mutex tipMutex_;
    JobTip tip_;
};

}  // namespace qs
