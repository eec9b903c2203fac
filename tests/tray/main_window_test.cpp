// The main window against a fake core on a pipe of the test's own: its two
// faces and the footer, the first-start path through the service seams,
// the job tip, hiding, the notice lifetime, menus, the installer's control
// window; and the layout decisions as tables.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "support/message_pump.h"
#include "support/process_window.h"
#include "support/temp_dir.h"
#include "tray/autostart.h"
#include "tray/job_toast.h"
#include "tray/main_dlg.h"
#include "tray/main_layout.h"
#include "tray/tray_app.h"
#include "tray/tray_messages.h"
#include "tray/tray_service.h"
#include "ui/core_request.h"
#include "ui/fake_core.h"
#include "ui/message_box.h"
#include "ui/ui_text.h"
#include "updater/updater.h"

namespace qs {
namespace {

// --- Decisions -------------------------------------------------------------

void ExpectRect(const RECT& r, int l, int t, int rr, int b, const char* what) {
    EXPECT_EQ(r.left, l) << what;
    EXPECT_EQ(r.top, t) << what;
    EXPECT_EQ(r.right, rr) << what;
    EXPECT_EQ(r.bottom, b) << what;
}

TEST(MainLayout, At96DpiWithoutFooter) {
    MainLayoutInput in;
    in.width = 1000;
    in.height = 500;
    in.dpi = 96;
    in.buttonTextWidths = {50, 30, 60, 30};
    in.bleTextWidth = 100;
    in.emptyButtonTextWidth = 40;
    MainLayout l;
    ASSERT_TRUE(ComputeMainLayout(in, &l));
    ExpectRect(l.header, 0, 0, 1000, 56, "header");
    // Text + 28, at least 68, 8 apart from x = 16.
    ExpectRect(l.buttons[0], 16, 12, 94, 44, "add");
    ExpectRect(l.buttons[1], 102, 12, 170, 44, "refresh");
    ExpectRect(l.buttons[2], 178, 12, 266, 44, "jobs");
    ExpectRect(l.buttons[3], 274, 12, 342, 44, "settings");
    ExpectRect(l.ble, 796, 12, 984, 44, "ble at least 188 wide, right aligned");
    ExpectRect(l.columnBand, 16, 64, 984, 100, "column band");
    ExpectRect(l.list, 16, 106, 984, 492, "list");
    EXPECT_FALSE(l.footerVisible);
    ExpectRect(l.emptyTitle, 16, 243, 984, 269, "empty title");
    ExpectRect(l.emptyHint, 32, 273, 968, 317, "empty hint");
    ExpectRect(l.emptyButton, 440, 325, 560, 357, "empty button");
    // ColumnLayout(968): 726 px shared 20:17:11:12:12:19.
    ExpectRect(l.columnHeaders[0], 30, 68, 189, 96, "name header");
    ExpectRect(l.columnHeaders[1], 199, 68, 334, 96, "sn header");
    ExpectRect(l.columnHeaders[5], 651, 68, 802, 96, "printer header");
    ExpectRect(l.columnHeaders[6], 776, 68, 970, 96, "actions header spans both buttons");
}

TEST(MainLayout, At144DpiWithFooterAndAShortWindow) {
    MainLayoutInput in;
    in.width = 1560;
    in.height = 690;
    in.dpi = 144;
    in.footer = true;
    in.buttonTextWidths = {100, 10, 10, 10};
    MainLayout l;
    ASSERT_TRUE(ComputeMainLayout(in, &l));
    ExpectRect(l.header, 0, 0, 1560, 84, "header");
    ExpectRect(l.buttons[0], 24, 18, 166, 66, "add: 100 + 42");
    ExpectRect(l.buttons[1], 178, 18, 280, 66, "refresh: the 102 minimum");
    ExpectRect(l.ble, 1254, 18, 1536, 66, "ble: 282 minimum");
    ExpectRect(l.columnBand, 24, 96, 1536, 150, "band");
    ExpectRect(l.list, 24, 159, 1536, 633, "list above the footer");
    EXPECT_TRUE(l.footerVisible);
    ExpectRect(l.footer, 0, 645, 1560, 690, "footer");

    in.height = 300;  // the list keeps S(80)
    ASSERT_TRUE(ComputeMainLayout(in, &l));
    EXPECT_EQ(l.list.bottom - l.list.top, 120);

    in.width = 0;
    EXPECT_FALSE(ComputeMainLayout(in, &l));
}

TEST(MainLayout, MinimumTrackSizeScales) {
    EXPECT_EQ(MainMinimumTrackSize(96).cx, 1040);
    EXPECT_EQ(MainMinimumTrackSize(96).cy, 460);
    EXPECT_EQ(MainMinimumTrackSize(144).cx, 1560);
    EXPECT_EQ(MainMinimumTrackSize(144).cy, 690);
}

TEST(MainLayout, HeaderDropsTheVersionBeforeTheCount) {
    struct Row {
        int left, right, count, version;
        bool countShown, versionShown;
        int countLeft, versionLeft;
    };
    const Row rows[] = {
        {300, 700, 80, 50, true, true, 620, 554},   // both fit
        {300, 420, 80, 50, true, false, 340, 0},    // the version goes first
        {300, 379, 80, 50, false, true, 0, 329},    // no count: the version may still fit
        {300, 340, 80, 50, false, false, 0, 0},     // nothing fits
        {300, 380, 80, 0, true, false, 300, 0},     // exactly fitting count
    };
    for (const Row& row : rows) {
        HeaderTextPlacement p = PlaceHeaderTexts(row.left, row.right, 0, 56, row.count, row.version, 16);
        EXPECT_EQ(p.countShown, row.countShown) << row.right;
        EXPECT_EQ(p.versionShown, row.versionShown) << row.right;
        if (row.countShown) {
            EXPECT_EQ(p.count.left, row.countLeft) << row.right;
            EXPECT_EQ(p.count.right, row.right) << row.right;
        }
        if (row.versionShown) {
            EXPECT_EQ(p.version.left, row.versionLeft) << row.right;
        }
    }
}

TEST(NoticeLifetime, UnsignedTickArithmeticAcrossTheWrap) {
    struct Row {
        DWORD now, since;
        bool expired;
    };
    const Row rows[] = {
        {1000, 1000, false},
        {3499, 1000, false},
        {3500, 1000, true},
        {0x000001F3u, 0xFFFFFC00u, false},  // 1523 ms across the wrap
        {0x000009C3u, 0xFFFFFFFFu, true},   // 2500 ms across the wrap
        {0x000009C2u, 0xFFFFFFFFu, false},
        {0xFFFFFFFFu, 0x00000000u, true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(NoticeExpired(row.now, row.since), row.expired) << row.now << " " << row.since;
    }
}

TEST(JobTip, FirstAnswerOnlySetsTheBaseline) {
    struct Row {
        int64_t last, id;
        bool toast;
        int64_t next;
    };
    const Row rows[] = {
        {-1, 0, false, 0},    {-1, 41, false, 41}, {41, 42, true, 42},
        {42, 42, false, 42},  {42, 7, false, 42},  {0, 1, true, 1},
        {5000000000LL, 5000000001LL, true, 5000000001LL},
    };
    for (const Row& row : rows) {
        JobTipStep step = NextJobTip(row.last, row.id);
        EXPECT_EQ(step.toast, row.toast) << row.last << " -> " << row.id;
        EXPECT_EQ(step.lastId, row.next) << row.last << " -> " << row.id;
    }
}

TEST(Probe, ActionForEachTransition) {
    struct Row {
        bool known, connected, probe;
        ProbeAction action;
    };
    const Row rows[] = {
        {true, true, true, ProbeAction::kNone},       {true, false, false, ProbeAction::kNone},
        {true, false, true, ProbeAction::kRefresh},   {true, true, false, ProbeAction::kRestyle},
        {false, false, true, ProbeAction::kRefresh},  {false, false, false, ProbeAction::kRestyle},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ProbeActionFor(row.known, row.connected, row.probe), row.action)
            << row.known << row.connected << row.probe;
    }
}

TEST(Autostart, CommandIsTheQuotedPathABlankAndTray) {
    EXPECT_EQ(AutostartCommand(L"C:\\Program Files\\Quillstone\\quillstone.exe"),
              L"\"C:\\Program Files\\Quillstone\\quillstone.exe\" /tray");
}

// --- Windows -----------------------------------------------------------------

constexpr char kTwoDevices[] =
    R"({"ok":true,"data":[{"sn":"SN0001","devname":"前台","network":"Lan","port":39100,)"
    R"("printer":"Receipt","status":0},{"sn":"SN0002","network":"在线","port":39101,"status":101}]})";
constexpr char kNoDevices[] = R"({"ok":true,"data":[]})";

using test::Pump;

std::wstring Text(HWND window, int id) {
    wchar_t buffer[512] = {};
    GetDlgItemTextW(window, id, buffer, 512);
    return buffer;
}

// The style bit, not IsWindowVisible: the main window itself may be hidden.
bool Shown(HWND window, int id) {
    HWND child = GetDlgItem(window, id);
    return child && (GetWindowLongPtrW(child, GWL_STYLE) & WS_VISIBLE) != 0;
}

struct Box {
    std::wstring text, caption;
    UINT flags;
};

DWORD g_fakeTick = 0;
DWORD FakeTick() { return g_fakeTick; }

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetUiLanguage("zh-CN");
        SetEnvironmentVariableW(L"QSTN_DEMO_DEVICES", nullptr);
        core_.SetReply("list", kTwoDevices);
        core_.SetReply("jobtip", R"({"ok":true,"data":{"id":0,"time":""}})");
        core_.SetReply("refresh", R"({"ok":true})");
        ASSERT_TRUE(core_.Start());
        SetCorePipeName(core_.PipeName());
        SetStartServiceFn([this] {
            ++starts_;
            return startResult_;
        });
        SetElevatedLaunchFn([this](const std::wstring& exe, const std::wstring& params) {
            launches_.push_back(exe + L"|" + params);
            return launchResult_;
        });
        SetMessageBoxFn([this](HWND, const std::wstring& text, const std::wstring& caption, UINT flags) {
            boxes_.push_back({text, caption, flags});
            return IDOK;
        });
    }
    void TearDown() override {
        if (window_ && IsWindow(window_)) DestroyWindow(window_);
        Pump(0);
        SetStartServiceFn(nullptr);
        SetElevatedLaunchFn(nullptr);
        SetMessageBoxFn(nullptr);
        SetCorePipeName(L"");
        MainDlg::SetTickSource(nullptr);
        SetUiLanguage("zh-CN");
    }

