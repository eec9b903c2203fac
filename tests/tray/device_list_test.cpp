// The device list: the core's `list` reply turned into rows, the demo rows,
// the column layout and hit test as tables, and the real owner-drawn list
// under the X display, driven with synthesized mouse messages.
#include <gtest/gtest.h>
#include <windows.h>
#include <windowsx.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "support/canvas.h"
#include "support/temp_dir.h"
#include "tray/device_list_box.h"
#include "tray/device_rows.h"
#include "tray/tray_messages.h"
#include "ui/theme.h"
#include "ui/ui_text.h"

namespace qs {
namespace {

class ChineseTexts : public ::testing::Test {
protected:
    void SetUp() override { SetUiLanguage("zh-CN"); }
};

// --- list reply → rows -----------------------------------------------------

using RowsFromReply = ChineseTexts;

// One device object per case, wrapped in an ok reply.
DeviceRow OnlyRow(const std::string& deviceJson) {
    const std::vector<DeviceRow> rows =
        RowsFromListReplyText("{\"ok\":true,\"data\":[" + deviceJson + "]}");
    EXPECT_EQ(rows.size(), 1u) << deviceJson;
    return rows.empty() ? DeviceRow{} : rows[0];
}

TEST_F(RowsFromReply, NetworkIsLanOnlyForExactlyLan) {
    struct Case {
        const char* device;
        int state;
        const wchar_t* text;
    };
    const Case cases[] = {
        {R"({"network":"Lan"})", kNetworkLan, L"局域网"},
        {R"({"network":"lan"})", kNetworkCloud, L"云端"},
        {R"({"network":"LAN"})", kNetworkCloud, L"云端"},
        {R"({"network":"离线"})", kNetworkOffline, L"离线"},
        {R"({"network":"offline"})", kNetworkOffline, L"离线"},
        {R"({"network":"Offline"})", kNetworkCloud, L"云端"},
        {R"({"network":"在线"})", kNetworkCloud, L"云端"},
        {R"({"network":""})", kNetworkCloud, L"云端"},
        {R"({"network":1})", kNetworkCloud, L"云端"},
        {R"({})", kNetworkCloud, L"云端"},
    };
    for (const Case& c : cases) {
        const DeviceRow row = OnlyRow(c.device);
        EXPECT_EQ(row.networkState, c.state) << c.device;
        EXPECT_EQ(row.networkText, c.text) << c.device;
    }
}

TEST_F(RowsFromReply, StatusCodesAndTheirTexts) {
    struct Case {
        const char* device;
        int state;
        const wchar_t* text;
    };
    const Case cases[] = {
        {R"({"status":0})", kStatusNormal, L"正常"},
        {R"({"status":101})", kStatusAttention, L"缺纸"},
        {R"({"status":102})", kStatusAttention, L"开盖"},
        {R"({"status":107})", kStatusOffline, L"离线"},
        {R"({"status":109})", kStatusOffline, L"未连接打印机"},
        {R"({"status":"101"})", kStatusAttention, L"缺纸"},      // a string holding the code
        {R"({"status":" 102 "})", kStatusAttention, L"开盖"},
        {R"({"status":"paper"})", kStatusUnknown, L"未知"},      // a string without digits
        {R"({"status":""})", kStatusUnknown, L"未知"},
        {R"({"status":101.9})", kStatusAttention, L"缺纸"},       // truncated, not rounded
        {R"({"status":103})", kStatusUnknown, L"未知"},
        {R"({"status":-1})", kStatusUnknown, L"未知"},
        {R"({"status":true})", kStatusUnknown, L"未知"},
        {R"({"status":null})", kStatusUnknown, L"未知"},
        {R"({})", kStatusUnknown, L"未知"},
    };
    for (const Case& c : cases) {
        const DeviceRow row = OnlyRow(c.device);
        EXPECT_EQ(row.statusState, c.state) << c.device;
        EXPECT_EQ(row.statusText, c.text) << c.device;
    }
}

TEST_F(RowsFromReply, PortNamesThePrinterPortOnlyFromOneUp) {
    struct Case {
        const char* device;
        const wchar_t* text;
    };
    const Case cases[] = {
        {R"({"port":39100})", L"Quillnet39100"},
        {R"({"port":"39101"})", L"Quillnet39101"},
        {R"({"port":1})", L"Quillnet1"},
        {R"({"port":0})", L""},
        {R"({"port":-39100})", L""},
        {R"({"port":"none"})", L""},
        {R"({})", L""},
    };
    for (const Case& c : cases) EXPECT_EQ(OnlyRow(c.device).portText, c.text) << c.device;
}

TEST_F(RowsFromReply, PrinterNameNameAndType) {
    const DeviceRow bound = OnlyRow(
        R"({"sn":"SN01","devname":"前台","model":"X58","printer":"收银小票"})");
    EXPECT_TRUE(bound.bound);
    EXPECT_EQ(bound.printerText, L"收银小票");
    EXPECT_EQ(bound.name, L"前台");
    EXPECT_EQ(bound.typeText, L"X58");
    EXPECT_EQ(bound.sn, L"SN01");
    EXPECT_EQ(bound.snUtf8, "SN01");
    EXPECT_FALSE(bound.demo);

    // Empty members fall back: the serial number names the device, the
    // type is the cloud printer and the printer reads "not bound".
    const DeviceRow plain = OnlyRow(R"({"sn":"SN02","devname":"","model":"","printer":""})");
    EXPECT_FALSE(plain.bound);
    EXPECT_EQ(plain.printerText, L"未绑定");
    EXPECT_EQ(plain.name, L"SN02");
    EXPECT_EQ(plain.typeText, L"云打印机");
}

TEST_F(RowsFromReply, ElementsThatAreNoObjectsOrLackMembersGetDefaults) {
    const std::vector<DeviceRow> rows = RowsFromListReplyText(
        R"({"ok":true,"data":[{},5,"SN",null,[1],{"sn":7,"devname":false,"printer":3}]})");
    ASSERT_EQ(rows.size(), 6u);
    for (size_t i = 0; i < rows.size(); ++i) {
        const DeviceRow& row = rows[i];
        EXPECT_EQ(row.sn, L"") << i;
        EXPECT_EQ(row.snUtf8, "") << i;
        EXPECT_EQ(row.name, L"") << i;
        EXPECT_EQ(row.typeText, L"云打印机") << i;
        EXPECT_EQ(row.networkState, kNetworkCloud) << i;
        EXPECT_EQ(row.statusState, kStatusUnknown) << i;
        EXPECT_EQ(row.portText, L"") << i;
        EXPECT_EQ(row.printerText, L"未绑定") << i;
        EXPECT_FALSE(row.bound) << i;
    }
}

TEST_F(RowsFromReply, OnlyAnOkReplyWithAnArrayGivesRowsInItsOrder) {
    struct Case {
        const char* reply;
        size_t rows;
    };
    const Case cases[] = {
        {R"({"ok":true,"data":[{"sn":"A"},{"sn":"B"},{"sn":"C"}]})", 3},
        {R"({"ok":"1","data":[{"sn":"A"}]})", 1},   // flags also come as strings
        {R"({"ok":1,"data":[{"sn":"A"}]})", 1},
        {R"({"ok":true,"data":[]})", 0},
        {R"({"ok":false,"data":[{"sn":"A"}]})", 0},
        {R"({"data":[{"sn":"A"}]})", 0},
        {R"({"ok":"yes","data":[{"sn":"A"}]})", 0},
        {R"({"ok":true,"data":{"sn":"A"}})", 0},
        {R"({"ok":true})", 0},
        {R"({"ok":false,"error":"打印服务未运行或未安装"})", 0},
        {R"([{"sn":"A"}])", 0},
        {R"({"ok":true,"data":[{"sn":"A"})", 0},  // cut short
        {"", 0},
        {"not json", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(RowsFromListReplyText(c.reply).size(), c.rows) << c.reply;

    const auto rows = RowsFromListReplyText(R"({"ok":true,"data":[{"sn":"C"},{"sn":"A"},{"sn":"B"}]})");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].sn, L"C");
    EXPECT_EQ(rows[1].sn, L"A");
    EXPECT_EQ(rows[2].sn, L"B");
    EXPECT_TRUE(RowsFromListReply(nullptr).empty());
}

TEST(RowsFromReplyLanguage, TextsFollowTheUiLanguageWhenBuilt) {
    SetUiLanguage("en-US");
    const DeviceRow row = RowsFromListReplyText(
        R"({"ok":true,"data":[{"sn":"SN9","network":"Lan","status":"101"}]})")[0];
    SetUiLanguage("zh-CN");
    EXPECT_EQ(row.networkText, L"LAN");
    EXPECT_EQ(row.statusText, L"Out of paper");
    EXPECT_EQ(row.printerText, L"Not bound");
    EXPECT_EQ(row.typeText, L"Cloud printer");
}

// --- demo rows ---------------------------------------------------------------

using DemoRowsTest = ChineseTexts;

TEST_F(DemoRowsTest, ReplaceAnEmptyListOnlyWhenAskedFor) {
    const std::vector<DeviceRow> real =
        RowsFromListReplyText(R"({"ok":true,"data":[{"sn":"REAL1","printer":"Q"}]})");

    const auto shownReal = RowsToShow(real, true);
    ASSERT_EQ(shownReal.size(), 1u);
    EXPECT_EQ(shownReal[0].sn, L"REAL1");
    EXPECT_FALSE(shownReal[0].demo);
    EXPECT_TRUE(RowsToShow({}, false).empty());

    const auto demo = RowsToShow({}, true);
    ASSERT_EQ(demo.size(), 2u);
    EXPECT_EQ(demo[0].snUtf8, "DEMO00000001");
    EXPECT_EQ(demo[0].sn, L"DEMO00000001");
    EXPECT_EQ(demo[0].name, L"前台小票机");
    EXPECT_EQ(demo[0].typeText, L"云打印机");
    EXPECT_EQ(demo[0].networkState, kNetworkCloud);
    EXPECT_EQ(demo[0].networkText, L"云端");
    EXPECT_EQ(demo[0].portText, L"Quillnet39100");
    EXPECT_EQ(demo[0].printerText, L"Quillnet-DEMO00000001");
    EXPECT_TRUE(demo[0].bound);
    EXPECT_EQ(demo[0].statusState, kStatusNormal);
    EXPECT_EQ(demo[0].statusText, L"正常");

    EXPECT_EQ(demo[1].snUtf8, "DEMO00000002");
    EXPECT_EQ(demo[1].name, L"仓库标签机");
    EXPECT_EQ(demo[1].networkState, kNetworkLan);
    EXPECT_EQ(demo[1].networkText, L"局域网");
    EXPECT_EQ(demo[1].portText, L"Quillnet39101");
    EXPECT_EQ(demo[1].printerText, L"未绑定");
    EXPECT_FALSE(demo[1].bound);
    EXPECT_EQ(demo[1].statusState, kStatusAttention);
    EXPECT_EQ(demo[1].statusText, L"缺纸");
    EXPECT_TRUE(demo[0].demo && demo[1].demo);
}

TEST(DemoRowsVariable, DefinedEvenWhenEmpty) {
    ASSERT_TRUE(SetEnvironmentVariableW(L"QSTN_DEMO_DEVICES", nullptr) ||
                GetLastError() == ERROR_ENVVAR_NOT_FOUND);
    EXPECT_FALSE(DemoRowsRequested());
    ASSERT_TRUE(SetEnvironmentVariableW(L"QSTN_DEMO_DEVICES", L"1"));
    EXPECT_TRUE(DemoRowsRequested());
    ASSERT_TRUE(SetEnvironmentVariableW(L"QSTN_DEMO_DEVICES", L""));
    EXPECT_TRUE(DemoRowsRequested());
    SetEnvironmentVariableW(L"QSTN_DEMO_DEVICES", nullptr);
    EXPECT_FALSE(DemoRowsRequested());
}

// --- layout, hit test, measuring ----------------------------------------------

TEST(ColumnLayoutTest, NarrowListKeeps240PixelsForTheData) {
    const ColumnLayoutResult c = ColumnLayout(400);
    const int expected[8][2] = {{14, 52},  {76, 44},  {130, 29}, {169, 31},
                                {210, 31}, {251, 50}, {192, 112}, {314, 72}};
    for (int i = 0; i < kListColumnCount; ++i) {
        EXPECT_EQ(c[i].x, expected[i][0]) << i;
        EXPECT_EQ(c[i].width, expected[i][1]) << i;
    }
    // Anything narrower keeps the same data columns.
    const ColumnLayoutResult tiny = ColumnLayout(100);
    for (int i = 0; i < kColumnBindButton; ++i) {
        EXPECT_EQ(tiny[i].x, c[i].x) << i;
        EXPECT_EQ(tiny[i].width, c[i].width) << i;
    }
    EXPECT_EQ(tiny[kColumnBindButton].x, 100 - 208);
}

TEST(ColumnLayoutTest, WideListSharesByWeightWithExactTruncation) {
    // 1152 leaves 910 pixels: every weight gives a whole number, which a
    // float computation can land just below.
    const ColumnLayoutResult even = ColumnLayout(1152);
    const int widths[6] = {200, 170, 110, 120, 120, 190};
    int x = 14;
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(even[i].x, x) << i;
        EXPECT_EQ(even[i].width, widths[i]) << i;
        x += widths[i] + 10;
    }
    EXPECT_EQ(even[kColumnBindButton].x, 1152 - 208);
    EXPECT_EQ(even[kColumnDeleteButton].x, 1152 - 86);

