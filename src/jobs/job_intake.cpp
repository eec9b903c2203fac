#include <cinttypes>

#include "foundation/files.h"
#include "foundation/logger.h"
#include "foundation/text.h"
#include "foundation/time_util.h"
#include "jobs/job_engine.h"

namespace qs {

JobEngine::JobEngine(const JobEngineDeps& deps)
    : store_(*deps.store),
      cloud_(deps.cloud),
      discovery_(deps.discovery),
      nowMs_(deps.nowMs),
      delivery_(deps.delivery),
      stop_(deps.stop),
      leaseRenewMs_(deps.leaseRenewMs > 0 ? deps.leaseRenewMs : 20000) {}

int64_t JobEngine::NowMs() const { return nowMs_ ? nowMs_() : NowEpochMs(); }

std::string JobEngine::MakeContentKey(const std::wstring& path, const std::string& sn,
                                      int32_t source) {
    const int64_t size = FileSize(path);
    std::string content;
    // Larger files are keyed by size, device and source alone, so that
    // keying never holds a big job in memory.
    if (size >= 0 && size <= kContentKeyMaxRead && !ReadFileBytes(path, content)) content.clear();
    std::string material = Format("%" PRId64 "|", size) + sn + Format("|%d|", source);
    material += content;
    return Md5Hex(material);
}

int64_t JobEngine::EnqueueJob(const std::string& sn, const std::wstring& path, int32_t source,
                              const std::string& idem) {
    JobRecord job;
    job.sn = sn;
    job.path = WideToUtf8(path);
    job.source = source;
    job.state = kJobPending;
    job.idem = idem.empty() ? MakeContentKey(path, sn, source) : idem;
    job.expires_at = NowMs() + kJobRetentionMs;

    const int64_t id = store_.InsertJob(job);
    if (id == 0) {
        LogError("作业入队失败 sn=" + sn);
        return 0;
    }
    LogInfo(Format("作业入队 id=%" PRId64, id) + " sn=" + sn + " idem=" + job.idem.substr(0, 12));

    if (store_.LoadSettings().msg) {
        std::string time = LocalTimestamp();
        const size_t t = time.find('T');
        if (t != std::string::npos) time[t] = ' ';
        std::lock_guard<std::mutex> lock(tipMutex_);
        tip_.id = id;
        tip_.time = std::move(time);
    }
    return id;
}

JobTip JobEngine::ReadJobTip() const {
    std::lock_guard<std::mutex> lock(tipMutex_);
    return tip_;
}

}  // namespace qs
