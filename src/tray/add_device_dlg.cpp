#include "tray/add_device_dlg.h"

#include "foundation/text.h"
#include "ui/message_box.h"
#include "ui/ui_text.h"

namespace qs {

std::wstring TrimBlanks(const std::wstring& text) {
    static const wchar_t kBlanks[] = L" \t\r\n\v\f\u3000";
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::wstring::npos) return std::wstring();
    const size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

std::wstring ItemText(HWND dialog, int id) {
    HWND item = GetDlgItem(dialog, id);
    if (!item) return std::wstring();
    const int length = GetWindowTextLengthW(item);
    if (length <= 0) return std::wstring();
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(item, text.data(), length + 1);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
}

INT_PTR AddDeviceDlg::Run(HWND owner) {
    return RunModal(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kTemplateId), owner);
}

BOOL AddDeviceDlg::OnInitDialog() {
    SetWindowTextW(hwnd(), Tr(TxtAddDeviceTitle).c_str());
    SetDlgItemTextW(hwnd(), kSnLabel, Tr(TxtAddSnLabel).c_str());
    SetDlgItemTextW(hwnd(), kCodeLabel, Tr(TxtAddCodeLabel).c_str());
    SetDlgItemTextW(hwnd(), kNameLabel, Tr(TxtAddNameLabel).c_str());
    SetDlgItemTextW(hwnd(), kHint, Tr(TxtAddHint).c_str());
    SetDlgItemTextW(hwnd(), IDOK, Tr(TxtOk).c_str());
    SetDlgItemTextW(hwnd(), IDCANCEL, Tr(TxtCancel).c_str());
    return TRUE;
}

void AddDeviceDlg::OnOk() {
    const std::wstring sn = TrimBlanks(ItemText(hwnd(), kSnEdit));
    const std::wstring code = TrimBlanks(ItemText(hwnd(), kCodeEdit));
    const std::wstring name = TrimBlanks(ItemText(hwnd(), kNameEdit));
    if (sn.empty() || code.empty()) {
        ShowMessageBox(hwnd(), Tr(TxtEnterSnAndCode), Tr(TxtNotice), MB_OK | MB_ICONWARNING);
        return;
    }
    sn_ = WideToUtf8(sn);
    code_ = WideToUtf8(code);
    name_ = WideToUtf8(name);
    Close(IDOK);
}

INT_PTR AddDeviceDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && LOWORD(wParam) == IDOK && HIWORD(wParam) == BN_CLICKED) {
        OnOk();
        return TRUE;
    }
    return ThemedDlg::HandleMessage(message, wParam, lParam);
}

}  // namespace qs