    MainDlg* Open() {
        window_ = MainDlg::Create(GetModuleHandleW(nullptr));
        if (!window_) return nullptr;
        Pump(20);
        return MainDlg::FromWindow(window_);
    }
    void Timer(UINT_PTR id) { SendMessageW(window_, WM_TIMER, id, 0); }
    void MakeCoreAbsent() { SetCorePipeName(test::UniquePipeName()); }

    test::FakeCore core_;
    HWND window_ = nullptr;
    int starts_ = 0;
    bool startResult_ = false;
    std::vector<std::wstring> launches_;
    DWORD launchResult_ = ERROR_CANCELLED;
    std::vector<Box> boxes_;
};

TEST_F(MainWindowTest, ReachableCoreShowsTheListFace) {
    MainDlg* dlg = Open();
    ASSERT_TRUE(dlg);
    EXPECT_TRUE(dlg->connected());
    EXPECT_TRUE(dlg->stateKnown());
    ASSERT_EQ(dlg->list().rows().size(), 2u);
    EXPECT_EQ(dlg->list().rows()[0].snUtf8, "SN0001");
    EXPECT_EQ(dlg->list().rows()[1].statusText, L"缺纸");
    EXPECT_TRUE(Shown(window_, MainDlg::kList));
    EXPECT_TRUE(Shown(window_, MainDlg::kColumnBand));
    EXPECT_TRUE(Shown(window_, 1063));
    EXPECT_FALSE(Shown(window_, MainDlg::kEmptyTitle));
    EXPECT_FALSE(Shown(window_, MainDlg::kEmptyAction));
    EXPECT_FALSE(Shown(window_, MainDlg::kFooter));
    EXPECT_EQ(dlg->countText(), L"2 台设备");
    EXPECT_EQ(Text(window_, MainDlg::kAddDevice), L"添加设备");
    EXPECT_EQ(Text(window_, 1069), L"操作");
    wchar_t title[256] = {};
    GetWindowTextW(window_, title, 256);
    EXPECT_EQ(title, WindowTitle());
    EXPECT_EQ(starts_, 0);
    EXPECT_TRUE(launches_.empty());
    EXPECT_TRUE(dlg->trayIconAdded());
    EXPECT_GE(core_.CountOf("list"), 1);

    // Real devices win over the demonstration rows.
    SetEnvironmentVariableW(L"QSTN_DEMO_DEVICES", L"");
    dlg->RefreshDevices();
    EXPECT_EQ(dlg->list().rows()[0].snUtf8, "SN0001");
    core_.SetReply("list", kNoDevices);
    dlg->RefreshDevices();
    ASSERT_EQ(dlg->list().rows().size(), 2u);
    EXPECT_EQ(dlg->list().rows()[0].snUtf8, "DEMO00000001");
    SetEnvironmentVariableW(L"QSTN_DEMO_DEVICES", nullptr);
}

