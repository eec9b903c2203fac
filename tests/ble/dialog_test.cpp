// The BLE dialog under the X display, driven by its real controls and the
// worker over the simulated devices; timers are posted by the test. The
// last group runs it over the Windows Runtime transport as this machine
// has it (no Bluetooth).
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ble/ble_dlg.h"
#include "ble/ble_presentation.h"
#include "ble/ble_resource.h"
#include "ble/current_ssid.h"
#include "ble/sim_transport.h"
#include "ble/winrt_transport.h"
#include "support/canvas.h"
#include "ui/message_box.h"
#include "ui/theme.h"
#include "ui/ui_text.h"

namespace qs {
namespace {

constexpr uint64_t kPrinter = 0x0000A4C138000001ULL;

std::string Narrow(const std::wstring& w) {
    std::string out;
    for (wchar_t c : w) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::string Hex(COLORREF c) {
    char text[16];
    snprintf(text, sizeof(text), "#%02X%02X%02X", GetRValue(c), GetGValue(c), GetBValue(c));
    return text;
}

struct Box {
    std::wstring text;
    std::wstring caption;
    UINT flags;
};

using test::Canvas;

class BleDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetUiLanguage("zh-CN");
        SetMessageBoxFn([this](HWND, const std::wstring& text, const std::wstring& caption, UINT flags) {
            boxes_.push_back({text, caption, flags});
            return boxAnswer_;
        });
        SimDeviceConfig printer;
        printer.address = kPrinter;
        printer.name = L"QS-Printer-01";
        printer.advertiseTimes = 10;
        printer.reportDualWifi = false;
        printer.ip = "192.168.1.20";
        printer.netmask = "255.255.255.0";
        printer.gateway = "192.168.1.1";
        printer.dns = "192.168.1.1";
        config_ = printer;
    }
    void TearDown() override {
        if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
        SetMessageBoxFn({});
        SetUiLanguage("zh-CN");
    }

    void Open(std::unique_ptr<BleTransport> transport = nullptr) {
        world_->AddDevice(config_);
        if (!transport) transport = MakeSimTransport(world_);
        auto holder = std::make_shared<std::unique_ptr<BleTransport>>(std::move(transport));
        worker_ = std::make_unique<BleWorker>([holder] { return std::move(*holder); }, [](int) {});
        auto dialog = std::make_unique<BleDlg>(worker_.get());
        dialog->SetPollTimerFn([this](int ms) { timer_.push_back(ms); });
        dialog->SetSsidSource([] { return std::wstring(L"Office"); });
        dialog->SetScanDurationMs(1000);
        dialog_ = dialog.get();
        hwnd_ = DialogBase::CreateOwned(std::move(dialog), GetModuleHandleW(nullptr),
                                        MAKEINTRESOURCEW(IDD_BLE_DIALOG), nullptr);
        ASSERT_NE(hwnd_, nullptr);
    }

    bool Pump(const std::function<bool()>& done, int timeoutMs = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            if (done()) return true;
            if (std::chrono::steady_clock::now() >= end) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
    }
    void Click(int id) {
        SendMessageW(hwnd_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(hwnd_, id)));
    }
    void Tick() { SendMessageW(hwnd_, WM_TIMER, 1, 0); }
    void Type(int id, const std::wstring& text) { SetDlgItemTextW(hwnd_, id, text.c_str()); }
    std::wstring TextOf(int id) {
        wchar_t buffer[256] = {};
        GetDlgItemTextW(hwnd_, id, buffer, 256);
        return buffer;
    }
    bool Enabled(int id) { return IsWindowEnabled(GetDlgItem(hwnd_, id)) != FALSE; }
    int ListCount() { return static_cast<int>(SendDlgItemMessageW(hwnd_, IDC_BLE_DEVICE_LIST, LB_GETCOUNT, 0, 0)); }

