// The tray application's main window (dialog 200): the device list with its
// header band and footer, the notification icon and its menu, the timers
// that watch the core, and the ways the core service is started or
// installed. Created modeless by the tray mode; closing only hides it.
#pragma once
#include <windows.h>

#include <array>
#include <cstdint>
#include <string>

#include "tray/device_list_box.h"
#include "tray/gdi_objects.h"
#include "ui/dialog_base.h"
#include "ui/modern_button.h"

namespace qs {

class MainDlg : public DialogBase {
public:
    static constexpr int kTemplateId = 200;
    static constexpr int kHeaderBand = 1060;
    static constexpr int kAddDevice = 1010;
    static constexpr int kRefresh = 1018;
    static constexpr int kPrintJobs = 1015;
    static constexpr int kSettings = 1016;
    static constexpr int kBleSetup = 1019;
    static constexpr int kColumnBand = 1061;
    static constexpr int kFirstColumnHeader = 1063;  // .. 1069
    static constexpr int kList = 1001;
    static constexpr int kEmptyTitle = 1070;
    static constexpr int kEmptyHint = 1071;
    static constexpr int kEmptyAction = 1072;
    static constexpr int kFooter = 1002;
    static constexpr int kHidden = 1062;

    static constexpr int kTrayMenu = 3000;
    static constexpr int kMenuShow = 3001;
    static constexpr int kMenuExit = 3002;
    static constexpr int kMenuService = 3003;
    static constexpr int kMenuJobs = 3004;
    static constexpr int kMenuCheckUpdates = 3011;
    static constexpr int kRowMenu = 3005;
    static constexpr int kRowMenuBind = 3006;
    static constexpr int kRowMenuTestPage = 3007;
    static constexpr int kRowMenuCheck = 3008;
    static constexpr int kRowMenuDelete = 3010;

    static constexpr UINT kTrayIconId = 1;

    MainDlg() = default;
    ~MainDlg() override;

    // Creates the window from dialog 200 of instance (hidden); the window
    // owns the object. nullptr when the dialog cannot be made.
    static HWND Create(HINSTANCE instance);
    static MainDlg* FromWindow(HWND window);

    void RefreshDevices();
    void ApplyTexts();
    void UpdateEmptyState();
    void Relayout();
    void ShowNotice(const std::wstring& text);
    void InstallCoreService();
    // Ends tray mode: the pending installer (when asked), the icon, the
    // window, then the message loop.
    void Exit(bool runPendingInstaller);

    bool connected() const { return connected_; }
    bool stateKnown() const { return stateKnown_; }
    bool installLaunched() const { return installLaunched_; }
    const std::wstring& notice() const { return notice_; }
    int64_t lastJobTipId() const { return lastJobTipId_; }
    bool trayIconAdded() const { return trayIconAdded_; }
    const std::wstring& countText() const { return countText_; }
    int contextRow() const { return contextRow_; }
    const DeviceListBox& list() const { return list_; }
    HWND controlWindow() const { return controlWindow_; }

    // Where the notice lifetime reads the tick count; nullptr restores
    // GetTickCount. Tests cross the 49-day wrap with it.
    using TickSource = DWORD (*)();
    static void SetTickSource(TickSource source);
    // Firings of the service wait without a core since it was last found.
    static int serviceWaitCount();

protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnInitDialog() override;

private:
    void OnCommand(int id);
    void OnTimer(UINT_PTR id);
    void OnTrayIcon(LPARAM mouseMessage);
    void OnDeviceAction(WPARAM index, LPARAM action);
    void RunRowCommand(int id);
    void PollJobTip();
    void ShowFromTray();
    void HideWindow();
    void AddTrayIcon();
    void RemoveTrayIcon();
    void SetTrayTip();
    void CreateTitleFont();
    void CreateControlWindow();
    void ShowFaces(bool haveRows);
    void TrackMenu(HMENU popup);
    INT_PTR StaticColor(HDC dc, HWND control);
    void PaintHeaderBand(const DRAWITEMSTRUCT& item);
    void PaintColumnBand(const DRAWITEMSTRUCT& item);
    void PaintFooter(const DRAWITEMSTRUCT& item);
    int S(int x) const;
    bool FooterWanted() const { return !notice_.empty() || (stateKnown_ && !connected_); }

    bool connected_ = false;
    bool stateKnown_ = false;
    bool installLaunched_ = false;
    std::wstring notice_;
    DWORD noticeTick_ = 0;
    int64_t lastJobTipId_ = -1;
    bool trayIconAdded_ = false;
    std::wstring countText_;
    int contextRow_ = -1;

    HICON icon_ = nullptr;  // shared resource icon, never destroyed
    UniqueBrush pageBrush_;
    UniqueBrush bandBrush_;
    UniqueFont titleFont_;
    DeviceListBox list_;
    std::array<ModernButton, 6> buttons_;  // 1010 1018 1015 1016 1019 1072
    HWND controlWindow_ = nullptr;
    UINT taskbarCreated_ = 0;
};

// The notification icon's menu (resource 3000) with its texts for the
// connection state, and the row menu (3005). The caller destroys the menu;
// the items are in its first popup.
HMENU LoadTrayMenu(HINSTANCE instance, bool connected);
HMENU LoadRowMenu(HINSTANCE instance);

}  // namespace qs