TEST_F(MainWindowTest, NoDevicesShowsTheAddFace) {
    core_.SetReply("list", kNoDevices);
    MainDlg* dlg = Open();
    ASSERT_TRUE(dlg);
    EXPECT_TRUE(dlg->list().rows().empty());
    EXPECT_FALSE(Shown(window_, MainDlg::kList));
    EXPECT_FALSE(Shown(window_, 1066));
    EXPECT_TRUE(Shown(window_, MainDlg::kEmptyTitle));
    EXPECT_TRUE(Shown(window_, MainDlg::kEmptyHint));
    EXPECT_EQ(Text(window_, MainDlg::kEmptyTitle), L"还没有设备");
    EXPECT_EQ(Text(window_, MainDlg::kEmptyAction), L"添加设备");
    EXPECT_FALSE(Shown(window_, MainDlg::kFooter));
    EXPECT_EQ(dlg->countText(), L"0 台设备");

    // An error reply empties the list without a box.
    core_.SetReply("list", R"({"ok":false,"error":"坏了"})");
    dlg->RefreshDevices();
    EXPECT_TRUE(dlg->list().rows().empty());
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(MainWindowTest, MissingServiceAsksForElevationAtOnceAndDecliningIsSilent) {
    MakeCoreAbsent();
    MainDlg* dlg = Open();
    ASSERT_TRUE(dlg);
    EXPECT_FALSE(dlg->connected());
    // Start was tried twice (start-up, then the install routine's own try).
    EXPECT_EQ(starts_, 2);
    ASSERT_EQ(launches_.size(), 1u);
    EXPECT_EQ(launches_[0], RunningExePathShort() + L"|/install /quiet");
    EXPECT_TRUE(boxes_.empty());
    EXPECT_FALSE(dlg->installLaunched());
    EXPECT_EQ(Text(window_, MainDlg::kEmptyTitle), L"打印服务未运行");
    EXPECT_EQ(Text(window_, MainDlg::kEmptyHint), Tr(TxtServiceInstallHint));
    EXPECT_EQ(Text(window_, MainDlg::kEmptyAction), L"安装并启动服务");
    EXPECT_TRUE(Shown(window_, MainDlg::kFooter));
    EXPECT_TRUE(dlg->notice().empty());

    // The install button launches again; once launched, a second request is
    // ignored while the service still cannot be started.
    launchResult_ = 0;
    SendMessageW(window_, WM_COMMAND, MAKEWPARAM(MainDlg::kEmptyAction, BN_CLICKED), 0);
    EXPECT_EQ(launches_.size(), 2u);
    EXPECT_TRUE(dlg->installLaunched());
    EXPECT_EQ(dlg->notice(), L"正在安装打印服务…");
    SendMessageW(window_, WM_COMMAND, MainDlg::kMenuService, 0);
    SendMessageW(window_, WM_COMMAND, MAKEWPARAM(MainDlg::kEmptyAction, BN_CLICKED), 0);
    EXPECT_EQ(launches_.size(), 2u);
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(MainWindowTest, FailedLaunchShowsTheInstallFailedBox) {
    MakeCoreAbsent();
    launchResult_ = ERROR_FILE_NOT_FOUND;
    MainDlg* dlg = Open();
    ASSERT_TRUE(dlg);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, L"安装失败，需要管理员权限");
    EXPECT_EQ(boxes_[0].caption, Tr(TxtAppName));
    EXPECT_EQ(boxes_[0].flags & MB_ICONMASK, static_cast<UINT>(MB_ICONERROR));
    EXPECT_FALSE(dlg->installLaunched());
}

TEST_F(MainWindowTest, StoppedServiceIsStartedAndTheListFillsWhenThePipeAppears) {
    core_.Stop();
    startResult_ = true;
    MainDlg* dlg = Open();
    ASSERT_TRUE(dlg);
    EXPECT_EQ(starts_, 1);
    EXPECT_TRUE(launches_.empty());
    EXPECT_EQ(dlg->notice(), L"正在安装打印服务…");
    EXPECT_TRUE(Shown(window_, MainDlg::kFooter));

    Timer(TIMER_SERVICE_WAIT);
    EXPECT_FALSE(dlg->connected());
    EXPECT_EQ(MainDlg::serviceWaitCount(), 1);
    ASSERT_TRUE(core_.Start());
    Timer(TIMER_SERVICE_WAIT);
    EXPECT_TRUE(dlg->connected());
    EXPECT_EQ(MainDlg::serviceWaitCount(), 0);
    EXPECT_EQ(dlg->list().rows().size(), 2u);
}

TEST_F(MainWindowTest, CoreGoingAwayTurnsTheFooterRedAndItsReturnRefreshes) {
    core_.SetReply("list", kNoDevices);
    MainDlg* dlg = Open();
    ASSERT_TRUE(dlg);
    EXPECT_EQ(Text(window_, MainDlg::kEmptyTitle), L"还没有设备");
    EXPECT_FALSE(Shown(window_, MainDlg::kFooter));

    core_.Stop();
    Timer(TIMER_PROBE);
    EXPECT_FALSE(dlg->connected());
    EXPECT_TRUE(Shown(window_, MainDlg::kFooter));
    EXPECT_EQ(Text(window_, MainDlg::kEmptyTitle), L"打印服务未运行");
    EXPECT_EQ(Text(window_, MainDlg::kEmptyAction), L"安装并启动服务");

    core_.SetReply("list", kTwoDevices);
    ASSERT_TRUE(core_.Start());
    core_.ClearRequests();
    Timer(TIMER_PROBE);
    EXPECT_TRUE(dlg->connected());
    EXPECT_EQ(core_.CountOf("list"), 1);
    EXPECT_EQ(dlg->list().rows().size(), 2u);
    EXPECT_TRUE(Shown(window_, MainDlg::kList));
    EXPECT_FALSE(Shown(window_, MainDlg::kFooter));
    EXPECT_EQ(dlg->countText(), L"2 台设备");
}

TEST_F(MainWindowTest, FirstJobTipNeverToastsALargerOneDoes) {
    core_.SetReply("jobtip", R"({"ok":true,"data":{"id":7,"time":"09:00:00"}})");
    MainDlg* dlg = Open();
    ASSERT_TRUE(dlg);
    const std::wstring before = JobToastText();
    HWND foreground = GetForegroundWindow();
    Timer(TIMER_PROBE);
    EXPECT_EQ(dlg->lastJobTipId(), 7);
    EXPECT_EQ(JobToastText(), before);

    core_.SetReply("jobtip", R"({"ok":true,"data":{"id":8,"time":"12:00:01"}})");
    Timer(TIMER_PROBE);
    EXPECT_EQ(dlg->lastJobTipId(), 8);
    EXPECT_EQ(JobToastText(), L"收到新的打印任务，时间：12:00:01");
    ASSERT_TRUE(JobToastWindow());
    EXPECT_TRUE(IsWindowVisible(JobToastWindow()));
    EXPECT_EQ(GetForegroundWindow(), foreground);

    for (const char* reply : {R"({"ok":true,"data":{"id":8,"time":"12:00:02"}})",
                              R"({"ok":true,"data":{"id":3,"time":"12:00:03"}})",
                              R"({"ok":false,"error":"x","data":{"id":99,"time":"12:00:04"}})"}) {
        core_.SetReply("jobtip", reply);
        Timer(TIMER_PROBE);
        EXPECT_EQ(dlg->lastJobTipId(), 8) << reply;
        EXPECT_EQ(JobToastText(), L"收到新的打印任务，时间：12:00:01") << reply;
    }
}

TEST_F(MainWindowTest, CloseAndEscOnlyHideAndTheListTimerSleepsWhileHidden) {
    MainDlg* dlg = Open();
    ASSERT_TRUE(dlg);
    ShowWindow(window_, SW_SHOW);
    SendMessageW(window_, WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(window_));
    EXPECT_FALSE(IsWindowVisible(window_));
    EXPECT_TRUE(dlg->trayIconAdded());
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = window_;
    data.uID = MainDlg::kTrayIconId;
    data.uFlags = NIF_TIP;
    wcscpy(data.szTip, L"still here");
    EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &data)) << "the icon outlives WM_CLOSE";

    core_.ClearRequests();
    Timer(TIMER_LIST);
    EXPECT_EQ(core_.CountOf("list"), 0);
    Timer(TIMER_PROBE);  // keeps probing while hidden
    EXPECT_EQ(core_.CountOf("jobtip"), 1);

    SendMessageW(window_, WM_TRAYICON, 0, WM_LBUTTONDBLCLK);
    EXPECT_TRUE(IsWindowVisible(window_));
    core_.ClearRequests();
    Timer(TIMER_LIST);
    EXPECT_EQ(core_.CountOf("list"), 1);

    SendMessageW(window_, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(IsWindow(window_));
    EXPECT_FALSE(IsWindowVisible(window_));
}