    void ScanAndConnect() {
        Click(IDC_BLE_SCAN);
        ASSERT_TRUE(Pump([&] { return world_->WatchersRunning() == 0 && Enabled(IDC_BLE_SCAN) && ListCount() == 1; }));
        Click(IDC_BLE_CONNECT);
        ASSERT_TRUE(Pump([&] { return dialog_->linked() && !dialog_->busy(); }));
    }
    // Reads once through the poll timer and waits for the answer.
    void PollOnce() {
        const int reads = world_->StatusReads(kPrinter);
        Tick();
        ASSERT_TRUE(dialog_->readPending());
        ASSERT_TRUE(Pump([&] { return !dialog_->readPending(); }));
        ASSERT_EQ(world_->StatusReads(kPrinter), reads + 1);
    }
    // Shows the dialog and copies its client area from the screen (the
    // X display of the test sandbox): what a person would see.
    void Screenshot(const wchar_t* name) {
        ShowWindow(hwnd_, SW_SHOWNOACTIVATE);
        UpdateWindow(hwnd_);
        Pump([] { return false; }, 500);
        RECT client{};
        GetClientRect(hwnd_, &client);
        Canvas canvas(client.right, client.bottom);
        HDC screen = GetDC(hwnd_);
        BitBlt(canvas.dc(), 0, 0, client.right, client.bottom, screen, 0, 0, SRCCOPY);
        ReleaseDC(hwnd_, screen);
        wchar_t dir[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, dir);
        const std::wstring path = std::wstring(dir) + L"\\" + name;
        EXPECT_TRUE(canvas.SaveBmp(path)) << Narrow(path);
        // The page colour at the top left: the copy holds the dialog, not a
        // blank or black screen.
        EXPECT_EQ(Hex(canvas.At(3, 3)), "#F3F3F3");
    }

    SimDeviceConfig config_;
    std::shared_ptr<SimWorld> world_ = std::make_shared<SimWorld>();
    std::unique_ptr<BleWorker> worker_;
    BleDlg* dialog_ = nullptr;
    HWND hwnd_ = nullptr;
    std::vector<Box> boxes_;
    int boxAnswer_ = IDOK;
    std::vector<int> timer_;
};

TEST_F(BleDialogTest, OpensIdleWithTheCurrentNetworkName) {
    Open();
    EXPECT_EQ(TextOf(IDC_BLE_WIFI_NAME), L"Office");
    EXPECT_EQ(dialog_->headline(), Tr(TxtBleHint));
    EXPECT_EQ(Hex(dialog_->panelColor()), "#605E5C");
    EXPECT_EQ(TextOf(IDC_BLE_LIST_HINT), Tr(TxtNoDevicesFound));
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(hwnd_, IDC_BLE_LIST_HINT)) ||
                (GetWindowLongPtrW(GetDlgItem(hwnd_, IDC_BLE_LIST_HINT), GWL_STYLE) & WS_VISIBLE));
    EXPECT_TRUE(Enabled(IDC_BLE_SCAN));
    EXPECT_FALSE(Enabled(IDC_BLE_CONNECT));
    EXPECT_FALSE(Enabled(IDC_BLE_SEND_WIFI));
    EXPECT_FALSE(Enabled(IDC_BLE_SEND_IP));
    EXPECT_FALSE(Enabled(IDC_BLE_IP));
    EXPECT_TRUE(Enabled(IDC_BLE_WIFI_NAME));
    EXPECT_TRUE(worker_->running());
    EXPECT_EQ(world_->WatchersRunning(), 0) << "no scan starts by itself";
    wchar_t title[128] = {};
    GetWindowTextW(hwnd_, title, 128);
    EXPECT_EQ(std::wstring(title), Tr(TxtBleTitle));
}

