#include "tray/main_dlg.h"

#include <shellapi.h>

#include <algorithm>
#include <cwchar>
#include <utility>
#include <vector>

#include "foundation/logger.h"
#include "foundation/system_info.h"
#include "foundation/text.h"
#include "tray/device_actions.h"
#include "tray/device_rows.h"
#include "tray/job_toast.h"
#include "tray/jobs_dlg.h"
#include "tray/main_layout.h"
#include "tray/settings_dlg.h"
#include "tray/tray_messages.h"
#include "tray/tray_service.h"
#include "ble/ble_dlg.h"
#include "updater/updater.h"
#include "ui/core_request.h"
#include "ui/message_box.h"
#include "ui/theme.h"
#include "ui/ui_text.h"

namespace qs {
namespace {

constexpr int kButtonIds[6] = {MainDlg::kAddDevice, MainDlg::kRefresh, MainDlg::kPrintJobs,
                               MainDlg::kSettings,  MainDlg::kBleSetup, MainDlg::kEmptyAction};
constexpr wchar_t kInstallParameters[] = L"/install /quiet";

MainDlg::TickSource g_tickSource = nullptr;
int g_serviceWaitCount = 0;

DWORD Now() { return g_tickSource ? g_tickSource() : GetTickCount(); }

HINSTANCE ModuleInstance() { return GetModuleHandleW(nullptr); }

std::wstring WindowText(HWND window) {
    int n = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(std::max(n, 0)) + 1, L'\0');
    n = GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<size_t>(std::max(n, 0)));
    return text;
}

