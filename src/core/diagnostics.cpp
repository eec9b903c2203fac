// The support report: system facts, every device with its queue's health,
// and the recent log, in a fresh folder per request.
#include "core/core.h"
#include "core/diagnostics.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "printers/printer_ports.h"

#include "foundation/data_paths.h"
#include "foundation/files.h"
#include "foundation/ids.h"
#include "foundation/logger.h"
#include "foundation/system_info.h"
#include "foundation/text.h"
#include "foundation/time_util.h"

namespace qs {
namespace {

// SYSTEM and Administrators keep full control; local users may read and
// list, inherited by the report written afterwards. The service's data root
// is admins-only and this folder is the one thing in it meant for the user,
// who opens the report by its full path (traversal of the parents needs no
// right of its own on Windows).
constexpr wchar_t kReportSddl[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

bool OpenToUsers(const std::wstring& folder) {
    OwnedSecurityDescriptor sd = ReportFolderDescriptor();
    if (!sd) return false;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted) || !present || !dacl)
        return false;
    std::wstring path = folder;
    return SetNamedSecurityInfoW(&path[0], SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

}  // namespace

OwnedSecurityDescriptor ReportFolderDescriptor() {
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kReportSddl, SDDL_REVISION_1, &raw,
                                                              nullptr))
        return OwnedSecurityDescriptor();
    return OwnedSecurityDescriptor(raw);
}

std::string Core::BuildDiagnostics() {
    const std::wstring folder = PathJoin(DataDir(), Utf8ToWide("diag_" + NewId()));
    MakeDirs(folder);
    if (serviceMode_ && !OpenToUsers(folder))
        LogWarn("诊断包目录权限设置失败：" + WideToUtf8(folder));

    std::string text = "# Quillstone 诊断报告 " + LocalTimestamp() + "\n";
    text += "OS: " + WideToUtf8(OsVersionText()) + "\n";
    text += std::string("Elevated: ") + (Elevated() ? "yes" : "no") + "\n\n";

    for (const DeviceRecord& d : SnapshotDevices()) {
        text += "- device sn=" + d.sn + " port=" + std::to_string(d.port) +
                " printer=" + d.printer_driver + " state=" + d.network + "\n";
        if (d.printer_driver.empty()) continue;
        HealthReport health =
            CheckPrinter(Utf8ToWide(d.printer_driver), MakePortName(d.port), d.port);
        for (const HealthIssue& issue : health.issues)
            text += "    ! " + issue.code + " " + issue.message + "\n";
    }

    text += "\n--- 最近日志 ---\n";
    for (const std::string& line : Logger::Instance().RecentLines(200)) text += line;

    const std::wstring report = PathJoin(folder, L"report.txt");
    WriteFileText(report, text);
    const std::string path = WideToUtf8(report);
    LogInfo("诊断包已生成：" + path);
    return path;
}

}  // namespace qs