TEST_F(BleDialogTest, ScanListsARepeatedlyAdvertisingDeviceOnce) {
    Open();
    Click(IDC_BLE_SCAN);
    EXPECT_EQ(TextOf(IDC_BLE_LIST_HINT), Tr(TxtScanning));
    EXPECT_EQ(dialog_->headline(), Tr(TxtScanning));
    EXPECT_FALSE(Enabled(IDC_BLE_SCAN));
    ASSERT_TRUE(Pump([&] { return world_->WatchersRunning() == 0 && Enabled(IDC_BLE_SCAN); }));
    EXPECT_EQ(ListCount(), 1);
    ASSERT_EQ(dialog_->foundDevices().size(), 1u);
    EXPECT_EQ(dialog_->foundDevices()[0].name, L"QS-Printer-01");
    EXPECT_EQ(SendDlgItemMessageW(hwnd_, IDC_BLE_DEVICE_LIST, LB_GETCURSEL, 0, 0), 0) << "first device selected";
    EXPECT_FALSE(GetWindowLongPtrW(GetDlgItem(hwnd_, IDC_BLE_LIST_HINT), GWL_STYLE) & WS_VISIBLE);
    EXPECT_TRUE(Enabled(IDC_BLE_CONNECT));
    EXPECT_EQ(dialog_->headline(), Tr(TxtBleHint)) << "the panel does not keep saying scanning";
}

TEST_F(BleDialogTest, ConnectWithoutASelectionAsksForOne) {
    Open();
    Click(IDC_BLE_CONNECT);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, Tr(TxtSelectDeviceFirst));
    EXPECT_EQ(boxes_[0].caption, Tr(TxtBleTitle));
    EXPECT_TRUE(boxes_[0].flags & MB_ICONINFORMATION);
}

TEST_F(BleDialogTest, ConnectShowsTheStatusPanel) {
    Open();
    ScanAndConnect();
    EXPECT_EQ(dialog_->linkedRow(), 0);
    EXPECT_EQ(dialog_->headline(), Tr(TxtNetNotConfigured) + L"  \u00B7  " + Tr(TxtLinkWifi));
    EXPECT_EQ(dialog_->detail(), L"DHCP    \u00B7    192.168.1.20");
    EXPECT_EQ(Hex(dialog_->panelColor()), "#605E5C");
    EXPECT_TRUE(Enabled(IDC_BLE_SEND_WIFI));
    EXPECT_TRUE(Enabled(IDC_BLE_SEND_IP));
    EXPECT_EQ(dialog_->pollMs(), 3000);
    ASSERT_FALSE(timer_.empty());
    EXPECT_EQ(timer_.back(), 3000);
    EXPECT_EQ(TextOf(IDC_BLE_IP), L"192.168.1.20") << "fields filled from the status";
    EXPECT_FALSE(Enabled(IDC_BLE_IP)) << "DHCP: the fields stay read-only";
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(BleDialogTest, WifiGoesOutAndPollingFollowsTheDeviceOnline) {
    Open();
    ScanAndConnect();
    Type(IDC_BLE_WIFI_NAME, L"  Office  ");
    Type(IDC_BLE_PASSWORD, L"pa\"ss");
    Click(IDC_BLE_SEND_WIFI);
    EXPECT_TRUE(dialog_->busy());
    ASSERT_TRUE(Pump([&] { return !dialog_->busy(); }));
    ASSERT_EQ(world_->Writes(kPrinter).size(), 1u);
    EXPECT_EQ(world_->Writes(kPrinter)[0], R"({"type":1,"ssid":"Office","pwd":"pa\"ss"})");
    EXPECT_EQ(dialog_->headline(), L"已下发，正在等待设备联网");
    EXPECT_TRUE(dialog_->detail().empty());
    EXPECT_EQ(Hex(dialog_->panelColor()), "#0078D4");
    EXPECT_EQ(dialog_->pollMs(), 1000);
    EXPECT_EQ(timer_.back(), 1000);
    EXPECT_TRUE(dialog_->waitingOnline());

    struct Step {
        const wchar_t* headline;
        const char* color;
        int pollMs;
    };
    const Step steps[] = {
        {L"已配网，正在联网  ·  WiFi", "#CA5010", 1500},
        {L"已获取 IP  ·  WiFi", "#0078D4", 2000},
        {L"已接入互联网  ·  WiFi", "#107C10", 0},
    };
    for (const Step& step : steps) {
        PollOnce();
        EXPECT_EQ(dialog_->headline(), step.headline);
        EXPECT_EQ(Hex(dialog_->panelColor()), step.color);
        EXPECT_EQ(dialog_->pollMs(), step.pollMs);
        EXPECT_EQ(timer_.back(), step.pollMs);
        EXPECT_FALSE(dialog_->waitingOnline());
    }
    EXPECT_EQ(dialog_->detail(), L"Office    \u00B7    DHCP    \u00B7    192.168.1.20");
    EXPECT_TRUE(boxes_.empty());
    Screenshot(L"ble_dialog_online_zh.bmp");
}

