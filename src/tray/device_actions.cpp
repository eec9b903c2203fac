#include "tray/device_actions.h"


#include "foundation/text.h"
#include "tray/add_device_dlg.h"
#include "tray/bind_dlg.h"
#include "ui/core_request.h"
#include "ui/message_box.h"
#include "ui/ui_text.h"

namespace qs {

namespace {

constexpr uint32_t kRequestWaitMs = 3000;
// Adding asks the cloud to verify the code, which may take long.
constexpr uint32_t kAddWaitMs = 45000;

// The hourglass for as long as the UI thread is busy with one request; the
// thread pumps no messages meanwhile, so nothing else resets it.
class WaitCursor {
public:
    WaitCursor() : previous_(SetCursor(LoadCursorW(nullptr, IDC_WAIT))) {}
    ~WaitCursor() { SetCursor(previous_); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    HCURSOR previous_;
};

JsonPtr SnParams(const std::string& sn) {
    JsonPtr params(cJSON_CreateObject());
    cJSON_AddStringToObject(params.get(), "sn", sn.c_str());
    return params;
}

const cJSON* Data(const JsonPtr& reply) {
    return reply ? cJSON_GetObjectItemCaseSensitive(reply.get(), "data") : nullptr;
}

void ShowError(HWND owner, const std::string& error, TextId caption) {
    ShowMessageBox(owner, Utf8ToWide(error), Tr(caption), MB_OK | MB_ICONERROR);
}

std::wstring Line(TextId format, const std::string& arg) {
    return Utf8ToWide(Format(TrUtf8(format).c_str(), arg.c_str()));
}

}  // namespace

std::wstring IssueText(const cJSON* issue) {
    struct Fixed {
        const char* code;
        TextId text;
    };
    static const Fixed kFixed[] = {
        {"NO_DEVICE", TxtIssueNoDevice},       {"NO_PRINTER", TxtIssueNoPrinter},
        {"PRINTER_MISSING", TxtIssuePrinterMissing}, {"WORK_OFFLINE", TxtIssueWorkOffline},
        {"BIDI_ENABLED", TxtIssueBidi},        {"KEEP_PRINTED_JOBS", TxtIssueKeepPrinted},
        {"PAUSED", TxtIssuePaused},            {"PRINTER_ERROR", TxtIssuePrinterError},
        {"OFFLINE", TxtIssueQueueOffline},     {"PAPER_OUT", TxtIssuePaperOut},
    };
    const std::string code = JsonString(issue, "code");
    const std::string arg1 = JsonString(issue, "arg1");
    const std::string arg2 = JsonString(issue, "arg2");
    const std::string message = JsonString(issue, "message");

    for (const Fixed& f : kFixed) {
        if (code == f.code) return Tr(f.text);
    }
    if (!arg1.empty()) {
        if (code == "PRINTER_QUERY_FAIL") return Line(TxtIssueQueryFail, arg1);
        if (code == "PORT_MISSING") return Line(TxtIssuePortMissing, arg1);
        if (code == "PORT_MISMATCH") {
            return Utf8ToWide(
                Format(TrUtf8(TxtIssuePortMismatch).c_str(), arg1.c_str(), arg2.c_str()));
        }
    }
    return Utf8ToWide(message);
}

void ShowIssues(HWND parent, const std::wstring& caption, const std::wstring& headline,
                const cJSON* issues, bool quiet) {
    const bool hasElements = cJSON_IsArray(issues) && cJSON_GetArraySize(issues) > 0;
    bool allFixed = true;
    std::wstring body;
    if (hasElements) {
        const cJSON* issue = nullptr;
        cJSON_ArrayForEach(issue, issues) {
            const bool fixed = JsonFlag(issue, "fixed", false);
            allFixed = allFixed && fixed;
            if (quiet && fixed) continue;
            body += L"\n- " + IssueText(issue) + L"  " + Tr(fixed ? TxtFixed : TxtNotFixed);
        }
    }
    if (quiet && (!hasElements || allFixed)) return;

    std::wstring text;
    UINT icon = MB_ICONINFORMATION;
    if (hasElements) {
        text = Tr(allFixed ? TxtRepaired : TxtIssuesRemain) + body;
        if (!allFixed) icon = MB_ICONWARNING;
    } else {
        text = headline;
    }
    ShowMessageBox(parent, text, caption, MB_OK | icon);
}

std::wstring DeleteConfirmText(const DeviceRow& row) {
    return Tr(TxtDeleteConfirm) + L"\n\n" + row.name + L"  (" + row.sn + L")";
}

bool OnAddDevice(HWND owner) {
    AddDeviceDlg dialog;
    if (dialog.Run(owner) != IDOK) return false;

    JsonPtr params(cJSON_CreateObject());
    cJSON_AddStringToObject(params.get(), "sn", dialog.sn().c_str());
    cJSON_AddStringToObject(params.get(), "crc", dialog.code().c_str());
    cJSON_AddStringToObject(params.get(), "name", dialog.name().c_str());
    JsonPtr reply;
    {
        WaitCursor wait;
        reply = CoreRequest("add", std::move(params), kAddWaitMs);
    }
    const std::string error = ReplyError(reply.get());
    if (!error.empty()) {
        ShowError(owner, error, TxtAddFailed);
        return false;
    }
    return true;
}

bool OnBindDevice(HWND owner, const DeviceRow& row) {
    BindDlg dialog(row.snUtf8);
    if (dialog.Run(owner) != IDOK) return false;

    JsonPtr params = SnParams(row.snUtf8);
    cJSON_AddStringToObject(params.get(), "printer", dialog.printer().c_str());
    JsonPtr reply = CoreRequest("bind", std::move(params), kRequestWaitMs);
    const std::string error = ReplyError(reply.get());
    if (!error.empty()) {
        ShowError(owner, error, TxtBindTitle);
    } else {
        ShowIssues(owner, Tr(TxtBindTitle), Tr(TxtBound), Data(reply), true);
    }
    return true;
}

bool OnCheckDevice(HWND owner, const DeviceRow& row) {
    JsonPtr reply = CoreRequest("repair", SnParams(row.snUtf8), kRequestWaitMs);
    const std::string error = ReplyError(reply.get());
    if (!error.empty()) {
        ShowError(owner, error, TxtError);
        return false;
    }
    ShowIssues(owner, Tr(TxtCheck), Tr(TxtNoIssues), Data(reply), false);
    return true;
}

void OnTestDevice(HWND owner, const DeviceRow& row) {
    JsonPtr reply = CoreRequest("test", SnParams(row.snUtf8), kRequestWaitMs);
    const std::string error = ReplyError(reply.get());
    if (error.empty()) {
        ShowMessageBox(owner, Tr(TxtTestPageSent), Tr(TxtTestPage), MB_OK | MB_ICONINFORMATION);
    } else {
        ShowError(owner, error, TxtTestPage);
    }
}

bool OnDeleteDevice(HWND owner, const DeviceRow& row) {
    if (ShowMessageBox(owner, DeleteConfirmText(row), Tr(TxtDeleteTitle),
                       MB_YESNO | MB_ICONQUESTION) != IDYES) {
        return false;
    }
    JsonPtr reply = CoreRequest("remove", SnParams(row.snUtf8), kRequestWaitMs);
    const std::string error = ReplyError(reply.get());
    if (!error.empty()) ShowError(owner, error, TxtError);
    return true;
}

}  // namespace qs
