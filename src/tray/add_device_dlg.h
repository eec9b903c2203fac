// The add-device dialog (template 201): serial number, verification code and
// an optional name, each trimmed; OK needs the first two.
#pragma once
#include <windows.h>

#include <string>

#include "ui/themed_dlg.h"

namespace qs {

class AddDeviceDlg : public ThemedDlg {
public:
    static constexpr int kTemplateId = 201;
    static constexpr int kSnLabel = 1023;
    static constexpr int kSnEdit = 1020;
    static constexpr int kCodeLabel = 1024;
    static constexpr int kCodeEdit = 1021;
    static constexpr int kNameLabel = 1025;
    static constexpr int kNameEdit = 1022;
    static constexpr int kHint = 1026;

    // IDOK when the user gave a serial number and a code, IDCANCEL otherwise.
    INT_PTR Run(HWND owner);

    // The trimmed texts, UTF-8, set when the dialog closed with OK.
    const std::string& sn() const { return sn_; }
    const std::string& code() const { return code_; }
    const std::string& name() const { return name_; }

protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnInitDialog() override;

private:
    void OnOk();

    std::string sn_;
    std::string code_;
    std::string name_;
};

// White space cut from both ends (ASCII blanks, tabs, line breaks and the
// ideographic space a Chinese input method types).
std::wstring TrimBlanks(const std::wstring& text);

// The text of a dialog's control, empty when it has none.
std::wstring ItemText(HWND dialog, int id);

}  // namespace qs