// Width of a control's own text in its own font.
int TextWidthOf(HWND control) {
    if (!control) return 0;
    const std::wstring text = WindowText(control);
    HDC dc = GetDC(control);
    if (!dc) return 0;
    SIZE size{};
    {
        SelectScope font(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    }
    ReleaseDC(control, dc);
    return size.cx;
}

void SetVisible(HWND control, bool visible) {
    if (!control) return;
    // The style bit, not IsWindowVisible: the window itself may be hidden.
    const bool shown = (GetWindowLongPtrW(control, GWL_STYLE) & WS_VISIBLE) != 0;
    if (shown != visible) ShowWindow(control, visible ? SW_SHOWNA : SW_HIDE);
}

void Place(HWND control, const RECT& r) {
    if (!control) return;
    SetWindowPos(control, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void FillSolid(HDC dc, const RECT& r, COLORREF colour) {
    SetBkColor(dc, colour);
    ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &r, nullptr, 0, nullptr);
}

void SetMenuText(HMENU menu, UINT id, const std::wstring& text, bool grey = false) {
    ModifyMenuW(menu, id, MF_BYCOMMAND | MF_STRING | (grey ? MF_GRAYED : MF_ENABLED), id,
                text.c_str());
}

// The hidden window the installer closes; it reaches the main window
// through its user data.
}  // namespace

HMENU LoadTrayMenu(HINSTANCE instance, bool connected) {
    HMENU menu = LoadMenuW(instance, MAKEINTRESOURCEW(MainDlg::kTrayMenu));
    HMENU popup = menu ? GetSubMenu(menu, 0) : nullptr;
    if (!popup) {
        if (menu) DestroyMenu(menu);
        return nullptr;
    }
    SetMenuText(popup, MainDlg::kMenuShow, Tr(TxtShowWindow));
    SetMenuText(popup, MainDlg::kMenuService,
                connected ? Tr(TxtServiceRunning) : Tr(TxtInstallService), connected);
    SetMenuText(popup, MainDlg::kMenuJobs, Tr(TxtPrintJobs));
    SetMenuText(popup, MainDlg::kMenuCheckUpdates, Tr(TxtCheckUpdates));
    SetMenuText(popup, MainDlg::kMenuExit, Tr(TxtExit));
    return menu;
}

HMENU LoadRowMenu(HINSTANCE instance) {
    HMENU menu = LoadMenuW(instance, MAKEINTRESOURCEW(MainDlg::kRowMenu));
    HMENU popup = menu ? GetSubMenu(menu, 0) : nullptr;
    if (!popup) {
        if (menu) DestroyMenu(menu);
        return nullptr;
    }
    SetMenuText(popup, MainDlg::kRowMenuBind, Tr(TxtBindPrinter));
    SetMenuText(popup, MainDlg::kRowMenuTestPage, Tr(TxtTestPage));
    SetMenuText(popup, MainDlg::kRowMenuCheck, Tr(TxtCheck));
    SetMenuText(popup, MainDlg::kRowMenuDelete, Tr(TxtDelete));
    return menu;
}

MainDlg::~MainDlg() = default;

HWND MainDlg::Create(HINSTANCE instance) {
    return DialogBase::CreateOwned(std::make_unique<MainDlg>(), instance,
                                   MAKEINTRESOURCEW(kTemplateId), nullptr);
}

MainDlg* MainDlg::FromWindow(HWND window) {
    return dynamic_cast<MainDlg*>(DialogBase::FromWindow(window));
}

void MainDlg::SetTickSource(TickSource source) { g_tickSource = source; }
int MainDlg::serviceWaitCount() { return g_serviceWaitCount; }

int MainDlg::S(int x) const { return Scale(hwnd(), x); }

// --- Initialisation ------------------------------------------------------

BOOL MainDlg::OnInitDialog() {
    pageBrush_.reset(CreateSolidBrush(palette::kPage));
    bandBrush_.reset(CreateSolidBrush(palette::kHeaderBand));
    SetWindowLongPtrW(hwnd(), GWL_STYLE, GetWindowLongPtrW(hwnd(), GWL_STYLE) | WS_CLIPCHILDREN);
    for (int id : {kHeaderBand, kColumnBand}) {
        if (HWND band = Item(id)) {
            SetWindowLongPtrW(band, GWL_STYLE, GetWindowLongPtrW(band, GWL_STYLE) | WS_CLIPSIBLINGS);
        }
    }

    icon_ = LoadIconW(ModuleInstance(), MAKEINTRESOURCEW(101));
    if (icon_) SendMessageW(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));

    for (size_t i = 0; i < buttons_.size(); ++i) {
        const int id = kButtonIds[i];
        if (HWND button = Item(id)) buttons_[i].AttachAs(button, id == kAddDevice || id == kEmptyAction);
    }
    if (HWND hidden = Item(kHidden)) ShowWindow(hidden, SW_HIDE);
    CreateTitleFont();
    if (HWND list = Item(kList)) list_.Attach(list);

    ApplyTexts();
    Relayout();

    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
    AddTrayIcon();
    CreateControlWindow();

    SetTimer(hwnd(), TIMER_PROBE, kProbeIntervalMs, nullptr);
    SetTimer(hwnd(), TIMER_LIST, kListIntervalMs, nullptr);
    SetTimer(hwnd(), TIMER_UPDATE_CHECK, kUpdateCheckDelayMs, nullptr);

    // A first start without a reachable core goes straight on to the
    // service: started when installed, otherwise installed elevated.
    if (!connected_) {
        if (StartServiceForTray()) {
            ShowNotice(Tr(TxtInstallingService));
            SetTimer(hwnd(), TIMER_SERVICE_WAIT, kServiceWaitIntervalMs, nullptr);
        } else {
            InstallCoreService();
        }
    }
    return TRUE;
}

