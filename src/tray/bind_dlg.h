// The bind dialog (template 202): the printer queues the core reports, one
// of which becomes the device's printer.
#pragma once
#include <windows.h>

#include <string>

#include "ui/themed_dlg.h"

namespace qs {

class BindDlg : public ThemedDlg {
public:
    static constexpr int kTemplateId = 202;
    static constexpr int kLabel = 1023;
    static constexpr int kPrinterCombo = 1030;
    static constexpr int kHint = 1026;

    explicit BindDlg(std::string sn) : sn_(std::move(sn)) {}

    // IDOK once a printer was chosen, IDCANCEL otherwise.
    INT_PTR Run(HWND owner);

    const std::string& sn() const { return sn_; }
    // The chosen queue, UTF-8; set when the dialog closed with OK.
    const std::string& printer() const { return printer_; }

protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnInitDialog() override;

private:
    void FillPrinters();
    void OnOk();

    std::string sn_;
    std::string printer_;
};

}  // namespace qs
