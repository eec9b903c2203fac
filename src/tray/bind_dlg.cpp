#include "tray/bind_dlg.h"

#include "foundation/text.h"
#include "ui/core_request.h"
#include "ui/ui_text.h"

namespace qs {

namespace {
constexpr uint32_t kRequestWaitMs = 3000;
}  // namespace

INT_PTR BindDlg::Run(HWND owner) {
    return RunModal(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kTemplateId), owner);
}

BOOL BindDlg::OnInitDialog() {
    SetWindowTextW(hwnd(), Tr(TxtBindTitle).c_str());
    SetDlgItemTextW(hwnd(), kLabel, Tr(TxtBindPrinterLabel).c_str());
    SetDlgItemTextW(hwnd(), kHint, Tr(TxtBindHint).c_str());
    SetDlgItemTextW(hwnd(), IDOK, Tr(TxtOk).c_str());
    SetDlgItemTextW(hwnd(), IDCANCEL, Tr(TxtCancel).c_str());
    FillPrinters();
    return TRUE;
}

void BindDlg::FillPrinters() {
    HWND combo = Item(kPrinterCombo);
    JsonPtr reply = CoreRequest("printers", nullptr, kRequestWaitMs);
    const cJSON* data = reply ? cJSON_GetObjectItemCaseSensitive(reply.get(), "data") : nullptr;
    if (cJSON_IsArray(data)) {
        const cJSON* item = nullptr;
        cJSON_ArrayForEach(item, data) {
            if (!cJSON_IsString(item) || item->valuestring == nullptr) continue;
            SendMessageW(combo, CB_ADDSTRING, 0,
                         reinterpret_cast<LPARAM>(Utf8ToWide(item->valuestring).c_str()));
        }
    }
    if (SendMessageW(combo, CB_GETCOUNT, 0, 0) > 0) {
        SendMessageW(combo, CB_SETCURSEL, 0, 0);
        return;
    }
    const std::string error = ReplyError(reply.get());
    if (!error.empty()) SetDlgItemTextW(hwnd(), kHint, Utf8ToWide(error).c_str());
}

void BindDlg::OnOk() {
    HWND combo = Item(kPrinterCombo);
    std::wstring name;
    const LRESULT selected = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (selected != CB_ERR) {
        const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, selected, 0);
        if (length > 0) {
            name.assign(static_cast<size_t>(length) + 1, L'\0');
            const LRESULT got = SendMessageW(combo, CB_GETLBTEXT, selected,
                                             reinterpret_cast<LPARAM>(name.data()));
            name.resize(got > 0 ? static_cast<size_t>(got) : 0);
        }
    }
    // Nothing to bind: the user can only cancel.
    if (name.empty()) return;
    printer_ = WideToUtf8(name);
    Close(IDOK);
}

INT_PTR BindDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && LOWORD(wParam) == IDOK && HIWORD(wParam) == BN_CLICKED) {
        OnOk();
        return TRUE;
    }
    return ThemedDlg::HandleMessage(message, wParam, lParam);
}

}  // namespace qs