TEST_F(BleDialogTest, EnglishDialogOnline) {
    SetUiLanguage("en-US");
    config_.netStatus = 4;
    config_.ssid = "Office";
    Open();
    ScanAndConnect();
    EXPECT_EQ(dialog_->headline(), L"Online  \u00B7  Wi-Fi");
    EXPECT_EQ(TextOf(IDC_BLE_SCAN), L"Scan");
    EXPECT_EQ(dialog_->pollMs(), 0) << "an online device is not polled";
    Screenshot(L"ble_dialog_online_en.bmp");
}

TEST_F(BleDialogTest, WifiFormChecksComeFirst) {
    Open();
    ScanAndConnect();
    struct Row {
        std::wstring name, password;
        TextId box;
    };
    const Row rows[] = {
        {L"   ", L"", TxtEnterWifiName},
        {std::wstring(33, L'网'), L"", TxtWifiNameTooLong},
        {L"Office", std::wstring(65, L'p'), TxtPasswordTooLong},
    };
    for (const Row& row : rows) {
        boxes_.clear();
        Type(IDC_BLE_WIFI_NAME, row.name);
        Type(IDC_BLE_PASSWORD, row.password);
        Click(IDC_BLE_SEND_WIFI);
        ASSERT_EQ(boxes_.size(), 1u);
        EXPECT_EQ(boxes_[0].text, Tr(row.box));
        EXPECT_TRUE(boxes_[0].flags & MB_ICONWARNING);
        EXPECT_FALSE(dialog_->busy());
    }
    EXPECT_TRUE(world_->Writes(kPrinter).empty());
}

TEST_F(BleDialogTest, FiveGhzNameNeedsAYes) {
    Open();
    ScanAndConnect();
    Type(IDC_BLE_WIFI_NAME, L"office-5g");
    boxAnswer_ = IDNO;
    Click(IDC_BLE_SEND_WIFI);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, Tr(TxtWifi5GWarning));
    EXPECT_EQ(boxes_[0].flags & MB_TYPEMASK, static_cast<UINT>(MB_YESNO));
    EXPECT_FALSE(dialog_->busy());
    EXPECT_TRUE(world_->Writes(kPrinter).empty());
    boxAnswer_ = IDYES;
    Click(IDC_BLE_SEND_WIFI);
    ASSERT_TRUE(Pump([&] { return !dialog_->busy() && world_->Writes(kPrinter).size() == 1; }));
}

TEST_F(BleDialogTest, DeviceThatReportsDualWifiIsNotAsked) {
    config_.reportDualWifi = true;
    config_.dualWifi = true;
    Open();
    ScanAndConnect();
    Type(IDC_BLE_WIFI_NAME, L"Office-5G");
    Click(IDC_BLE_SEND_WIFI);
    EXPECT_TRUE(boxes_.empty());
    ASSERT_TRUE(Pump([&] { return !dialog_->busy() && world_->Writes(kPrinter).size() == 1; }));
}