TEST_F(MainWindowTest, RefreshAsksTheCoreToRecheckThenReloadsTheList) {
    core_.SetReply("list", kNoDevices);
    MainDlg* dlg = Open();
    ASSERT_TRUE(dlg);
    EXPECT_TRUE(dlg->list().rows().empty());

    core_.SetReply("list", kTwoDevices);
    core_.ClearRequests();
    SendMessageW(window_, WM_COMMAND, MAKEWPARAM(MainDlg::kRefresh, BN_CLICKED), 0);
    EXPECT_EQ(core_.CountOf("refresh"), 1);
    EXPECT_EQ(core_.CountOf("list"), 1);
    EXPECT_EQ(dlg->list().rows().size(), 2u);
    EXPECT_EQ(dlg->countText(), L"2 台设备");

    // Without a core the list gives way to the absent state.
    core_.Stop();
    core_.ClearRequests();
    SendMessageW(window_, WM_COMMAND, MAKEWPARAM(MainDlg::kRefresh, BN_CLICKED), 0);
    EXPECT_EQ(Text(window_, MainDlg::kEmptyTitle), L"打印服务未运行");
}

TEST_F(MainWindowTest, NoticeLivesTwoAndAHalfSecondsAcrossTheTickWrap) {
    MainDlg::SetTickSource(&FakeTick);
    MainDlg* dlg = Open();
    ASSERT_TRUE(dlg);
    g_fakeTick = 0xFFFFF800u;
    dlg->ShowNotice(L"已保存");
    EXPECT_TRUE(Shown(window_, MainDlg::kFooter));
    g_fakeTick += 2499;  // wraps past zero
    Timer(TIMER_PROBE);
    EXPECT_EQ(dlg->notice(), L"已保存");
    EXPECT_TRUE(Shown(window_, MainDlg::kFooter));
    g_fakeTick += 1;
    Timer(TIMER_PROBE);
    EXPECT_TRUE(dlg->notice().empty());
    EXPECT_FALSE(Shown(window_, MainDlg::kFooter));
}

