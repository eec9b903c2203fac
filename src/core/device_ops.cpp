// Adding, binding, repairing, test-printing and removing devices: keeps the
// device list, the table and the Windows ports and queues in step.
#include "core/core.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "printers/printer_ports.h"

#include <algorithm>

#include "foundation/data_paths.h"
#include "foundation/files.h"
#include "foundation/handles.h"
#include "foundation/ids.h"
#include "foundation/logger.h"
#include "foundation/system_info.h"
#include "foundation/text.h"
#include "foundation/time_util.h"

namespace qs {
namespace {

constexpr int32_t kFirstDevicePort = 39100;
constexpr int32_t kPortScanCount = 200;
constexpr int32_t kClockRangeBase = 40100;
constexpr int64_t kClockRangeSpan = 8000;
constexpr int kClockRangeTries = 50;

void InitSocketsOnce() {
    static const bool ready = [] {
        WSADATA wsa;
        return WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    }();
    (void)ready;
}

// Free when a loopback bind succeeds. The probe asks for exclusive use:
// with SO_REUSEADDR Windows lets a bind share a port that another socket
// (a listener of ours included) already holds, and the port would be
// handed out twice.
bool PortIsFree(int32_t port) {
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s.valid()) return true;
    BOOL one = TRUE;
    setsockopt(s.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
               sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
}

HealthReport SingleIssue(HealthIssue issue) {
    HealthReport r;
    r.issues.push_back(std::move(issue));
    return r;
}

}  // namespace

bool Core::Elevated() const { return options_.isElevated ? options_.isElevated() : IsElevated(); }

int32_t Core::FindFreePort(int32_t first, int32_t count) {
    InitSocketsOnce();
    for (int32_t p = std::max(first, kFirstDevicePort); p <= kFirstDevicePort + count - 1; ++p)
        if (PortIsFree(p)) return p;
    for (int i = 0; i < kClockRangeTries; ++i) {
        int32_t p = kClockRangeBase + static_cast<int32_t>(NowMs() % kClockRangeSpan) + i;
        if (PortIsFree(p)) return p;
    }
    return kFirstDevicePort;
}

CloudResult Core::AddDevice(const std::string& sn, const std::string& verifyCode,
                            const std::string& name, const std::string& media, int32_t widthMm,
                            int32_t heightMm) {
    CloudResult verified = cloud_.VerifyDevice(sn, verifyCode);
    if (verified.code != 0) return verified;

    {
        std::lock_guard<std::mutex> lock(devicesLock_);
        for (DeviceRecord& d : devices_) {
            if (d.sn != sn) continue;
            bool changed = false;
            if (!media.empty() && media != d.media) {
                d.media = media;
                changed = true;
            }
            if (widthMm > 0 && widthMm != d.paper_width_mm) {
                d.paper_width_mm = widthMm;
                changed = true;
            }
            if (heightMm > 0 && heightMm != d.paper_height_mm) {
                d.paper_height_mm = heightMm;
                changed = true;
            }
            if (changed) store_.UpsertDevice(d);
            return CloudResult();
        }

        int32_t highest = 0;
        for (const DeviceRecord& d : devices_) highest = std::max(highest, d.port);
        int32_t first = highest >= 1 ? highest + 1 : kFirstDevicePort;

        DeviceRecord record;
        record.sn = sn;
        record.port = FindFreePort(first, kPortScanCount);
        record.devname = name.empty() ? sn : name;
        record.crc = verifyCode;
        record.media = media.empty() ? std::string("receipt") : media;
        record.paper_width_mm = widthMm < 1 ? 0 : widthMm;
        record.paper_height_mm = heightMm < 1 ? 0 : heightMm;
        if (!store_.UpsertDevice(record)) {
            CloudResult failed;
            failed.code = -1;
            failed.message = "本地保存失败";
            return failed;
        }
        devices_.push_back(record);
        StartListener(record);
        LogInfo("已添加设备 sn=" + sn + " 端口=" + std::to_string(record.port));
    }
    RefreshDeviceStatus();
    return CloudResult();
}

HealthReport Core::BindPrinter(const std::string& sn, const std::string& printer,
                               std::string& error) {
    error.clear();
    DeviceRecord d = FindDevice(sn);
    if (d.sn.empty()) {
        error = "设备不存在";
        return HealthReport();
    }
    if (!Elevated()) {
        error = "当前进程权限不足，无法修改端口与打印机属性";
        return HealthReport();
    }
    const std::wstring printerW = Utf8ToWide(printer);
    if (!PrinterExists(printerW)) {
        error = "打印机队列不存在";
        return HealthReport();
    }
    const std::wstring wanted = MakePortName(d.port);

    if (!d.printer_driver.empty() && d.printer_driver != printer && !d.prev_port.empty()) {
        const std::wstring oldQueue = Utf8ToWide(d.printer_driver);
        if (PrinterExists(oldQueue)) AttachPort(oldQueue, Utf8ToWide(d.prev_port));
    }

    std::string prev = d.prev_port;
    const std::wstring current = GetPrinterPort(printerW);
    if (!current.empty() && current != wanted) prev = WideToUtf8(current);

    {
        std::lock_guard<std::mutex> lock(devicesLock_);
        for (DeviceRecord& entry : devices_) {
            if (entry.sn != sn) continue;
            entry.printer_driver = printer;
            entry.prev_port = prev;
            StartListener(entry);
        }
    }
    store_.UpdateDeviceBinding(sn, printer, prev);

    HealthReport report = CheckAndRepair(printerW, wanted, d.port);
    size_t open = 0;
    for (const HealthIssue& issue : report.issues)
        if (!issue.fixed) ++open;
    LogInfo("已绑定驱动 sn=" + sn + " printer=" + printer + " 体检 " +
            std::to_string(report.issues.size()) + " 项，仍未通过 " + std::to_string(open));
    return report;
}

HealthReport Core::RepairDevice(const std::string& sn) {
    DeviceRecord d = FindDevice(sn);
    if (d.sn.empty()) return SingleIssue(NoDeviceIssue());
    if (d.printer_driver.empty())
        return SingleIssue(HealthIssue{kIssueNoPrinter, "尚未绑定打印机", false, {}, {}});
    HealthReport report = CheckAndRepair(Utf8ToWide(d.printer_driver), MakePortName(d.port), d.port);
    LogInfo("体检修复 sn=" + sn + " 问题 " + std::to_string(report.issues.size()) + " 项");
    return report;
}

std::string Core::TestPage(const std::string& timestamp) {
    std::string page;
    page += "\x1B\x40";
    page += "\x1B\x61\x01";
    page += "\x1D\x21\x11";
    page += "Nerova Cloud Print\n";
    page += std::string("\x1D\x21\x00", 3);
    page += "PC Assistant Connectivity Test\n";
    page += timestamp;
    page += "\n\n\n";
    page += std::string("\x1D\x56\x42\x00", 4);
    return page;
}

bool Core::TestPrint(const std::string& sn) {
    const std::string page = TestPage(LocalTimestamp());
    const std::wstring path = PathJoin(DataDir(), Utf8ToWide("test_" + NewId() + ".bin"));
    if (!WriteFileBytes(path, page)) return false;
    int64_t id = jobs_.EnqueueJob(sn, path, 0, std::string());
    if (id == 0) return false;
    return jobs_.ProcessJob(id, false, SnapshotDevices());
}

bool Core::RemoveDevice(const std::string& sn) {
    DeviceRecord d;
    std::unique_ptr<PortListener> listener;
    {
        std::lock_guard<std::mutex> lock(devicesLock_);
        auto it = std::find_if(devices_.begin(), devices_.end(),
                               [&](const DeviceRecord& e) { return e.sn == sn; });
        if (it == devices_.end()) return false;
        d = *it;
        devices_.erase(it);
        auto entry = listeners_.find(d.port);
        if (entry != listeners_.end()) {
            listener = std::move(entry->second);
            listeners_.erase(entry);
        }
    }
    // A connection on this port may be waiting for devicesLock_ in
    // OnPrintData, and Stop waits for it: stop only after the lock is free.
    if (listener) {
        listener->Stop();
        listener.reset();
    }

    CloudResult forgot = cloud_.ForgetToken(sn);
    if (forgot.code != 0)
        LogWarn("云端解绑失败 sn=" + sn + " code=" + std::to_string(forgot.code));

    const std::wstring portName = MakePortName(d.port);
    if (!d.printer_driver.empty() && !d.prev_port.empty() && Utf8ToWide(d.prev_port) != portName) {
        const std::wstring queue = Utf8ToWide(d.printer_driver);
        if (PrinterExists(queue)) AttachPort(queue, Utf8ToWide(d.prev_port));
    }
    if (d.port > 0) DeletePort(portName);
    store_.DeleteDevice(sn);
    LogInfo("已移除设备 sn=" + sn);
    return true;
}

CloudResult Core::SubmitDocument(const std::wstring&) {
    CloudResult r;
    r.code = -200;
    r.message =
        "当前版本不支持直接打印 PDF/图片：服务器对热敏/标签只做原样下发，不渲染文档。"
        "请在应用中用打印机驱动打印，或等待服务器支持文档渲染。";
    return r;
}

}  // namespace qs