TEST_F(BleDialogTest, TypedStaticAddressSurvivesAStatusAndUntickingRefills) {
    Open();
    ScanAndConnect();
    CheckDlgButton(hwnd_, IDC_BLE_STATIC_IP, BST_CHECKED);
    Click(IDC_BLE_STATIC_IP);
    EXPECT_TRUE(Enabled(IDC_BLE_IP));
    EXPECT_TRUE(Enabled(IDC_BLE_DNS));
    Type(IDC_BLE_IP, L"10.0.0.9");
    EXPECT_TRUE(dialog_->ipTouched());
    PollOnce();
    EXPECT_EQ(TextOf(IDC_BLE_IP), L"10.0.0.9") << "an arriving status leaves typed fields alone";
    EXPECT_EQ(IsDlgButtonChecked(hwnd_, IDC_BLE_STATIC_IP), static_cast<UINT>(BST_CHECKED));
    // Static with a field empty is refused.
    Type(IDC_BLE_DNS, L"");
    Click(IDC_BLE_SEND_IP);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, Tr(TxtStaticIpIncomplete));
    EXPECT_TRUE(world_->Writes(kPrinter).empty());

    CheckDlgButton(hwnd_, IDC_BLE_STATIC_IP, BST_UNCHECKED);
    Click(IDC_BLE_STATIC_IP);
    EXPECT_EQ(TextOf(IDC_BLE_IP), L"192.168.1.20") << "unticking refills from the last status";
    EXPECT_EQ(TextOf(IDC_BLE_DNS), L"192.168.1.1");
    EXPECT_FALSE(Enabled(IDC_BLE_IP));
    // DHCP sends the short command whatever the fields hold.
    Click(IDC_BLE_SEND_IP);
    ASSERT_TRUE(Pump([&] { return !dialog_->busy(); }));
    ASSERT_EQ(world_->Writes(kPrinter).size(), 1u);
    EXPECT_EQ(world_->Writes(kPrinter)[0], R"({"type":2,"ip_mode":0})");
}

TEST_F(BleDialogTest, DeviceSideDisconnectReturnsToTheHint) {
    Open();
    ScanAndConnect();
    ASSERT_TRUE(world_->DropConnection(kPrinter));
    ASSERT_TRUE(Pump([&] { return !dialog_->linked(); }));
    EXPECT_EQ(dialog_->headline(), Tr(TxtBleHint));
    EXPECT_TRUE(dialog_->detail().empty());
    EXPECT_EQ(Hex(dialog_->panelColor()), "#605E5C");
    EXPECT_FALSE(Enabled(IDC_BLE_SEND_WIFI));
    EXPECT_FALSE(Enabled(IDC_BLE_SEND_IP));
    EXPECT_EQ(dialog_->linkedRow(), -1);
    EXPECT_EQ(dialog_->pollMs(), 0);
    EXPECT_EQ(timer_.back(), 0);
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(BleDialogTest, ReadFailureWhilePollingTurnsTheHeadlineRedWithoutABox) {
    Open();
    ScanAndConnect();
    ASSERT_NE(dialog_->pollMs(), 0);
    world_->SetReadStatus(kPrinter, 1);
    PollOnce();
    EXPECT_EQ(dialog_->headline(), L"蓝牙操作失败");
    EXPECT_EQ(Hex(dialog_->panelColor()), "#D13438");
    EXPECT_TRUE(boxes_.empty());
    EXPECT_TRUE(dialog_->linked());
}

TEST_F(BleDialogTest, WriteFailureOpensABox) {
    Open();
    ScanAndConnect();
    world_->SetWriteStatus(kPrinter, 3);
    Click(IDC_BLE_SEND_WIFI);
    ASSERT_TRUE(Pump([&] { return !dialog_->busy(); }));
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, Tr(TxtBleFailed));
    EXPECT_TRUE(boxes_[0].flags & MB_ICONWARNING);
    EXPECT_TRUE(Enabled(IDC_BLE_SEND_WIFI)) << "the form is usable again";
}

TEST_F(BleDialogTest, SmallPacketFailureSaysSo) {
    config_.maxPdu = 23;
    Open();
    ScanAndConnect();
    world_->SetWriteStatus(kPrinter, 3);
    Click(IDC_BLE_SEND_WIFI);
    ASSERT_TRUE(Pump([&] { return !dialog_->busy(); }));
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, Tr(TxtBleWriteTooSmall));
}

