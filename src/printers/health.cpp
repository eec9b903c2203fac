#include "printers/health.h"

#include "foundation/system_info.h"
#include "foundation/text.h"
#include "printers/print_system.h"
#include "printers/printer_ports.h"

namespace qs {
namespace {

constexpr int kRepairRounds = 2;

HealthIssue Issue(const char* code, std::string message, std::string arg1 = {},
                  std::string arg2 = {}) {
    return HealthIssue{code, std::move(message), false, std::move(arg1), std::move(arg2)};
}

bool HasCode(const std::vector<HealthIssue>& issues, const std::string& code) {
    for (const auto& i : issues) {
        if (i.code == code) return true;
    }
    return false;
}

}  // namespace

HealthIssue NoDeviceIssue() { return Issue(kIssueNoDevice, "设备不存在"); }

HealthReport CheckPrinter(const std::wstring& printer, const std::wstring& wantedPort, int) {
    HealthReport report;
    report.printer = WideToUtf8(printer);
    report.port = WideToUtf8(wantedPort);
    auto& issues = report.issues;

    if (printer.empty()) {
        issues.push_back(Issue(kIssueNoPrinter, "尚未绑定打印机"));
        return report;
    }
    if (!PrinterExists(printer)) {
        issues.push_back(Issue(kIssuePrinterMissing, "找不到这台打印机"));
        return report;
    }
    uint32_t error = 0;
    auto state = QueryPrinter(printer, &error);
    if (!state) {
        // Without a recorded reason the system's "OK" text would read as success.
        std::string text = error ? Win32ErrorText(error) : std::string();
        if (text.empty()) text = "无法读取打印机";
        issues.push_back(Issue(kIssuePrinterQueryFail, text, text));
        return report;
    }
    report.port = WideToUtf8(state->portName);

    const std::string wanted8 = WideToUtf8(wantedPort);
    if (!PortExists(wantedPort)) {
        issues.push_back(Issue(kIssuePortMissing, "端口 " + wanted8 + " 不存在", wanted8));
    } else if (state->portName != wantedPort) {
        issues.push_back(Issue(kIssuePortMismatch, "当前端口是 " + report.port + "，应为 " + wanted8,
                               report.port, wanted8));
    }

    struct Bit {
        uint32_t mask;
        const char* code;
        const char* message;
    };
    static const Bit kAttributes[] = {
        {kAttrWorkOffline, kIssueWorkOffline, "已勾选「脱机使用打印机」"},
        {kAttrEnableBidi, kIssueBidiEnabled, "已开启双向支持"},
        {kAttrKeepPrintedJobs, kIssueKeepPrintedJobs, "已勾选「保留打印的文档」"},
    };
    static const Bit kStatus[] = {
        {kStatusPaused, kIssuePaused, "打印机已暂停"},
        {kStatusError, kIssuePrinterError, "打印队列报错"},
        {kStatusOffline, kIssueOffline, "打印队列显示离线"},
        {kStatusPaperOut, kIssuePaperOut, "打印队列显示缺纸"},
    };
    for (const auto& b : kAttributes) {
        if (state->attributes & b.mask) issues.push_back(Issue(b.code, b.message));
    }
    for (const auto& b : kStatus) {
        if (state->status & b.mask) issues.push_back(Issue(b.code, b.message));
    }
    return report;
}

bool RepairIssue(const HealthIssue& issue, const std::wstring& printer,
                 const std::wstring& wantedPort, int port) {
    const std::string& code = issue.code;
    if (code == kIssuePortMissing) {
        if (!CreatePort(wantedPort, "127.0.0.1", port) || !PortExists(wantedPort)) return false;
        return AttachPort(printer, wantedPort);
    }
    if (code == kIssuePortMismatch) return AttachPort(printer, wantedPort);
    if (code == kIssueWorkOffline) return ClearPrinterAttribute(printer, kAttrWorkOffline);
    if (code == kIssueBidiEnabled) return ClearPrinterAttribute(printer, kAttrEnableBidi);
    if (code == kIssueKeepPrintedJobs) return ClearPrinterAttribute(printer, kAttrKeepPrintedJobs);
    if (code == kIssuePaused || code == kIssueOffline) return ResumePrinter(printer);
    return false;
}

HealthReport CheckAndRepair(const std::wstring& printer, const std::wstring& wantedPort, int port) {
    HealthReport result = CheckPrinter(printer, wantedPort, port);
    if (result.issues.empty()) return result;

    HealthReport working = result;
    for (int round = 0; round < kRepairRounds && !working.issues.empty(); ++round) {
        bool any = false;
        for (const auto& issue : working.issues) {
            if (RepairIssue(issue, printer, wantedPort, port)) any = true;
        }
        if (!any) break;
        working = CheckPrinter(printer, wantedPort, port);
    }

    for (auto& issue : result.issues) issue.fixed = !HasCode(working.issues, issue.code);
    for (const auto& issue : working.issues) {
        if (!HasCode(result.issues, issue.code)) {
            HealthIssue added = issue;
            added.fixed = false;
            result.issues.push_back(added);
        }
    }
    if (!working.port.empty()) result.port = working.port;
    return result;
}

}  // namespace qs
