// The base of the tray's dialogs: page-coloured background and static
// texts, grey hint texts, and every push button replaced by a ModernButton
// owned by the dialog.
#pragma once
#include <windows.h>

#include <memory>
#include <vector>

#include "ui/dialog_base.h"
#include "ui/modern_button.h"

namespace qs {

class ThemedDlg : public DialogBase {
public:
    ThemedDlg() = default;
    ~ThemedDlg() override;

    // The buttons that were made modern, in child order.
    const std::vector<std::unique_ptr<ModernButton>>& buttons() const { return buttons_; }
    ModernButton* ButtonById(int id) const;
    HBRUSH pageBrush() const { return pageBrush_; }

protected:
    // Derived dialogs call this for the messages they do not handle.
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void ApplyTheme();
    INT_PTR ControlColor(HDC dc, HWND control);
    void ReleaseTheme();

    HBRUSH pageBrush_ = nullptr;
    std::vector<std::unique_ptr<ModernButton>> buttons_;
};

}  // namespace qs