TEST_F(BleDialogTest, FailedConnectReturnsToIdleWithABox) {
    config_.hasCharacteristic = false;
    Open();
    Click(IDC_BLE_SCAN);
    ASSERT_TRUE(Pump([&] { return world_->WatchersRunning() == 0 && Enabled(IDC_BLE_SCAN) && ListCount() == 1; }));
    Click(IDC_BLE_CONNECT);
    ASSERT_TRUE(Pump([&] { return !dialog_->busy(); }));
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, Tr(TxtBleNoService));
    EXPECT_FALSE(dialog_->linked());
    EXPECT_EQ(dialog_->linkedRow(), -1);
    EXPECT_TRUE(Enabled(IDC_BLE_CONNECT));
    EXPECT_FALSE(Enabled(IDC_BLE_SEND_WIFI));
}

TEST_F(BleDialogTest, ClosingDuringAScanReturnsAfterTheWorkerStopped) {
    Open();
    dialog_->SetScanDurationMs(8000);
    Click(IDC_BLE_SCAN);
    ASSERT_TRUE(Pump([&] { return ListCount() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    Click(IDOK);
    EXPECT_FALSE(IsWindow(hwnd_));
    EXPECT_FALSE(worker_->running());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(world_->WatchersRunning(), 0);
    hwnd_ = nullptr;
}

TEST_F(BleDialogTest, RowsAndPanelArePaintedAsTheThemeSays) {
    Open();
    ScanAndConnect();
    const int width = 300;
    const int height = Scale(hwnd_, 56);
    Canvas row(width, height);
    DRAWITEMSTRUCT item{};
    item.CtlType = ODT_LISTBOX;
    item.CtlID = IDC_BLE_DEVICE_LIST;
    item.itemID = 0;
    item.itemAction = ODA_DRAWENTIRE;
    item.itemState = ODS_SELECTED;
    item.hwndItem = GetDlgItem(hwnd_, IDC_BLE_DEVICE_LIST);
    item.hDC = row.dc();
    item.rcItem = RECT{0, 0, width, height};
    SendMessageW(hwnd_, WM_DRAWITEM, IDC_BLE_DEVICE_LIST, reinterpret_cast<LPARAM>(&item));
    const int inset = Scale(hwnd_, 4);
    EXPECT_EQ(Hex(row.At(1, 1)), "#F3F3F3") << "row background";
    EXPECT_EQ(Hex(row.At(width / 2, inset)), "#0078D4") << "selected card outline";
    EXPECT_EQ(Hex(row.At(width - Scale(hwnd_, 14) - 2, inset + 3)), "#E8F2FC") << "selected card fill";

    Canvas panel(600, 68);
    DRAWITEMSTRUCT p{};
    p.CtlType = ODT_STATIC;
    p.CtlID = IDC_BLE_STATUS_PANEL;
    p.itemAction = ODA_DRAWENTIRE;
    p.hwndItem = GetDlgItem(hwnd_, IDC_BLE_STATUS_PANEL);
    p.hDC = panel.dc();
    p.rcItem = RECT{0, 0, 600, 68};
    SendMessageW(hwnd_, WM_DRAWITEM, IDC_BLE_STATUS_PANEL, reinterpret_cast<LPARAM>(&p));
    const int stripX = Scale(hwnd_, 14) + 1;
    EXPECT_EQ(Hex(panel.At(stripX, 34)), Hex(dialog_->panelColor())) << "colour strip";
    EXPECT_EQ(Hex(panel.At(300, 2)), "#FFFFFF") << "white card";
    EXPECT_EQ(Hex(panel.At(300, 0)), "#F3F3F3") << "panel background above the card";
}

// The rows of the panel that hold text pixels (anything but the white card)
// between the strip and the right margin.
struct TextRows {
    int top = -1, bottom = -1;
};
TextRows PanelTextRows(HWND dialog, const Canvas& panel) {
    TextRows rows;
    const int left = Scale(dialog, 14) + Scale(dialog, 4) + Scale(dialog, 12);
    const int right = panel.width() - Scale(dialog, 14);
    for (int y = Scale(dialog, 2); y < panel.height() - Scale(dialog, 2); ++y) {
        for (int x = left; x < right; ++x) {
            if (panel.At(x, y) != RGB(255, 255, 255)) {
                if (rows.top < 0) rows.top = y;
                rows.bottom = y;
                break;
            }
        }
    }
    return rows;
}

void DrawPanel(HWND dialog, Canvas& canvas) {
    DRAWITEMSTRUCT p{};
    p.CtlType = ODT_STATIC;
    p.CtlID = IDC_BLE_STATUS_PANEL;
    p.itemAction = ODA_DRAWENTIRE;
    p.hwndItem = GetDlgItem(dialog, IDC_BLE_STATUS_PANEL);
    p.hDC = canvas.dc();
    p.rcItem = RECT{0, 0, canvas.width(), canvas.height()};
    SendMessageW(dialog, WM_DRAWITEM, IDC_BLE_STATUS_PANEL, reinterpret_cast<LPARAM>(&p));
}

TEST_F(BleDialogTest, EmptyStatusShowsTheHeadlineAloneCentred) {
    Open();
    ScanAndConnect();
    auto event = std::make_unique<BleEvent>();
    event->eventKind = EvStatusRead;
    ASSERT_TRUE(ParseStatus("{}", &event->deviceStatus));
    ASSERT_TRUE(PostMessageW(hwnd_, WM_BLE_EVENT, 0, reinterpret_cast<LPARAM>(event.release())));
    ASSERT_TRUE(Pump([&] { return dialog_->headline() == Tr(TxtStatusNotRead); }));
    EXPECT_TRUE(dialog_->detail().empty());
    EXPECT_EQ(Hex(dialog_->panelColor()), "#605E5C");
    EXPECT_EQ(dialog_->pollMs(), 3000);

    const int height = 68;
    Canvas alone(600, height);
    DrawPanel(hwnd_, alone);
    const TextRows single = PanelTextRows(hwnd_, alone);
    ASSERT_GE(single.top, 0) << "headline drawn";
    EXPECT_NEAR((single.top + single.bottom) / 2.0, height / 2.0, 3.0) << single.top << ".." << single.bottom;

    // With a detail line the headline sits above the middle, the detail below.
    auto detailed = std::make_unique<BleEvent>();
    detailed->eventKind = EvStatusRead;
    ASSERT_TRUE(ParseStatus(R"({"net_status":3,"link_type":1,"ip_mode":0,"ssid":"Office","ip":"192.168.1.5"})",
                            &detailed->deviceStatus));
    ASSERT_TRUE(PostMessageW(hwnd_, WM_BLE_EVENT, 0, reinterpret_cast<LPARAM>(detailed.release())));
    ASSERT_TRUE(Pump([&] { return !dialog_->detail().empty(); }));
    Canvas two(600, height);
    DrawPanel(hwnd_, two);
    const TextRows both = PanelTextRows(hwnd_, two);
    EXPECT_LT(both.top, height / 2 - 4) << "headline above the middle";
    EXPECT_GT(both.bottom, height / 2 + 4) << "detail below the middle";
}

// --- decisions as tables ----------------------------------------------------

TEST(BlePresentation, StatusLinesAndColours) {
    SetUiLanguage("zh-CN");
    struct Row {
        const char* json;
        std::wstring headline, detail;
        const char* color;
    };
    const Row rows[] = {
        {"{}", L"尚未读取", L"", "#605E5C"},
        {R"({"net_status":3,"link_type":1,"ip_mode":0,"ssid":"Office","ip":"192.168.1.5"})", L"已获取 IP  ·  WiFi",
         L"Office    ·    DHCP    ·    192.168.1.5", "#0078D4"},
        {R"({"net_status":4,"link_type":0,"ip_mode":1,"ip":"10.0.0.2"})", L"已接入互联网  ·  以太网",
         L"静态 IP    ·    10.0.0.2", "#107C10"},
        {R"({"net_status":2,"link_type":2})", L"已配网，正在联网  ·  4G", L"", "#CA5010"},
        {R"({"net_status":1,"link_type":7,"ip_mode":5,"ssid":"x"})", L"未配网", L"x", "#605E5C"},
        {R"({"net_status":9})", L"尚未读取", L"", "#605E5C"},
    };
    for (const Row& row : rows) {
        ProvisionStatus status;
        ASSERT_TRUE(ParseStatus(row.json, &status));
        const StatusLines lines = StatusLinesFor(status);
        EXPECT_EQ(lines.headline, row.headline) << row.json;
        EXPECT_EQ(lines.detail, row.detail) << row.json;
        EXPECT_EQ(Hex(StatusColor(status)), row.color) << row.json;
    }
    SetUiLanguage("en-US");
    ProvisionStatus online;
    ASSERT_TRUE(ParseStatus(R"({"net_status":4,"link_type":1})", &online));
    EXPECT_EQ(StatusLinesFor(online).headline, L"Online  \u00B7  Wi-Fi");
    SetUiLanguage("zh-CN");
}

TEST(BlePresentation, ErrorTexts) {
    SetUiLanguage("zh-CN");
    EXPECT_EQ(BleErrorText(ErrNoAdapter, L""), L"本机没有可用的蓝牙");
    EXPECT_EQ(BleErrorText(ErrDeviceNotFound, L"x"), L"找不到这台设备");
    EXPECT_EQ(BleErrorText(ErrNoSetupService, L""), L"设备上没有配网服务");
    EXPECT_EQ(BleErrorText(ErrPacketTooSmall, L""), L"蓝牙一次能写的数据太少，请靠近设备后重新连接");
    EXPECT_EQ(BleErrorText(ErrWriteFailed, L"GATT 3"), L"蓝牙操作失败");
    EXPECT_EQ(BleErrorText(ErrReadFailed, L"junk"), L"蓝牙操作失败");
    EXPECT_EQ(BleErrorText(ErrPlatform, L"E_ACCESSDENIED"), L"E_ACCESSDENIED");
    EXPECT_EQ(BleErrorText(ErrPlatform, L""), L"蓝牙操作失败");
}

TEST(BlePresentation, SsidBytes) {
    EXPECT_EQ(DecodeSsid("Office"), L"Office");
    EXPECT_EQ(DecodeSsid("\xE5\x8A\x9E\xE5\x85\xAC"), L"办公");
    EXPECT_FALSE(DecodeSsid("caf\xE9").empty()) << "not UTF-8: the ANSI code page decodes it";
    EXPECT_EQ(DecodeSsid(""), L"");
    EXPECT_EQ(DecodeSsid(std::string(33, 'a')), L"");
    EXPECT_EQ(DecodeSsid(std::string(32, 'a')).size(), 32u);
    // Under Wine there is no Wi-Fi: empty, and no failure.
    EXPECT_TRUE(CurrentSsid().empty());
}

// --- over the Windows Runtime transport on this machine -------------------

TEST_F(BleDialogTest, WithoutBluetoothTheScanSaysSoAndTheDialogStaysUsable) {
    Open(MakeWinRtTransport());
    Click(IDC_BLE_SCAN);
    ASSERT_TRUE(Pump([&] { return !boxes_.empty() && Enabled(IDC_BLE_SCAN); }, 15000));
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, L"本机没有可用的蓝牙");
    EXPECT_TRUE(boxes_[0].flags & MB_ICONWARNING);
    ASSERT_TRUE(Pump([&] { return dialog_->headline() == Tr(TxtBleHint); }, 5000));
    EXPECT_EQ(TextOf(IDC_BLE_LIST_HINT), Tr(TxtNoDevicesFound));
    EXPECT_FALSE(Enabled(IDC_BLE_CONNECT));
    // And again: nothing was left broken.
    Click(IDC_BLE_SCAN);
    ASSERT_TRUE(Pump([&] { return boxes_.size() == 2 && Enabled(IDC_BLE_SCAN); }, 15000));
    Click(IDOK);
    EXPECT_FALSE(IsWindow(hwnd_));
    hwnd_ = nullptr;
}

}  // namespace
}  // namespace qs
