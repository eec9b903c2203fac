// The settings dialog (template 204): multi-device printing, the new-job
// notice and the UI language as the core stores them, the autostart entry,
// the version line and a manual update check.
#pragma once
#include <windows.h>

#include <string>

#include "ui/themed_dlg.h"

namespace qs {

class SettingsDlg : public ThemedDlg {
public:
    static constexpr int kTemplateId = 204;
    static constexpr int kMultiPrint = 1050;
    static constexpr int kAutostart = 1051;
    static constexpr int kShowNotice = 1104;
    static constexpr int kLanguageLabel = 1057;
    static constexpr int kLanguage = 1053;
    static constexpr int kVersion = 1074;
    static constexpr int kCheckUpdates = 1103;

    // IDOK once the core took the settings.
    INT_PTR Run(HWND owner);

    // "zh-CN", "en-US" or "auto": what the core had, and after OK what it
    // was given; the caller switches the UI to it.
    const std::string& language() const { return language_; }

protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnInitDialog() override;

private:
    void OnOk();
    bool Checked(int id) const;

    std::string language_ = "auto";
};

// The language list's item for a saved code: 1 "zh-CN", 2 "en-US", 0
// (follow the system) for anything else; and the code an item saves.
int LanguageItemFor(const std::string& code);
std::string LanguageCodeFor(int item);

}  // namespace qs
