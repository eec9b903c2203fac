// Delivery of one job to one device: direct over the LAN first, the cloud
// print server when the device is not known locally or the direct send fails.
#include <string>

#include "cloud/cloud_client.h"
#include "foundation/fault_point.h"
#include "foundation/logger.h"
#include "foundation/text.h"
#include "jobs/job_engine.h"
#include "jobs/lan_discovery.h"
#include "jobs/lan_send.h"

namespace qs {
namespace {

LanSendLimits LimitsOf(const DeliveryOptions& options) {
    LanSendLimits limits;
    limits.connectMs = options.connect_ms;
    limits.stallMs = options.send_stall_ms;
    return limits;
}

}  // namespace

int32_t JobEngine::SendFileOverLan(const std::wstring& path, const std::string& ip,
                                   uint16_t port) const {
    return SendFileToDevice(path, ip, port, LimitsOf(delivery_));
}

int32_t JobEngine::SendBufferOverLan(const std::string& bytes, const std::string& ip,
                                     uint16_t port) const {
    return SendBytesToDevice(bytes, ip, port, LimitsOf(delivery_));
}

bool JobEngine::DeliverToDevice(const JobRecord& job, const std::string& sn, std::string& error) {
    error.clear();
    const std::wstring path = Utf8ToWide(job.path);

    std::string ip;
    if (discovery_ && discovery_->Lookup(sn, &ip)) {
        const int32_t r = SendFileOverLan(path, ip, delivery_.device_port);
        if (r == kLanSent) {
            // The device has every byte and closed its side; a crash here
            // is the one moment where a receipt may print twice.
            FaultPoint("lan-sent-unrecorded");
            store_.RecordJobTarget(job.id, job.lease_token, sn, kTargetDelivered, "");
            LogInfo("局域网直发成功 sn=" + sn + " ip=" + ip);
            return true;
        }
        if (r == kLanConnectTimeout) {
            LogDebug("局域网连接超时，转云端 sn=" + sn);
        } else {
            LogDebug("局域网直发失败，转云端 sn=" + sn);
        }
    }

    if (!cloud_) {
        // Only a mis-built engine gets here; record it rather than crash.
        error = "云端不可用";
        store_.RecordJobTarget(job.id, job.lease_token, sn, kTargetFailed, error);
        LogWarn("投递失败 sn=" + sn + " " + error);
        return false;
    }

    const CloudResult submitted = cloud_->UploadAndSubmit(path, sn, job.id);
    if (submitted.code != 0) {
        error = submitted.message.empty() ? "上传失败 code=" + std::to_string(submitted.code)
                                          : submitted.message;
        store_.RecordJobTarget(job.id, job.lease_token, sn, kTargetFailed, error);
        LogWarn("投递失败 sn=" + sn + " " + error);
        return false;
    }

    std::string status;
    if (!submitted.jobId.empty()) {
        const int32_t verdict =
            cloud_->WaitForJob(sn, submitted.jobId, delivery_.cloud_wait_ms, status, stop_);
        if (verdict == 1) {
            error = "服务端判定下发失败（status=" + status + "）";
            store_.RecordJobTarget(job.id, job.lease_token, sn, kTargetFailed, error);
            LogWarn("云端下发失败 sn=" + sn + " job=" + submitted.jobId + " " + error);
            return false;
        }
        if (verdict == 0) {
            store_.RecordJobTarget(job.id, job.lease_token, sn, kTargetDelivered, "");
            LogInfo("云端已下发 sn=" + sn + " job=" + submitted.jobId + " status=" + status);
            return true;
        }
    }

    // Accepted but unconfirmed counts as a failure for this device; the next
    // attempt submits again under the same job id.
    error = submitted.jobId.empty() ? "云端未返回作业号" : "云端已受理但未确认下发";
    if (!status.empty()) error += "（status=" + status + "）";
    store_.RecordJobTarget(job.id, job.lease_token, sn, kTargetFailed, error);
    LogWarn(error + " sn=" + sn);
    return false;
}

}  // namespace qs
