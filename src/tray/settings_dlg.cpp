#include "tray/settings_dlg.h"

#include "foundation/system_info.h"
#include "foundation/text.h"
#include "tray/autostart.h"
#include "ui/core_request.h"
#include "ui/message_box.h"
#include "ui/ui_text.h"
#include "updater/updater.h"

namespace qs {

namespace {
constexpr uint32_t kRequestWaitMs = 3000;
}  // namespace

int LanguageItemFor(const std::string& code) {
    if (code == "zh-CN") return 1;
    if (code == "en-US") return 2;
    return 0;
}

std::string LanguageCodeFor(int item) {
    if (item == 1) return "zh-CN";
    if (item == 2) return "en-US";
    return "auto";
}

INT_PTR SettingsDlg::Run(HWND owner) {
    return RunModal(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kTemplateId), owner);
}

bool SettingsDlg::Checked(int id) const {
    return IsDlgButtonChecked(hwnd(), id) == BST_CHECKED;
}

BOOL SettingsDlg::OnInitDialog() {
    SetWindowTextW(hwnd(), Tr(TxtSettingsTitle).c_str());
    SetDlgItemTextW(hwnd(), kMultiPrint, Tr(TxtMultiPrint).c_str());
    SetDlgItemTextW(hwnd(), kAutostart, Tr(TxtAutostart).c_str());
    SetDlgItemTextW(hwnd(), kShowNotice, Tr(TxtShowJobNotice).c_str());
    SetDlgItemTextW(hwnd(), kLanguageLabel, Tr(TxtLanguageLabel).c_str());
    SetDlgItemTextW(hwnd(), kCheckUpdates, Tr(TxtCheckUpdates).c_str());
    SetDlgItemTextW(hwnd(), IDOK, Tr(TxtOk).c_str());
    SetDlgItemTextW(hwnd(), IDCANCEL, Tr(TxtCancel).c_str());

    HWND combo = Item(kLanguage);
    for (TextId item : {TxtLangFollowSystem, TxtLangChinese, TxtLangEnglish}) {
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Tr(item).c_str()));
    }
    const std::wstring version = AppVersion();
    if (!version.empty()) {
        SetDlgItemTextW(
            hwnd(), kVersion,
            Utf8ToWide(Format(TrUtf8(TxtVersionFmt).c_str(), WideToUtf8(version).c_str())).c_str());
    }

    JsonPtr reply = CoreRequest("config", nullptr, kRequestWaitMs);
    const cJSON* data = nullptr;
    if (ReplyError(reply.get()).empty()) {
        data = cJSON_GetObjectItemCaseSensitive(reply.get(), "data");
        if (!cJSON_IsObject(data)) data = nullptr;
    }
    const cJSON* language = data ? cJSON_GetObjectItemCaseSensitive(data, "language") : nullptr;
    language_ = cJSON_IsString(language) ? JsonString(data, "language") : "auto";
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(LanguageItemFor(language_)), 0);
    CheckDlgButton(hwnd(), kMultiPrint,
                   JsonFlag(data, "multiPrint", false) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(hwnd(), kShowNotice,
                   JsonFlag(data, "showMessage", false) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(hwnd(), kAutostart, AutostartEnabled() ? BST_CHECKED : BST_UNCHECKED);
    return TRUE;
}

void SettingsDlg::OnOk() {
    const LRESULT item = SendMessageW(Item(kLanguage), CB_GETCURSEL, 0, 0);
    const std::string language = LanguageCodeFor(static_cast<int>(item));

    JsonPtr params(cJSON_CreateObject());
    cJSON_AddBoolToObject(params.get(), "multiPrint", Checked(kMultiPrint));
    cJSON_AddBoolToObject(params.get(), "showMessage", Checked(kShowNotice));
    cJSON_AddStringToObject(params.get(), "language", language.c_str());
    JsonPtr reply = CoreRequest("setconfig", std::move(params), kRequestWaitMs);
    const std::string error = ReplyError(reply.get());
    if (!error.empty()) {
        // The dialog stays open and the autostart entry keeps what it had,
        // so the machine is left exactly as before.
        ShowMessageBox(hwnd(), Utf8ToWide(error), Tr(TxtError), MB_OK | MB_ICONERROR);
        return;
    }
    language_ = language;
    SetAutostart(Checked(kAutostart));
    Close(IDOK);
}

INT_PTR SettingsDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        switch (LOWORD(wParam)) {
            case IDOK:
                OnOk();
                return TRUE;
            case kCheckUpdates:
                // The results go to the main window, this dialog's owner.
                StartUpdateCheck(GetWindow(hwnd(), GW_OWNER), true);
                return TRUE;
            default:
                break;
        }
    }
    return ThemedDlg::HandleMessage(message, wParam, lParam);
}

}  // namespace qs