TEST_F(MainWindowTest, LanguageSwitchRelabelsEverythingAtOnce) {
    MainDlg* dlg = Open();
    ASSERT_TRUE(dlg);
    SetUiLanguage("en-US");
    dlg->ApplyTexts();
    EXPECT_EQ(Text(window_, MainDlg::kAddDevice), L"Add device");
    EXPECT_EQ(Text(window_, MainDlg::kBleSetup), L"Cloud printer BLE setup");
    EXPECT_EQ(Text(window_, 1064), L"SN");
    EXPECT_EQ(Text(window_, 1069), L"Actions");
    EXPECT_EQ(dlg->countText(), L"2 devices");
    EXPECT_EQ(dlg->list().rows()[0].networkText, L"LAN");
    wchar_t title[256] = {};
    GetWindowTextW(window_, title, 256);
    EXPECT_EQ(title, WindowTitle());
}

TEST_F(MainWindowTest, RowActionsOutsideTheListAreIgnored) {
    MainDlg* dlg = Open();
    ASSERT_TRUE(dlg);
    for (WPARAM index : {WPARAM{2}, WPARAM{99}, static_cast<WPARAM>(-1)}) {
        SendMessageW(window_, WM_DEVICE_ACTION, index, kDeviceActionMenu);
        SendMessageW(window_, WM_DEVICE_ACTION, index, kDeviceActionDelete);
    }
    EXPECT_EQ(dlg->contextRow(), -1);
    // Row menu commands without a row opened do nothing either.
    core_.ClearRequests();
    SendMessageW(window_, WM_COMMAND, MainDlg::kRowMenuTestPage, 0);
    EXPECT_TRUE(core_.Requests().empty());
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(MainWindowTest, MinimumTrackSizeIsScaledForTheWindow) {
    ASSERT_TRUE(Open());
    MINMAXINFO info{};
    SendMessageW(window_, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMinTrackSize.x, MainMinimumTrackSize(DpiOf(window_)).cx);
    EXPECT_EQ(info.ptMinTrackSize.y, MainMinimumTrackSize(DpiOf(window_)).cy);
    SetWindowPos(window_, nullptr, 0, 0, 300, 200, SWP_NOZORDER | SWP_NOACTIVATE);
    RECT rc{};
    GetWindowRect(window_, &rc);
    EXPECT_GE(rc.right - rc.left, info.ptMinTrackSize.x);
}

TEST_F(MainWindowTest, TheInstallersControlWindowEndsTheTray) {
    MainDlg* dlg = Open();
    ASSERT_TRUE(dlg);
    HWND control = test::FindProcessWindow(kInstallerCloseWindowClass, GetCurrentProcessId());
    ASSERT_TRUE(control);
    EXPECT_EQ(control, dlg->controlWindow());
    SendMessageW(control, WM_CLOSE, 0, 0);
    // The close is handed to the main window as its Exit command.
    MSG msg;
    bool quit = false;
    while (!quit && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            quit = true;
        } else {
            DispatchMessageW(&msg);
        }
    }
    EXPECT_TRUE(quit) << "the loop is told to end";
    EXPECT_FALSE(IsWindow(window_));
    EXPECT_FALSE(IsWindow(control));
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = window_;
    data.uID = MainDlg::kTrayIconId;
    EXPECT_FALSE(Shell_NotifyIconW(NIM_DELETE, &data)) << "the icon went with the window";
    window_ = nullptr;
}