void MainDlg::CreateTitleFont() {
    UniqueFont font(CreateFontW(-S(18), 0, 0, 0, 600, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                DEFAULT_PITCH, L"Segoe UI"));
    // The title lets go of the old font before it is deleted.
    if (HWND title = Item(kEmptyTitle)) {
        SendMessageW(title, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
    }
    titleFont_ = std::move(font);
}

void MainDlg::CreateControlWindow() {
    // The installer closes this window to end the tray: Exit, with the
    // pending installer forgotten first.
    controlWindow_ = CreateInstallerCloseWindow(hwnd(), WM_COMMAND, kMenuExit, 0);
    if (!controlWindow_) {
        LogWarn(Format("托盘控制窗口创建失败：%s", Win32ErrorText(GetLastError()).c_str()));
    }
}

// --- Notification icon ---------------------------------------------------

void MainDlg::AddTrayIcon() {
    if (trayIconAdded_) return;
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = hwnd();
    data.uID = kTrayIconId;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = WM_TRAYICON;
    data.hIcon = icon_ ? icon_ : LoadIconW(nullptr, IDI_APPLICATION);
    wcsncpy(data.szTip, WindowTitle().c_str(), std::size(data.szTip) - 1);
    trayIconAdded_ = Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

void MainDlg::RemoveTrayIcon() {
    if (!trayIconAdded_) return;
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = hwnd();
    data.uID = kTrayIconId;
    Shell_NotifyIconW(NIM_DELETE, &data);
    trayIconAdded_ = false;
}

void MainDlg::SetTrayTip() {
    if (!trayIconAdded_) return;
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = hwnd();
    data.uID = kTrayIconId;
    data.uFlags = NIF_TIP;
    wcsncpy(data.szTip, WindowTitle().c_str(), std::size(data.szTip) - 1);
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

void MainDlg::TrackMenu(HMENU popup) {
    POINT cursor{};
    GetCursorPos(&cursor);
    SetForegroundWindow(hwnd());
    TrackPopupMenu(popup, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, hwnd(), nullptr);
    // Without this the menu stays up when the user clicks elsewhere.
    PostMessageW(hwnd(), WM_NULL, 0, 0);
}

void MainDlg::OnTrayIcon(LPARAM mouseMessage) {
    switch (static_cast<UINT>(mouseMessage)) {
        case WM_LBUTTONDBLCLK:
            ShowFromTray();
            break;
        case WM_RBUTTONUP: {
            HMENU menu = LoadTrayMenu(ModuleInstance(), connected_);
            if (!menu) break;
            TrackMenu(GetSubMenu(menu, 0));
            DestroyMenu(menu);
            break;
        }
        default:
            break;
    }
}

void MainDlg::ShowFromTray() {
    ShowWindow(hwnd(), SW_SHOW);
    SetForegroundWindow(hwnd());
    RefreshDevices();
}

void MainDlg::HideWindow() { ShowWindow(hwnd(), SW_HIDE); }

// --- Device list -----------------------------------------------------------

void MainDlg::RefreshDevices() {
    if (!list_.hwnd()) return;
    connected_ = ProbeUiCore(40);
    stateKnown_ = true;

    std::vector<DeviceRow> rows;
    if (connected_) {
        JsonPtr reply = CoreRequest("list", nullptr, 3000);
        rows = RowsFromListReply(reply.get());
    }
    rows = RowsToShow(std::move(rows), DemoRowsRequested());
    const int count = static_cast<int>(rows.size());
    list_.SetRows(std::move(rows));

    UpdateEmptyState();
    ShowFaces(count > 0);

    std::wstring text = FormatWide(Tr(TxtDeviceCount).c_str(), count);
    if (text != countText_) {
        countText_ = std::move(text);
        if (HWND band = Item(kHeaderBand)) InvalidateRect(band, nullptr, FALSE);
    }
    Relayout();
}

void MainDlg::UpdateEmptyState() {
    const bool installFace = stateKnown_ && !connected_;
    SetDlgItemTextW(hwnd(), kEmptyTitle, Tr(installFace ? TxtServiceNotRunning : TxtEmptyTitle).c_str());
    SetDlgItemTextW(hwnd(), kEmptyHint, Tr(installFace ? TxtServiceInstallHint : TxtEmptyHint).c_str());
    SetDlgItemTextW(hwnd(), kEmptyAction, Tr(installFace ? TxtInstallService : TxtAddDevice).c_str());
}

void MainDlg::ShowFaces(bool haveRows) {
    SetVisible(Item(kList), haveRows);
    SetVisible(Item(kColumnBand), haveRows);
    for (int id = kFirstColumnHeader; id < kFirstColumnHeader + 7; ++id) SetVisible(Item(id), haveRows);
    SetVisible(Item(kEmptyTitle), !haveRows);
    SetVisible(Item(kEmptyHint), !haveRows);
    SetVisible(Item(kEmptyAction), !haveRows);
}

void MainDlg::ApplyTexts() {
    SetDlgItemTextW(hwnd(), kAddDevice, Tr(TxtAddDevice).c_str());
    SetDlgItemTextW(hwnd(), kRefresh, Tr(TxtRefresh).c_str());
    SetDlgItemTextW(hwnd(), kPrintJobs, Tr(TxtPrintJobs).c_str());
    SetDlgItemTextW(hwnd(), kBleSetup, Tr(TxtBleSetup).c_str());
    SetDlgItemTextW(hwnd(), kSettings, Tr(TxtSettings).c_str());
    const TextId headers[7] = {TxtColName, TxtColSn,      TxtColNetwork, TxtColStatus,
                               TxtColPort, TxtColPrinter, TxtColActions};
    for (int i = 0; i < 7; ++i) SetDlgItemTextW(hwnd(), kFirstColumnHeader + i, Tr(headers[i]).c_str());
    SetWindowTextW(hwnd(), WindowTitle().c_str());

    list_.SetButtonLabels(Tr(TxtBindPrinter), Tr(TxtDelete));
    if (list_.hwnd()) InvalidateRect(list_.hwnd(), nullptr, TRUE);

    UpdateEmptyState();
    SetTrayTip();

    Relayout();
    RedrawWindow(hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    RefreshDevices();
}

void MainDlg::Relayout() {
    RECT client{};
    GetClientRect(hwnd(), &client);
    MainLayoutInput in;
    in.width = client.right - client.left;
    in.height = client.bottom - client.top;
    if (in.width <= 0 || in.height <= 0) return;
    in.dpi = DpiOf(hwnd());
    in.footer = FooterWanted();
    const int headerButtons[4] = {kAddDevice, kRefresh, kPrintJobs, kSettings};
    for (int i = 0; i < 4; ++i) in.buttonTextWidths[i] = TextWidthOf(Item(headerButtons[i]));
    in.bleTextWidth = TextWidthOf(Item(kBleSetup));
    in.emptyButtonTextWidth = TextWidthOf(Item(kEmptyAction));

    MainLayout l;
    if (!ComputeMainLayout(in, &l)) return;
    Place(Item(kHeaderBand), l.header);
    for (int i = 0; i < 4; ++i) Place(Item(headerButtons[i]), l.buttons[i]);
    Place(Item(kBleSetup), l.ble);
    Place(Item(kColumnBand), l.columnBand);
    Place(Item(kList), l.list);
    if (l.footerVisible) Place(Item(kFooter), l.footer);
    SetVisible(Item(kFooter), l.footerVisible);
    Place(Item(kEmptyTitle), l.emptyTitle);
    Place(Item(kEmptyHint), l.emptyHint);
    Place(Item(kEmptyAction), l.emptyButton);
    for (int i = 0; i < 7; ++i) Place(Item(kFirstColumnHeader + i), l.columnHeaders[i]);

    ShowFaces(!list_.rows().empty());
    for (int id : kButtonIds) {
        if (HWND b = Item(id)) InvalidateRect(b, nullptr, FALSE);
    }
    for (int id = kFirstColumnHeader; id < kFirstColumnHeader + 7; ++id) {
        if (HWND h = Item(id)) InvalidateRect(h, nullptr, TRUE);
    }
    for (int id : {kHeaderBand, kColumnBand, kFooter}) {
        if (HWND s = Item(id)) InvalidateRect(s, nullptr, FALSE);
    }
}

void MainDlg::ShowNotice(const std::wstring& text) {
    notice_ = text;
    noticeTick_ = Now();
    Relayout();
}

// --- Core service --------------------------------------------------------

void MainDlg::InstallCoreService() {
    if (StartServiceForTray()) {
        ShowNotice(Tr(TxtInstallingService));
        SetTimer(hwnd(), TIMER_SERVICE_WAIT, kServiceWaitIntervalMs, nullptr);
        return;
    }
    if (installLaunched_) return;
    installLaunched_ = true;
    const std::wstring exe = RunningExePathShort();
    if (exe.empty()) {
        installLaunched_ = false;
        return;
    }
    const DWORD error = LaunchElevated(exe, kInstallParameters);
    if (error != 0) {
        installLaunched_ = false;
        if (error != ERROR_CANCELLED) {
            LogWarn(Format("服务安装程序启动失败：%s", Win32ErrorText(error).c_str()));
            ShowMessageBox(hwnd(), Tr(TxtInstallFailed), Tr(TxtAppName), MB_OK | MB_ICONERROR);
        }
        return;
    }
    ShowNotice(Tr(TxtInstallingService));
    SetTimer(hwnd(), TIMER_SERVICE_WAIT, kServiceWaitIntervalMs, nullptr);
}

void MainDlg::Exit(bool runPendingInstaller) {
    if (runPendingInstaller) {
        RunPendingInstaller();
    }
    RemoveTrayIcon();
    DestroyWindow(hwnd());
    PostQuitMessage(0);
}

// --- Timers --------------------------------------------------------------

void MainDlg::OnTimer(UINT_PTR id) {
    switch (id) {
        case TIMER_PROBE: {
            if (!notice_.empty() && NoticeExpired(Now(), noticeTick_)) {
                notice_.clear();
                Relayout();
            }
            const bool probe = ProbeUiCore(40);
            switch (ProbeActionFor(stateKnown_, connected_, probe)) {
                case ProbeAction::kNone:
                    break;
                case ProbeAction::kRefresh:
                    connected_ = true;
                    stateKnown_ = true;
                    RefreshDevices();
                    break;
                case ProbeAction::kRestyle:
                    connected_ = probe;
                    stateKnown_ = true;
                    UpdateEmptyState();
                    Relayout();
                    if (list_.rows().empty()) Relayout();
                    break;
            }
            PollJobTip();
            break;
        }
        case TIMER_LIST:
            if (IsWindowVisible(hwnd())) RefreshDevices();
            break;
        case TIMER_SERVICE_WAIT:
            KillTimer(hwnd(), TIMER_SERVICE_WAIT);
            RefreshDevices();
            if (connected_) {
                g_serviceWaitCount = 0;
            } else if (++g_serviceWaitCount < kServiceWaitFirings) {
                SetTimer(hwnd(), TIMER_SERVICE_WAIT, kServiceWaitIntervalMs, nullptr);
            }
            break;
        case TIMER_UPDATE_CHECK:
            KillTimer(hwnd(), TIMER_UPDATE_CHECK);
            StartUpdateCheck(hwnd(), false);
            break;
        default:
            break;
    }
}

void MainDlg::PollJobTip() {
    if (!connected_) return;
    JsonPtr reply = CoreRequest("jobtip", nullptr, 3000);
    if (!ReplyError(reply.get()).empty()) return;
    const cJSON* data = cJSON_GetObjectItemCaseSensitive(reply.get(), "data");
    const int64_t id = JsonInt64(data, "id", 0);
    const JobTipStep step = NextJobTip(lastJobTipId_, id);
    lastJobTipId_ = step.lastId;
    if (!step.toast) return;
    const std::string text = Format(TrUtf8(TxtToastBody).c_str(), JsonString(data, "time").c_str());
    ShowJobToast(Utf8ToWide(text));
}

// --- Commands ------------------------------------------------------------

void MainDlg::OnCommand(int id) {
    switch (id) {
        case kAddDevice:
            if (OnAddDevice(hwnd())) RefreshDevices();
            break;
        case kRefresh:
            if (ProbeUiCore(40)) CoreRequest("refresh", nullptr, 3000);
            RefreshDevices();
            break;
        case kPrintJobs:
        case kMenuJobs: {
            JobsDlg jobs;
            jobs.Run(hwnd());
            RefreshDevices();
            break;
        }
        case kBleSetup:
            ShowBleDialog(hwnd());
            break;
        case kSettings: {
            SettingsDlg settings;
            if (settings.Run(hwnd()) == IDOK) {
                SetUiLanguage(settings.language());
                ApplyTexts();
                ShowNotice(Tr(TxtSaved));
            }
            break;
        }
        case kEmptyAction:
            if (!stateKnown_ || connected_) {
                if (OnAddDevice(hwnd())) RefreshDevices();
            } else {
                InstallCoreService();
            }
            break;
        case kMenuShow:
            ShowFromTray();
            break;
        case kMenuService:
            if (!connected_) InstallCoreService();
            break;
        case kMenuCheckUpdates:
            StartUpdateCheck(hwnd(), true);
            break;
        case kMenuExit:
            Exit(true);
            break;
        case kRowMenuBind:
        case kRowMenuTestPage:
        case kRowMenuCheck:
        case kRowMenuDelete:
            RunRowCommand(id);
            break;
        default:
            break;
    }
}

void MainDlg::OnDeviceAction(WPARAM index, LPARAM action) {
    const size_t count = list_.rows().size();
    if (index >= count) return;
    // The action's dialog refreshes the list: work on a copy of the row.
    const DeviceRow row = list_.rows()[index];
    switch (action) {
        case kDeviceActionBind:
            if (OnBindDevice(hwnd(), row)) RefreshDevices();
            break;
        case kDeviceActionDelete:
            if (OnDeleteDevice(hwnd(), row)) RefreshDevices();
            break;
        case kDeviceActionMenu: {
            contextRow_ = static_cast<int>(index);
            HMENU menu = LoadRowMenu(ModuleInstance());
            if (!menu) break;
            TrackMenu(GetSubMenu(menu, 0));
            DestroyMenu(menu);
            break;
        }
        default:
            break;
    }
}

void MainDlg::RunRowCommand(int id) {
    if (contextRow_ < 0 || static_cast<size_t>(contextRow_) >= list_.rows().size()) return;
    const DeviceRow row = list_.rows()[static_cast<size_t>(contextRow_)];
    bool refresh = false;
    switch (id) {
        case kRowMenuBind:
            refresh = OnBindDevice(hwnd(), row);
            break;
        case kRowMenuTestPage:
            OnTestDevice(hwnd(), row);
            break;
        case kRowMenuCheck:
            refresh = OnCheckDevice(hwnd(), row);
            break;
        case kRowMenuDelete:
            refresh = OnDeleteDevice(hwnd(), row);
            break;
        default:
            break;
    }
    if (refresh) RefreshDevices();
}

// --- Painting ------------------------------------------------------------

INT_PTR MainDlg::StaticColor(HDC dc, HWND control) {
    const int id = GetDlgCtrlID(control);
    SetBkMode(dc, TRANSPARENT);
    if (id >= kFirstColumnHeader && id < kFirstColumnHeader + 7) {
        SetTextColor(dc, palette::kTextSecondary);
        SetBkColor(dc, palette::kHeaderBand);
        return reinterpret_cast<INT_PTR>(bandBrush_.get());
    }
    SetTextColor(dc, id == kHidden || id == kEmptyHint ? palette::kTextSecondary : palette::kTextPrimary);
    SetBkColor(dc, palette::kPage);
    return reinterpret_cast<INT_PTR>(pageBrush_.get());
}

void MainDlg::PaintHeaderBand(const DRAWITEMSTRUCT& item) {
    const RECT& rc = item.rcItem;
    OffscreenItem off(item.hDC, rc);
    HDC dc = off.ready() ? off.dc() : item.hDC;
    FillSolid(dc, rc, palette::kPage);
    FillSolid(dc, RECT{rc.left, rc.top, rc.right, rc.top + 1}, palette::kButtonBorder);
    FillSolid(dc, RECT{rc.left, rc.bottom - 1, rc.right, rc.bottom}, palette::kSeparator);

    // The band spans the client area from x = 0, so sibling rectangles in
    // client coordinates are band coordinates too.
    const int pad = S(16);
    int right = rc.right - pad;
    RECT ble{};
    if (HWND button = Item(kBleSetup); button && GetWindowRect(button, &ble)) {
        MapWindowPoints(nullptr, item.hwndItem, reinterpret_cast<POINT*>(&ble), 2);
        if (ble.left > pad) {
            const int x = ble.left - pad / 2;
            FillSolid(dc, RECT{x, rc.top + pad / 2, x + 1, rc.bottom - pad / 2}, palette::kSeparator);
            right = ble.left - pad;
        }
    }
    int left = rc.left + pad;
    RECT settings{};
    if (HWND button = Item(kSettings); button && GetWindowRect(button, &settings)) {
        MapWindowPoints(nullptr, item.hwndItem, reinterpret_cast<POINT*>(&settings), 2);
        left = std::max(left, static_cast<int>(settings.right) + pad);
    }

    SelectScope font(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(hwnd(), WM_GETFONT, 0, 0)));
    const std::wstring version = AppVersion();
    SIZE countSize{};
    SIZE versionSize{};
    GetTextExtentPoint32W(dc, countText_.c_str(), static_cast<int>(countText_.size()), &countSize);
    GetTextExtentPoint32W(dc, version.c_str(), static_cast<int>(version.size()), &versionSize);
    const HeaderTextPlacement place = PlaceHeaderTexts(
        left, right, rc.top, rc.bottom, countText_.empty() ? 0 : countSize.cx,
        version.empty() ? 0 : versionSize.cx, pad);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, palette::kTextSecondary);
    const UINT flags = DT_RIGHT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX;
    if (place.countShown && !countText_.empty()) {
        RECT r = place.count;
        DrawTextW(dc, countText_.c_str(), -1, &r, flags);
    }
    if (place.versionShown && !version.empty()) {
        RECT r = place.version;
        DrawTextW(dc, version.c_str(), -1, &r, flags);
    }
    if (off.ready()) off.Present();
}

void MainDlg::PaintColumnBand(const DRAWITEMSTRUCT& item) {
    const RECT& rc = item.rcItem;
    OffscreenItem off(item.hDC, rc);
    HDC dc = off.ready() ? off.dc() : item.hDC;
    FillSolid(dc, rc, palette::kPage);
    UniquePen pen(CreatePen(PS_SOLID, 1, palette::kHeaderBand));
    {
        SelectScope p(dc, pen.get());
        SelectScope b(dc, bandBrush_.get());
        const int corner = S(8);
        RoundRect(dc, rc.left, rc.top, rc.right, rc.bottom, corner, corner);
    }
    if (off.ready()) off.Present();
}

void MainDlg::PaintFooter(const DRAWITEMSTRUCT& item) {
    const RECT& rc = item.rcItem;
    OffscreenItem off(item.hDC, rc);
    HDC dc = off.ready() ? off.dc() : item.hDC;
    FillSolid(dc, rc, palette::kWhite);
    FillSolid(dc, RECT{rc.left, rc.top, rc.right, rc.top + 1}, palette::kSeparator);

    const bool withNotice = !notice_.empty();
    const COLORREF colour = withNotice ? palette::kAccent : palette::kDanger;
    const std::wstring& text = withNotice ? notice_ : Tr(TxtServiceNotRunning);

    const int d = S(8);
    const int dotX = rc.left + S(16);
    const int cy = (rc.top + rc.bottom) / 2;
    UniqueBrush dotBrush(CreateSolidBrush(colour));
    UniquePen dotPen(CreatePen(PS_SOLID, 1, colour));
    {
        SelectScope b(dc, dotBrush.get());
        SelectScope p(dc, dotPen.get());
        Ellipse(dc, dotX, cy - d / 2, dotX + d, cy - d / 2 + d);
    }
    RECT textRect{dotX + d + S(8), rc.top, rc.right - S(16), rc.bottom};
    SelectScope font(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(hwnd(), WM_GETFONT, 0, 0)));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, colour);
    DrawTextW(dc, text.c_str(), -1, &textRect,
              DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
    if (off.ready()) off.Present();
}

// --- Messages ------------------------------------------------------------

INT_PTR MainDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (taskbarCreated_ != 0 && message == taskbarCreated_) {
        // Explorer restarted: its new notification area knows no icon.
        trayIconAdded_ = false;
        AddTrayIcon();
        return TRUE;
    }
    switch (message) {
        case WM_INITDIALOG:
            return OnInitDialog();
        case WM_ERASEBKGND: {
            RECT rc{};
            GetClientRect(hwnd(), &rc);
            FillRect(reinterpret_cast<HDC>(wParam), &rc, pageBrush_.get());
            return SetResult(TRUE);
        }
        case WM_CTLCOLORDLG:
            return reinterpret_cast<INT_PTR>(pageBrush_.get());
        case WM_CTLCOLORSTATIC:
            return StaticColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
        case WM_CTLCOLORLISTBOX:
            SetBkColor(reinterpret_cast<HDC>(wParam), palette::kPage);
            return reinterpret_cast<INT_PTR>(pageBrush_.get());
        case WM_MEASUREITEM:
            if (DeviceListBox::MeasureIfOurs(hwnd(), reinterpret_cast<MEASUREITEMSTRUCT*>(lParam))) {
                return TRUE;
            }
            return FALSE;
        case WM_DRAWITEM: {
            const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (ModernButton::DrawIfOurs(item) || DeviceListBox::DrawIfOurs(item)) return TRUE;
            switch (item.CtlID) {
                case kHeaderBand:
                    PaintHeaderBand(item);
                    return TRUE;
                case kColumnBand:
                    PaintColumnBand(item);
                    return TRUE;
                case kFooter:
                    PaintFooter(item);
                    return TRUE;
                default:
                    return FALSE;
            }
        }
        case WM_SIZE:
            if (wParam != SIZE_MINIMIZED) Relayout();
            return TRUE;
        case WM_GETMINMAXINFO: {
            auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
            const SIZE minimum = MainMinimumTrackSize(DpiOf(hwnd()));
            info->ptMinTrackSize.x = minimum.cx;
            info->ptMinTrackSize.y = minimum.cy;
            return TRUE;
        }
        case 0x02E0: {  // WM_DPICHANGED, newer than the Windows 7 headers
            const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
            if (suggested) {
                SetWindowPos(hwnd(), nullptr, suggested->left, suggested->top,
                             suggested->right - suggested->left, suggested->bottom - suggested->top,
                             SWP_NOZORDER | SWP_NOACTIVATE);
            }
            CreateTitleFont();
            list_.ResetFonts();
            Relayout();
            InvalidateRect(hwnd(), nullptr, TRUE);
            return TRUE;
        }
        case WM_TIMER:
            OnTimer(static_cast<UINT_PTR>(wParam));
            return TRUE;
        case WM_UPDATE_RESULT:
            HandleUpdateResult(hwnd(), wParam, lParam,
                               [this](const std::wstring& text) { ShowNotice(text); });
            return TRUE;
        case WM_TRAYICON:
            OnTrayIcon(lParam);
            return TRUE;
        case WM_DEVICE_ACTION:
            OnDeviceAction(wParam, lParam);
            return TRUE;
        case WM_COMMAND:
            // Esc and the close box hide: tray mode keeps running.
            if (LOWORD(wParam) == IDCANCEL) {
                HideWindow();
                return TRUE;
            }
            if (LOWORD(wParam) == IDOK) return TRUE;
            OnCommand(LOWORD(wParam));
            return TRUE;
        case WM_CLOSE:
            HideWindow();
            return TRUE;
        case WM_DESTROY:
            for (UINT_PTR id : {TIMER_PROBE, TIMER_LIST, TIMER_SERVICE_WAIT, TIMER_UPDATE_CHECK}) {
                KillTimer(hwnd(), id);
            }
            RemoveTrayIcon();
            if (controlWindow_) {
                HWND control = controlWindow_;
                controlWindow_ = nullptr;
                DestroyWindow(control);
            }
            if (HWND title = Item(kEmptyTitle)) SendMessageW(title, WM_SETFONT, 0, FALSE);
            titleFont_.reset();
            list_.Detach();
            return FALSE;
        default:
            return DialogBase::HandleMessage(message, wParam, lParam);
    }
}

}  // namespace qs