    const ColumnLayoutResult wide = ColumnLayout(1242);  // 1000 pixels
    const int wideWidths[6] = {219, 186, 120, 131, 131, 208};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(wide[i].width, wideWidths[i]) << i;
    // Whatever the width, the data columns end near W - 178, past the bind
    // button's left edge: the button is drawn over the printer column's end.
    EXPECT_GT(wide[kColumnPrinter].x + wide[kColumnPrinter].width, wide[kColumnBindButton].x);
}

TEST(RowButtonAtTest, AreasAroundTheDrawnButtons) {
    for (int width : {400, 800, 1242}) {
        struct Case {
            int x;
            int button;
        };
        const Case cases[] = {
            {width - 91, kDeviceActionDelete},  // between the buttons: delete wins
            {width - 95, kDeviceActionBind},
            {width - 10, kDeviceActionDelete},  // 4 px past the delete button's edge
            {width - 92, kDeviceActionDelete},
            {width - 93, kDeviceActionBind},
            {width - 9, kDeviceActionDelete},
            {width - 8, -1},
            {width - 214, kDeviceActionBind},
            {width - 215, -1},
            {20, -1},
        };
        for (const Case& c : cases) EXPECT_EQ(RowButtonAt(c.x, width), c.button) << width << " x=" << c.x;
    }
}

TEST(RowHeightForTest, TwoLinesAndPaddingAtLeast52) {
    EXPECT_EQ(RowHeightFor(13, 11), 52);
    EXPECT_EQ(RowHeightFor(16, 12), 52);
    EXPECT_EQ(RowHeightFor(17, 12), 53);
    EXPECT_EQ(RowHeightFor(27, 24), 75);
}

TEST(NameLinesForTest, EachLineAsTallAsItsFont) {
    struct Case {
        int cardTop, cardBottom, boldHeight, smallHeight;
        int nameTop, typeTop, typeBottom;
    };
    const Case cases[] = {
        {3, 49, 13, 11, 15, 28, 39},   // 52-pixel minimum row: 4 spare pixels split
        {3, 68, 25, 22, 13, 38, 60},   // measured row at 144 dpi: 10 above, 8 below
        {103, 149, 16, 12, 113, 129, 141},
        {3, 40, 20, 20, 13, 33, 53},   // too short a card: no negative spare
    };
    for (const Case& c : cases) {
        const NameLines lines = NameLinesFor(c.cardTop, c.cardBottom, c.boldHeight, c.smallHeight);
        EXPECT_EQ(lines.nameTop, c.nameTop) << c.boldHeight << "/" << c.smallHeight;
        EXPECT_EQ(lines.typeTop, c.typeTop) << c.boldHeight << "/" << c.smallHeight;
        EXPECT_EQ(lines.typeBottom, c.typeBottom) << c.boldHeight << "/" << c.smallHeight;
    }
}

TEST(RowPointerTest, OnlyAPressReleasedOnTheSameButtonCounts) {
    using Spot = RowPointer::Spot;
    struct Case {
        const char* name;
        Spot down, up;
        bool leaveBetween;
        Spot reported;
    };
    const Case cases[] = {
        {"bind, released on delete", {0, 0}, {0, 1}, false, {}},
        {"delete, released on delete", {1, 1}, {1, 1}, false, {1, 1}},
        {"bind, released on bind", {2, 0}, {2, 0}, false, {2, 0}},
        {"delete, released on another row", {0, 1}, {1, 1}, false, {}},
        {"no button", {0, -1}, {0, -1}, false, {}},
        {"outside every row", {-1, 1}, {-1, 1}, false, {}},
        {"mouse left the list in between", {1, 1}, {1, 1}, true, {}},
    };
    for (const Case& c : cases) {
        RowPointer pointer;
        pointer.OnButtonDown(c.down);
        EXPECT_EQ(pointer.press(), c.down) << c.name;
        EXPECT_EQ(pointer.hover(), c.down) << c.name;
        if (c.leaveBetween) pointer.Clear();
        RowPointer::HoverChange change;
        EXPECT_EQ(pointer.OnButtonUp(c.up, &change), c.reported) << c.name;
        EXPECT_EQ(pointer.press(), Spot{}) << c.name;
        EXPECT_EQ(pointer.hover(), c.up) << c.name;
    }
    RowPointer fresh;
    EXPECT_EQ(fresh.OnButtonUp({0, 1}, nullptr), Spot{});  // a release without a press
}

TEST(RowPointerTest, HoverChangesNameTheRowToRepaint) {
    RowPointer pointer;
    EXPECT_FALSE(pointer.SetHover({}).changed);
    auto change = pointer.SetHover({2, -1});
    EXPECT_TRUE(change.changed);
    EXPECT_EQ(change.before.row, -1);
    EXPECT_FALSE(pointer.SetHover({2, -1}).changed);
    change = pointer.SetHover({2, 0});
    EXPECT_TRUE(change.changed);
    EXPECT_EQ(change.before, (RowPointer::Spot{2, -1}));
    change = pointer.Clear();
    EXPECT_TRUE(change.changed);
    EXPECT_EQ(change.before, (RowPointer::Spot{2, 0}));
    EXPECT_EQ(pointer.hover(), RowPointer::Spot{});
}

// --- the real control ------------------------------------------------------------

void PumpPending() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

struct Action {
    int row;
    int action;
};

// A top-level window that hosts the list the way the main window does: it
// passes measuring and drawing on and records what the list reports.
class ListHost {
public:
    ListHost() {
        static bool registered = [] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = &ListHost::Proc;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = L"QsListHostTest";
            wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
            return RegisterClassW(&wc) != 0;
        }();
        EXPECT_TRUE(registered);
        window_ = CreateWindowExW(0, L"QsListHostTest", L"list host", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                                  40, 40, 900, 500, nullptr, nullptr, GetModuleHandleW(nullptr), this);
        EXPECT_NE(window_, nullptr);
    }
    ~ListHost() {
        if (window_) DestroyWindow(window_);
        PumpPending();
    }
    HWND window() const { return window_; }
    std::vector<Action> actions;

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<ListHost*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        switch (message) {
            case WM_MEASUREITEM:
                if (DeviceListBox::MeasureIfOurs(window, reinterpret_cast<MEASUREITEMSTRUCT*>(lParam))) return TRUE;
                break;
            case WM_DRAWITEM:
                if (DeviceListBox::DrawIfOurs(*reinterpret_cast<DRAWITEMSTRUCT*>(lParam))) return TRUE;
                break;
            case WM_DEVICE_ACTION:
                if (self) self->actions.push_back({static_cast<int>(wParam), static_cast<int>(lParam)});
                return 0;
            default:
                break;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    HWND window_ = nullptr;
};

std::vector<DeviceRow> SampleRows(int count) {
    std::vector<DeviceRow> rows;
    for (int i = 0; i < count; ++i) {
        const std::string sn = "SN" + std::to_string(10000 + i);
        const char* network = i % 3 == 0 ? "Lan" : (i % 3 == 1 ? "" : "offline");
        const int status = i % 2 == 0 ? 0 : 101;
        const std::string json = "{\"sn\":\"" + sn + "\",\"devname\":\"设备" + std::to_string(i) +
                                 "\",\"network\":\"" + network + "\",\"port\":" +
                                 std::to_string(39100 + i) + ",\"status\":" + std::to_string(status) +
                                 (i % 2 == 0 ? ",\"printer\":\"Queue\"" : "") + "}";
        rows.push_back(RowsFromListReplyText("{\"ok\":true,\"data\":[" + json + "]}").at(0));
    }
    return rows;
}

class DeviceListWindow : public ChineseTexts {
protected:
    void SetUp() override {
        ChineseTexts::SetUp();
        RECT client{};
        GetClientRect(host_.window(), &client);
        list_ = box_.Create(host_.window(), 1001, RECT{16, 16, client.right - 16, client.bottom - 16});
        ASSERT_NE(list_, nullptr);
        SendMessageW(list_, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
        box_.SetButtonLabels(Tr(TxtBindPrinter), Tr(TxtDelete));
        box_.SetRows(SampleRows(3));
        PumpPending();
    }

    int Width() const {
        RECT client{};
        GetClientRect(list_, &client);
        return client.right;
    }
    int MiddleOf(int row) const {
        RECT item{};
        SendMessageW(list_, LB_GETITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
        return (item.top + item.bottom) / 2;
    }
    void Send(UINT message, int x, int y) {
        const WPARAM keys = message == WM_LBUTTONDOWN ? MK_LBUTTON : 0;
        SendMessageW(list_, message, keys, MAKELPARAM(x, y));
    }
    void Click(int x, int y) {
        Send(WM_LBUTTONDOWN, x, y);
        Send(WM_LBUTTONUP, x, y);
    }

    ListHost host_;
    DeviceListBox box_;
    HWND list_ = nullptr;
};

TEST_F(DeviceListWindow, RowsAreMeasuredAndCounted) {
    EXPECT_EQ(SendMessageW(list_, LB_GETCOUNT, 0, 0), 3);
    EXPECT_GE(box_.rowHeight(), 52);
    EXPECT_EQ(SendMessageW(list_, LB_GETITEMHEIGHT, 0, 0), box_.rowHeight());
    const LONG_PTR style = GetWindowLongPtrW(list_, GWL_STYLE);
    EXPECT_TRUE(style & LBS_OWNERDRAWVARIABLE);
    EXPECT_TRUE(style & LBS_NOTIFY);
    EXPECT_EQ(DeviceListBox::FromWindow(list_), &box_);

    box_.SetRows({});
    EXPECT_EQ(SendMessageW(list_, LB_GETCOUNT, 0, 0), 0);
    box_.SetRows(SampleRows(5));
    EXPECT_EQ(SendMessageW(list_, LB_GETCOUNT, 0, 0), 5);
    box_.ResetFonts();
    EXPECT_EQ(SendMessageW(list_, LB_GETCOUNT, 0, 0), 5);
    EXPECT_EQ(box_.rows().size(), 5u);
}

TEST_F(DeviceListWindow, ClickSequencesOnTheRowButtons) {
    const int w = Width();
    const int bindX = w - 150;
    const int deleteX = w - 50;

    // Down on bind, up on delete: nothing.
    Send(WM_LBUTTONDOWN, bindX, MiddleOf(0));
    EXPECT_EQ(box_.press(), (RowPointer::Spot{0, 0}));
    Send(WM_LBUTTONUP, deleteX, MiddleOf(0));
    EXPECT_TRUE(host_.actions.empty());
    EXPECT_EQ(box_.press(), RowPointer::Spot{});

    // Down and up on delete: delete of that row.
    Click(deleteX, MiddleOf(1));
    ASSERT_EQ(host_.actions.size(), 1u);
    EXPECT_EQ(host_.actions[0].row, 1);
    EXPECT_EQ(host_.actions[0].action, kDeviceActionDelete);

    // Bind, and the edges of the hit areas.
    host_.actions.clear();
    Click(bindX, MiddleOf(2));
    Click(w - 91, MiddleOf(0));
    Click(w - 95, MiddleOf(0));
    Click(w - 10, MiddleOf(2));   // 4 pixels right of the drawn delete button
    Click(w - 300, MiddleOf(0));  // on the card, no button
    const std::vector<std::pair<int, int>> expected = {
        {2, kDeviceActionBind}, {0, kDeviceActionDelete}, {0, kDeviceActionBind}, {2, kDeviceActionDelete}};
    ASSERT_EQ(host_.actions.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(host_.actions[i].row, expected[i].first) << i;
        EXPECT_EQ(host_.actions[i].action, expected[i].second) << i;
    }

    // Down on one row's delete, up on the next row's: nothing.
    host_.actions.clear();
    Send(WM_LBUTTONDOWN, deleteX, MiddleOf(0));
    Send(WM_LBUTTONUP, deleteX, MiddleOf(1));
    // A press that the mouse leaving cancelled: nothing either.
    Send(WM_LBUTTONDOWN, deleteX, MiddleOf(1));
    SendMessageW(list_, WM_MOUSELEAVE, 0, 0);
    EXPECT_EQ(box_.press(), RowPointer::Spot{});
    EXPECT_EQ(box_.hover(), RowPointer::Spot{});
    Send(WM_LBUTTONUP, deleteX, MiddleOf(1));
    // Below the last row is outside every item.
    Click(deleteX, MiddleOf(2) + box_.rowHeight() * 2);
    EXPECT_TRUE(host_.actions.empty());
}

TEST_F(DeviceListWindow, RightClickAsksForTheRowMenuOnlyOnARow) {
    Send(WM_RBUTTONUP, 60, MiddleOf(1));
    Send(WM_RBUTTONUP, 60, MiddleOf(2) + box_.rowHeight() * 2);
    ASSERT_EQ(host_.actions.size(), 1u);
    EXPECT_EQ(host_.actions[0].row, 1);
    EXPECT_EQ(host_.actions[0].action, kDeviceActionMenu);
}

TEST_F(DeviceListWindow, ButtonsWithoutLabelsStillTakeClicks) {
    box_.SetButtonLabels(L"", L"");
    Click(Width() - 50, MiddleOf(0));
    ASSERT_EQ(host_.actions.size(), 1u);
    EXPECT_EQ(host_.actions[0].action, kDeviceActionDelete);
}

TEST_F(DeviceListWindow, HoverFollowsTheMouseAndNewRowsForgetIt) {
    const int w = Width();
    Send(WM_MOUSEMOVE, w - 150, MiddleOf(1));
    EXPECT_EQ(box_.hover(), (RowPointer::Spot{1, 0}));
    Send(WM_MOUSEMOVE, w - 50, MiddleOf(1));
    EXPECT_EQ(box_.hover(), (RowPointer::Spot{1, 1}));
    Send(WM_MOUSEMOVE, 60, MiddleOf(2));
    EXPECT_EQ(box_.hover(), (RowPointer::Spot{2, -1}));
    Send(WM_LBUTTONDOWN, w - 50, MiddleOf(0));
    box_.SetRows(SampleRows(3));
    EXPECT_EQ(box_.hover(), RowPointer::Spot{});
    EXPECT_EQ(box_.press(), RowPointer::Spot{});
    Send(WM_LBUTTONUP, w - 50, MiddleOf(0));
    EXPECT_TRUE(host_.actions.empty());
}

TEST_F(DeviceListWindow, HandCursorOnlyOverARowButton) {
    const HCURSOR hand = LoadCursorW(nullptr, IDC_HAND);
    auto cursorAt = [&](int x, int y) {
        POINT screen{x, y};
        ClientToScreen(list_, &screen);
        SetCursorPos(screen.x, screen.y);
        SetCursor(LoadCursorW(nullptr, IDC_ARROW));
        SendMessageW(list_, WM_SETCURSOR, reinterpret_cast<WPARAM>(list_), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
        return GetCursor();
    };
    POINT probe{};
    ASSERT_TRUE(SetCursorPos(300, 300));
    ASSERT_TRUE(GetCursorPos(&probe));
    if (probe.x != 300 || probe.y != 300) GTEST_SKIP() << "the display does not move the pointer";
    EXPECT_EQ(cursorAt(Width() - 50, MiddleOf(0)), hand);
    EXPECT_EQ(cursorAt(Width() - 150, MiddleOf(1)), hand);
    EXPECT_NE(cursorAt(60, MiddleOf(1)), hand);
    EXPECT_NE(cursorAt(Width() - 50, MiddleOf(2) + box_.rowHeight() * 2), hand);  // below the rows
}

TEST_F(DeviceListWindow, WheelScrollsAndTheHoverFollowsTheRowUnderThePointer) {
    box_.SetRows(SampleRows(30));
    const int y = MiddleOf(0);
    Send(WM_MOUSEMOVE, 60, y);
    EXPECT_EQ(box_.hover().row, 0);
    POINT screen{60, y};
    ClientToScreen(list_, &screen);
    SendMessageW(list_, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-WHEEL_DELTA)),
                 MAKELPARAM(screen.x, screen.y));
    const int top = static_cast<int>(SendMessageW(list_, LB_GETTOPINDEX, 0, 0));
    ASSERT_GT(top, 0);
    EXPECT_EQ(box_.hover().row, top);
}

using test::Canvas;

std::string Hex(COLORREF c) {
    char text[16];
    std::snprintf(text, sizeof(text), "#%02X%02X%02X", GetRValue(c), GetGValue(c), GetBValue(c));
    return text;
}

TEST_F(DeviceListWindow, PaintsCardsPillsAndButtonStates) {
    const int w = 800;
    const int h = box_.rowHeight();
    const ColumnLayoutResult c = ColumnLayout(w);
    auto draw = [&](Canvas& canvas, int row) {
        DRAWITEMSTRUCT item{};
        item.CtlType = ODT_LISTBOX;
        item.itemID = static_cast<UINT>(row);
        item.itemAction = ODA_DRAWENTIRE;
        item.hwndItem = list_;
        item.hDC = canvas.dc();
        item.rcItem = RECT{0, 0, w, h};
        box_.Draw(item);
    };
    const int mid = h / 2;
    const int gapX = c[kColumnName].x + c[kColumnName].width + 5;  // between two columns

    using namespace palette;
    {
        Canvas canvas(w, h);
        draw(canvas, 0);  // LAN, normal
        EXPECT_EQ(Hex(canvas.At(4, mid)), Hex(kPage));
        EXPECT_EQ(Hex(canvas.At(gapX, mid)), Hex(kWhite));
        EXPECT_EQ(Hex(canvas.At(c[kColumnNetwork].x + 4, mid)), Hex(kAccent));
        EXPECT_EQ(Hex(canvas.At(c[kColumnStatus].x + 4, mid)), Hex(kSuccess));
        EXPECT_EQ(Hex(canvas.At(w - 86 + 6, mid)), Hex(kWhite));   // delete button, plain
        EXPECT_EQ(Hex(canvas.At(w - 86, mid)), Hex(kRedRowOutline));
        EXPECT_EQ(Hex(canvas.At(w - 208, mid)), Hex(kBlueRowOutline));
    }
    {
        Canvas canvas(w, h);
        draw(canvas, 1);  // cloud, out of paper
        EXPECT_EQ(Hex(canvas.At(c[kColumnNetwork].x + 4, mid)), Hex(kSuccess));
        EXPECT_EQ(Hex(canvas.At(c[kColumnStatus].x + 4, mid)), Hex(kAttention));
    }
    {
        // Hover on row 2's delete button: hovered card and button fills; a
        // press on its bind button: the pressed blue fill.
        SendMessageW(list_, WM_MOUSEMOVE, 0, MAKELPARAM(Width() - 50, MiddleOf(2)));
        Canvas canvas(w, h);
        draw(canvas, 2);  // offline
        EXPECT_EQ(Hex(canvas.At(gapX, mid)), Hex(kHoverFill));
        EXPECT_EQ(Hex(canvas.At(c[kColumnNetwork].x + 4, mid)), Hex(kTextDisabled));
        EXPECT_EQ(Hex(canvas.At(w - 86 + 6, mid)), Hex(kRedRowHover));
        EXPECT_EQ(Hex(canvas.At(w - 208 + 6, mid)), Hex(kWhite));

        SendMessageW(list_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(Width() - 150, MiddleOf(2)));
        Canvas pressed(w, h);
        draw(pressed, 2);
        EXPECT_EQ(Hex(pressed.At(w - 208 + 6, mid)), Hex(kBlueRowPressed));
        SendMessageW(list_, WM_LBUTTONUP, 0, MAKELPARAM(Width() - 150, MiddleOf(2)));
    }
    {
        // A long printer name stops before the bind button: the strip just
        // left of the button holds no text.
        std::vector<DeviceRow> rows = SampleRows(1);
        rows[0].printerText = std::wstring(60, L'W');
        box_.SetRows(rows);
        Canvas canvas(w, h);
        draw(canvas, 0);
        for (int y = mid - 6; y <= mid + 6; ++y) {
            for (int x = w - 213; x < w - 208; ++x) {
                ASSERT_EQ(Hex(canvas.At(x, y)), Hex(kWhite)) << x << "," << y;
            }
        }
        bool ink = false;
        for (int x = c[kColumnPrinter].x; x < w - 214 && !ink; ++x) ink = canvas.At(x, mid) != kWhite;
        EXPECT_TRUE(ink);
    }
    {
        // No labels: no buttons drawn, the card shows through.
        box_.SetButtonLabels(L"", L"");
        Canvas canvas(w, h);
        draw(canvas, 0);
        EXPECT_EQ(Hex(canvas.At(w - 86, mid)), Hex(kWhite));
        EXPECT_EQ(Hex(canvas.At(w - 208, mid)), Hex(kWhite));
    }
}

// Live GDI objects of this process. Wine's GetGuiResources is a stub that
// returns 0; there a handle value without its generation word still names
// the table entry, so probing every entry counts the objects.
DWORD GdiObjectCount() {
    const DWORD reported = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (reported > 0) return reported;
    DWORD count = 0;
    for (uintptr_t index = 1; index < 0x10000; ++index) {
        if (GetObjectType(reinterpret_cast<HGDIOBJ>(index)) != 0) ++count;
    }
    return count;
}

BOOL CALLBACK CountChild(HWND, LPARAM total) {
    ++*reinterpret_cast<DWORD*>(total);
    return TRUE;
}

BOOL CALLBACK CountWindow(HWND window, LPARAM total) {
    ++*reinterpret_cast<DWORD*>(total);
    EnumChildWindows(window, &CountChild, total);
    return TRUE;
}

// User objects; where GetGuiResources gives nothing, the windows of this
// thread with their children (the only user objects the list could leak).
DWORD UserObjectCount() {
    const DWORD reported = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    if (reported > 0) return reported;
    DWORD count = 0;
    EnumThreadWindows(GetCurrentThreadId(), &CountWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

TEST(GdiObjectCountTest, SeesObjectsComeAndGo) {
    const DWORD before = GdiObjectCount();
    HBRUSH brushes[5];
    for (HBRUSH& brush : brushes) brush = CreateSolidBrush(RGB(1, 2, 3));
    EXPECT_EQ(GdiObjectCount(), before + 5);
    for (HBRUSH brush : brushes) DeleteObject(brush);
    EXPECT_EQ(GdiObjectCount(), before);
}

TEST_F(DeviceListWindow, FiftyRowsThousandTimesLeaveNoGdiOrUserObjects) {
    ShowWindow(host_.window(), SW_SHOWNOACTIVATE);
    UpdateWindow(host_.window());
    PumpPending();
    const std::vector<DeviceRow> rows = SampleRows(50);
    auto repaint = [&] { RedrawWindow(list_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW); };
    // Warm up: the fonts and the list box's own allocations exist after the
    // first fill and paint.
    box_.SetRows(rows);
    repaint();
    PumpPending();
    const DWORD gdiBefore = GdiObjectCount();
    const DWORD userBefore = UserObjectCount();

    using Clock = std::chrono::steady_clock;
    auto msSince = [](Clock::time_point start) {
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    };
    auto start = Clock::now();
    for (int i = 0; i < 100; ++i) box_.SetRows(rows);
    const double setMs = msSince(start) / 100;
    start = Clock::now();
    for (int i = 0; i < 100; ++i) repaint();
    const double paintMs = msSince(start) / 100;
    start = Clock::now();
    const int cycles = test::Repetitions(1000, 200);
    for (int i = 0; i < cycles; ++i) {
        box_.SetRows(rows);
        repaint();
    }
    const double cycleMs = msSince(start) / cycles;
    PumpPending();
    const DWORD gdiAfter = GdiObjectCount();
    const DWORD userAfter = UserObjectCount();
    std::printf("device list, 50 rows: SetRows %.3f ms, full paint %.3f ms, both %.3f ms "
                "(%d cycles); GDI objects %lu -> %lu, user objects %lu -> %lu\n",
                setMs, paintMs, cycleMs, cycles, static_cast<unsigned long>(gdiBefore),
                static_cast<unsigned long>(gdiAfter), static_cast<unsigned long>(userBefore),
                static_cast<unsigned long>(userAfter));
    EXPECT_GT(gdiBefore, 0u);
    EXPECT_LE(gdiAfter, gdiBefore);
    EXPECT_LE(userAfter, userBefore);
}

}  // namespace
}  // namespace qs