TEST_F(MainWindowTest, MenusCarryTheirTextsAndOrder) {
    struct Item {
        UINT id;
        const wchar_t* text;
        bool grey;
    };
    auto check = [](HMENU menu, const std::vector<Item>& items) {
        ASSERT_TRUE(menu);
        HMENU popup = GetSubMenu(menu, 0);
        ASSERT_EQ(GetMenuItemCount(popup), static_cast<int>(items.size()));
        for (int i = 0; i < static_cast<int>(items.size()); ++i) {
            MENUITEMINFOW info{};
            wchar_t text[128] = {};
            info.cbSize = sizeof(info);
            info.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STATE | MIIM_STRING;
            info.dwTypeData = text;
            info.cch = 128;
            ASSERT_TRUE(GetMenuItemInfoW(popup, static_cast<UINT>(i), TRUE, &info));
            if (items[i].id == 0) {
                EXPECT_TRUE(info.fType & MFT_SEPARATOR) << i;
                continue;
            }
            EXPECT_EQ(info.wID, items[i].id) << i;
            EXPECT_STREQ(text, items[i].text) << i;
            EXPECT_EQ((info.fState & MFS_GRAYED) != 0, items[i].grey) << i;
        }
        DestroyMenu(menu);
    };
    HINSTANCE module = GetModuleHandleW(nullptr);
    check(LoadTrayMenu(module, true), {{3001, L"显示主窗口", false},
                                       {3003, L"打印服务运行中", true},
                                       {3004, L"打印任务", false},
                                       {3011, L"检查更新", false},
                                       {0, nullptr, false},
                                       {3002, L"退出", false}});
    check(LoadTrayMenu(module, false), {{3001, L"显示主窗口", false},
                                        {3003, L"安装并启动服务", false},
                                        {3004, L"打印任务", false},
                                        {3011, L"检查更新", false},
                                        {0, nullptr, false},
                                        {3002, L"退出", false}});
    check(LoadRowMenu(module), {{3006, L"绑定打印机", false},
                                {0, nullptr, false},
                                {3007, L"测试页", false},
                                {3008, L"体检", false},
                                {0, nullptr, false},
                                {3010, L"删除", false}});
}

