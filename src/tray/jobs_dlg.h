// The jobs dialog (template 203): the core's recent jobs in a report list,
// with retry and cancel of the selected one.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <string>

#include "ui/themed_dlg.h"
#include "ui/ui_text.h"

namespace qs {

class JobsDlg : public ThemedDlg {
public:
    static constexpr int kTemplateId = 203;
    static constexpr int kList = 1001;
    static constexpr int kEmpty = 1073;
    static constexpr int kRetry = 1040;
    static constexpr int kCancelJob = 1041;
    static constexpr int kRefresh = 1018;

    JobsDlg() = default;
    ~JobsDlg() override;

    INT_PTR Run(HWND owner);

protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnInitDialog() override;

private:
    void SetUpList();
    void Fill();
    // The id in column 0 of the selected row, 0 without one.
    int64_t SelectedJobId() const;
    void SendForSelected(const char* cmd);
    void ReleaseImageList();

    HIMAGELIST rowHeight_ = nullptr;
};

// A job state as the list shows it; codes outside 0..4 are unknown.
TextId JobStateText(int state);

// Column 0's text read back as a job id: a signed 64-bit decimal, 0 when
// empty, not a whole number or out of range.
int64_t ParseJobId(const std::wstring& text);

}  // namespace qs
