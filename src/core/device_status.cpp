// Reachability of every bound device: found on the LAN, online through the
// cloud, or offline. Kept in the runtime fields of the device list only.
#include <windows.h>

#include <map>

#include "core/core.h"

namespace qs {
namespace {

constexpr int kLanRetryRounds = 8;
constexpr int kLanRetryStepMs = 100;

bool IsOfflineWord(const std::string& state) { return state == "offline" || state == "离线"; }

void MarkLan(DeviceRecord& d, const std::string& ip) {
    d.network = "Lan";
    d.lanIp = ip;
    if (d.status < 0) d.status = 0;
}

}  // namespace

void Core::RefreshDeviceStatus() {
    discovery_.ProbeNow();
    std::map<std::string, DiscoveredDevice> table = discovery_.Snapshot();

    auto anyMissing = [&] {
        std::lock_guard<std::mutex> lock(devicesLock_);
        for (const DeviceRecord& d : devices_)
            if (!table.count(d.sn)) return true;
        return false;
    };
    for (int round = 0; round < kLanRetryRounds && anyMissing(); ++round) {
        Sleep(kLanRetryStepMs);
        table = discovery_.Snapshot();
    }

    // The cloud is asked without holding the device lock: an unreachable
    // server costs up to a request time-out per device, and print data, the
    // tray's list and device changes must not wait for all of them.
    std::map<std::string, DeviceStatus> cloud;
    for (const DeviceRecord& d : SnapshotDevices())
        if (!cloud.count(d.sn)) cloud[d.sn] = cloud_.GetDeviceStatus(d.sn);

    std::lock_guard<std::mutex> lock(devicesLock_);
    for (DeviceRecord& d : devices_) {
        auto queried = cloud.find(d.sn);
        // A device added after the snapshot is left for the next refresh.
        if (queried == cloud.end()) continue;
        const DeviceStatus& st = queried->second;
        if (st.ok) {
            d.type_name = st.typeName;
            if (st.status >= 0) d.status = st.status;
        }
        auto local = table.find(d.sn);
        if (local != table.end()) {
            MarkLan(d, local->second.ip);
        } else {
            d.lanIp.clear();
            if (st.ok && !IsOfflineWord(st.state)) {
                d.network = "在线";
                if (d.status < 0) d.status = 0;
            } else {
                d.network = "离线";
            }
        }
    }
}

void Core::OnDiscoveryChange() {
    std::map<std::string, DiscoveredDevice> table = discovery_.Snapshot();
    std::lock_guard<std::mutex> lock(devicesLock_);
    for (DeviceRecord& d : devices_) {
        auto local = table.find(d.sn);
        if (local != table.end()) MarkLan(d, local->second.ip);
    }
}

}  // namespace qs