// A thousand refreshes (200 with reduced counts) of a 50-row list must not leave GDI or USER objects
// behind (fonts, bitmaps and brushes of the cards, menus); the working set
// and the time of one refresh are printed for the record.
TEST_F(MainWindowTest, RefreshingFiftyRowsLeaksNoGuiObjects) {
    std::string list = R"({"ok":true,"data":[)";
    for (int i = 0; i < 50; ++i) {
        if (i) list += ",";
        list += "{\"sn\":\"SN" + std::to_string(1000 + i) + "\",\"devname\":\"设备" +
                std::to_string(i) + "\",\"network\":\"" + (i % 3 ? "Lan" : "offline") +
                "\",\"port\":" + std::to_string(39100 + i) + ",\"printer\":\"" +
                (i % 2 ? "Queue" + std::to_string(i) : "") + "\",\"status\":" +
                std::to_string(i % 2 ? 0 : 101) + "}";
    }
    list += "]}";
    core_.SetReply("list", list);
    MainDlg* dlg = Open();
    ASSERT_TRUE(dlg);
    ShowWindow(window_, SW_SHOWNOACTIVATE);
    UpdateWindow(window_);
    ASSERT_EQ(dlg->list().rows().size(), 50u);

    auto workingSetKiB = [] {
        PROCESS_MEMORY_COUNTERS pmc{};
        pmc.cb = sizeof(pmc);
        GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc));
        return static_cast<unsigned long long>(pmc.WorkingSetSize / 1024);
    };
    // Wine does not count GUI objects (GetGuiResources gives 0), so the GDI
    // handle table is probed as well: fresh objects reuse the slots freed
    // before unless something kept taking slots in between.
    auto highestFreshSlot = [] {
        HGDIOBJ objects[64];
        unsigned highest = 0;
        for (HGDIOBJ& o : objects) {
            o = CreateSolidBrush(RGB(1, 2, 3));
            highest = std::max(highest, static_cast<unsigned>(reinterpret_cast<UINT_PTR>(o) & 0xFFFF));
        }
        for (HGDIOBJ o : objects) DeleteObject(o);
        return highest;
    };
    for (int i = 0; i < 20; ++i) dlg->RefreshDevices();  // warm up fonts and the pipe
    UpdateWindow(window_);
    Pump(0);
    const DWORD gdiBefore = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    const DWORD userBefore = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    const unsigned slotBefore = highestFreshSlot();
    const unsigned long long wsBefore = workingSetKiB();

    const int cycles = test::Repetitions(1000, 200);
    std::chrono::steady_clock::duration refreshTime{};
    for (int i = 0; i < cycles; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        dlg->RefreshDevices();
        refreshTime += std::chrono::steady_clock::now() - t0;
        if (i % 50 == 49) {
            UpdateWindow(window_);  // the rows are painted as a visible window paints them
            Pump(0);
        }
    }
    const DWORD gdiAfter = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    const DWORD userAfter = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    const unsigned slotAfter = highestFreshSlot();
    const unsigned long long wsAfter = workingSetKiB();
    const double msPerRefresh =
        std::chrono::duration<double, std::milli>(refreshTime).count() / cycles;
    std::printf("tray refresh: 50 rows, %d cycles, %.2f ms per RefreshDevices; working set "
                "%llu KiB after start, %llu KiB after; GetGuiResources GDI %lu -> %lu, USER "
                "%lu -> %lu; highest fresh GDI slot %u -> %u\n",
                cycles, msPerRefresh, wsBefore, wsAfter, static_cast<unsigned long>(gdiBefore),
                static_cast<unsigned long>(gdiAfter), static_cast<unsigned long>(userBefore),
                static_cast<unsigned long>(userAfter), slotBefore, slotAfter);
    EXPECT_LE(gdiAfter, gdiBefore + 2) << "GDI objects grow with refreshes";
    EXPECT_LE(userAfter, userBefore + 2) << "USER objects grow with refreshes";
    EXPECT_LE(slotAfter, slotBefore + 16) << "GDI handle slots were taken and never freed";
    EXPECT_EQ(dlg->list().rows().size(), 50u);
}

