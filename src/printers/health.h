// The health check of a device's printer queue ("体检") and its repair.
// Issue codes and texts travel unchanged over IPC.
#pragma once
#include <string>
#include <vector>

namespace qs {

struct HealthIssue {
    std::string code;
    std::string message;
    bool fixed = false;  // set by CheckAndRepair only
    std::string arg1;
    std::string arg2;
};

struct HealthReport {
    std::string printer;
    std::string port;  // the wanted port, then the queue's actual one
    std::vector<HealthIssue> issues;
};

// The codes, in the order the check raises them.
inline constexpr char kIssueNoDevice[] = "NO_DEVICE";
inline constexpr char kIssueNoPrinter[] = "NO_PRINTER";
inline constexpr char kIssuePrinterMissing[] = "PRINTER_MISSING";
inline constexpr char kIssuePrinterQueryFail[] = "PRINTER_QUERY_FAIL";
inline constexpr char kIssuePortMissing[] = "PORT_MISSING";
inline constexpr char kIssuePortMismatch[] = "PORT_MISMATCH";
inline constexpr char kIssueWorkOffline[] = "WORK_OFFLINE";
inline constexpr char kIssueBidiEnabled[] = "BIDI_ENABLED";
inline constexpr char kIssueKeepPrintedJobs[] = "KEEP_PRINTED_JOBS";
inline constexpr char kIssuePaused[] = "PAUSED";
inline constexpr char kIssuePrinterError[] = "PRINTER_ERROR";
inline constexpr char kIssueOffline[] = "OFFLINE";
inline constexpr char kIssuePaperOut[] = "PAPER_OUT";

// NO_DEVICE, raised by device operations for an unknown serial number.
HealthIssue NoDeviceIssue();

HealthReport CheckPrinter(const std::wstring& printer, const std::wstring& wantedPort, int port);
// Whether the repair action for the issue's code succeeded; false for codes
// without one.
bool RepairIssue(const HealthIssue& issue, const std::wstring& printer,
                 const std::wstring& wantedPort, int port);
// The first check's issues marked `fixed`, plus problems that appeared
// during the repair (unfixed); at most two repair rounds.
HealthReport CheckAndRepair(const std::wstring& printer, const std::wstring& wantedPort, int port);

}  // namespace qs