// --- Process-wide pieces -----------------------------------------------------

TEST(SingleInstance, SecondClaimFailsAndBringsTheFirstWindowForward) {
    const std::wstring name = L"qs_tray_test_mutex_" + std::to_wstring(GetCurrentProcessId());
    UniqueHandle first;
    EXPECT_TRUE(ClaimSingleInstance(name.c_str(), &first));
    UniqueHandle second;
    EXPECT_FALSE(ClaimSingleInstance(name.c_str(), &second));
    EXPECT_FALSE(second);
    first.reset();
    UniqueHandle third;
    EXPECT_TRUE(ClaimSingleInstance(name.c_str(), &third));

    test::FakeCore core;
    core.SetReply("list", kNoDevices);
    ASSERT_TRUE(core.Start());
    SetCorePipeName(core.PipeName());
    HWND window = MainDlg::Create(GetModuleHandleW(nullptr));
    ASSERT_TRUE(window);
    // A title of its own, so no other test's window can answer.
    const std::wstring title = L"Quillstone test " + std::to_wstring(GetCurrentProcessId());
    SetWindowTextW(window, title.c_str());
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_TRUE(BringInstanceForward(title));
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_FALSE(BringInstanceForward(title + L" (none)"));
    DestroyWindow(window);
    SetCorePipeName(L"");
}

// The Run key is the prefix's own: the test holds its ctest lock.
TEST(Autostart, WritesExactlyTheQuotedPathAndDisablingDeletesTheValue) {
    SetAutostart(true);
    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kAutostartKey, 0, KEY_QUERY_VALUE, &raw), ERROR_SUCCESS);
    UniqueKey key(raw);
    wchar_t data[1024] = {};
    DWORD size = sizeof(data);
    DWORD type = 0;
    ASSERT_EQ(RegQueryValueExW(key.get(), kAutostartValue, nullptr, &type,
                               reinterpret_cast<BYTE*>(data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    EXPECT_EQ(std::wstring(data), L"\"" + std::wstring(exe) + L"\" /tray");
    EXPECT_TRUE(AutostartEnabled());

    SetAutostart(false);
    size = sizeof(data);
    EXPECT_EQ(RegQueryValueExW(key.get(), kAutostartValue, nullptr, &type,
                               reinterpret_cast<BYTE*>(data), &size),
              ERROR_FILE_NOT_FOUND)
        << "removed, not emptied";
    EXPECT_FALSE(AutostartEnabled());
    SetAutostart(false);  // disabling twice is harmless
    EXPECT_FALSE(AutostartEnabled());
}

}  // namespace
}  // namespace qs
