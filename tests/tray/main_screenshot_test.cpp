// Screenshots of the main window as checks: the demo rows, the empty state
// and the absent core, in Chinese and English, painted with WM_PRINT into a
// memory bitmap (Wine's PrintWindow gives black) and written as PNG files
// into the build folder (tests/tray/screenshots). The same program runs at
// 96 dpi and, in a prefix copy with LogPixels 144, at 144 dpi; the pixels
// that a broken paint would change are asserted.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "png_writer.h"
#include "support/message_pump.h"
#include "tray/device_list_box.h"
#include "tray/main_dlg.h"
#include "tray/tray_service.h"
#include "ui/core_request.h"
#include "ui/fake_core.h"
#include "ui/message_box.h"
#include "ui/theme.h"
#include "ui/ui_text.h"

namespace qs {
namespace {

int ExpectedDpi() {
    const char* value = std::getenv("QS_SCREEN_DPI");
    return value ? std::atoi(value) : 96;
}

using test::Pump;

// The client area, painted through WM_PRINT/WM_PRINTCLIENT into a memory
// bitmap: Wine's dialogs ignore PRF_CHILDREN, so each visible child is
// printed at its place, bottom of the z-order first.
struct Capture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // top-down BGRA

    COLORREF At(int x, int y) const {
        if (x < 0 || y < 0 || x >= width || y >= height) return CLR_INVALID;
        const uint32_t p = pixels[static_cast<size_t>(y) * width + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
};

// Each child paints into a bitmap of its own at (0, 0), which is then copied
// to its place: Wine's controls clip wrongly under a moved viewport origin.
void PrintChildren(HWND parent, HDC target, POINT origin) {
    std::vector<HWND> children;
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) children.push_back(c);
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        HWND child = *it;
        if ((GetWindowLongPtrW(child, GWL_STYLE) & WS_VISIBLE) == 0) continue;
        RECT r{};
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
        const int w = r.right - r.left;
        const int h = r.bottom - r.top;
        if (w <= 0 || h <= 0) continue;
        HDC dc = CreateCompatibleDC(target);
        HBITMAP bitmap = CreateCompatibleBitmap(target, w, h);
        HGDIOBJ old = SelectObject(dc, bitmap);
        // What the parent's background would show through.
        BitBlt(dc, 0, 0, w, h, target, origin.x + r.left, origin.y + r.top, SRCCOPY);
        SendMessageW(child, WM_PRINT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT | PRF_ERASEBKGND);
        BitBlt(target, origin.x + r.left, origin.y + r.top, w, h, dc, 0, 0, SRCCOPY);
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
        PrintChildren(child, target, POINT{origin.x + r.left, origin.y + r.top});
    }
}

Capture CaptureClient(HWND window) {
    Capture c;
    RECT client{};
    GetClientRect(window, &client);
    c.width = client.right;
    c.height = client.bottom;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = c.width;
    info.bmiHeader.biHeight = -c.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (!dc || !bitmap || !bits) {
        if (bitmap) DeleteObject(bitmap);
        if (dc) DeleteDC(dc);
        return c;
    }
    HGDIOBJ old = SelectObject(dc, bitmap);
    SendMessageW(window, WM_PRINT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT | PRF_ERASEBKGND);
    PrintChildren(window, dc, POINT{0, 0});
    GdiFlush();
    const auto* p = static_cast<const uint32_t*>(bits);
    c.pixels.assign(p, p + static_cast<size_t>(c.width) * c.height);
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    return c;
}

RECT ChildRect(HWND window, int id) {
    RECT r{};
    HWND child = GetDlgItem(window, id);
    if (!child) return r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::string Hex(COLORREF c) {
    char text[16];
    std::snprintf(text, sizeof(text), "#%02X%02X%02X", GetRValue(c), GetGValue(c), GetBValue(c));
    return text;
}

enum class Face { kDemoRows, kEmpty, kCoreAbsent };

class MainScreenshotTest : public ::testing::TestWithParam<std::tuple<Face, const char*>> {
protected:
    static void SetUpTestSuite() {
        // As quillstone.exe does: the window sees the session's real DPI.
        SetProcessDPIAware();
        CreateDirectoryW(L"screenshots", nullptr);
    }
    void SetUp() override {
        SetStartServiceFn([] { return false; });
        SetElevatedLaunchFn([](const std::wstring&, const std::wstring&) -> DWORD { return ERROR_CANCELLED; });
        SetMessageBoxFn([](HWND, const std::wstring&, const std::wstring&, UINT) { return IDOK; });
    }
    void TearDown() override {
        SetStartServiceFn(nullptr);
        SetElevatedLaunchFn(nullptr);
        SetMessageBoxFn(nullptr);
        SetCorePipeName(L"");
        SetEnvironmentVariableW(L"QSTN_DEMO_DEVICES", nullptr);
        SetUiLanguage("zh-CN");
    }
};

TEST_P(MainScreenshotTest, PaintsItsBandsButtonsAndFooter) {
    const Face face = std::get<0>(GetParam());
    const std::string language = std::get<1>(GetParam());
    SetUiLanguage(language);
    test::FakeCore core;
    core.SetReply("list", R"({"ok":true,"data":[]})");
    core.SetReply("jobtip", R"({"ok":true,"data":{"id":0}})");
    ASSERT_TRUE(core.Start());
    if (face == Face::kCoreAbsent) {
        SetCorePipeName(test::UniquePipeName());
    } else {
        SetCorePipeName(core.PipeName());
    }
    if (face == Face::kDemoRows) SetEnvironmentVariableW(L"QSTN_DEMO_DEVICES", L"1");

    HWND window = MainDlg::Create(GetModuleHandleW(nullptr));
    ASSERT_TRUE(window);
    const int dpi = DpiOf(window);
    EXPECT_EQ(dpi, ExpectedDpi()) << "the prefix's LogPixels did not reach the window";
    auto S = [dpi](int x) { return ScaleForDpi(x, dpi); };
    // The smallest size the user can drag to.
    SetWindowPos(window, nullptr, 0, 0, S(1040), S(460), SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(window, SW_SHOWNOACTIVATE);
    UpdateWindow(window);
    Pump(300);

    const Capture shot = CaptureClient(window);
    ASSERT_FALSE(shot.pixels.empty());
    static const char* const kFaceNames[] = {"demo", "empty", "absent"};
    const std::wstring name = L"screenshots\\main_" +
                              Utf8ToWide(kFaceNames[static_cast<int>(face)]) + L"_" +
                              Utf8ToWide(language) + L"_" + std::to_wstring(dpi) + L".png";
    EXPECT_TRUE(test::WritePng(name, shot.width, shot.height, shot.pixels.data()));

    RECT client{};
    GetClientRect(window, &client);
    const int W = client.right;
    const int H = client.bottom;
    const RECT add = ChildRect(window, MainDlg::kAddDevice);
    const RECT settings = ChildRect(window, MainDlg::kSettings);
    const RECT ble = ChildRect(window, MainDlg::kBleSetup);
    const int hh = S(56);
    // Header band: a #D1D1D1 line on top, #F3F3F3 fill, a #E0E0E0 line below;
    // the empty stretch between Settings and the BLE separator shows the fill.
    const int gapX = (settings.right + ble.left) / 2;
    EXPECT_EQ(Hex(shot.At(gapX, 0)), "#D1D1D1");
    EXPECT_EQ(Hex(shot.At(gapX, S(6))), "#F3F3F3");
    EXPECT_EQ(Hex(shot.At(gapX, hh - 1)), "#E0E0E0");
    EXPECT_EQ(Hex(shot.At(ble.left - S(8), hh / 2)), "#E0E0E0") << "separator before the BLE button";
    // The primary add button is accent-filled beside its text.
    EXPECT_EQ(Hex(shot.At(add.left + S(6), (add.top + add.bottom) / 2)), "#0078D4");
    // Page background beside the list.
    EXPECT_EQ(Hex(shot.At(S(4), hh + S(30))), "#F3F3F3");

    const int f = S(30);
    if (face == Face::kCoreAbsent) {
        EXPECT_EQ(Hex(shot.At(W / 2, H - f)), "#E0E0E0") << "footer top line";
        EXPECT_EQ(Hex(shot.At(W - S(24), H - f / 2)), "#FFFFFF") << "footer fill";
        EXPECT_EQ(Hex(shot.At(S(16) + S(4), H - f / 2)), "#D13438") << "red dot";
        const RECT action = ChildRect(window, MainDlg::kEmptyAction);
        EXPECT_EQ(Hex(shot.At(action.left + S(6), (action.top + action.bottom) / 2)), "#0078D4");
    } else {
        EXPECT_EQ(Hex(shot.At(W / 2, H - 2)), "#F3F3F3") << "no footer while the core answers";
    }
    if (face == Face::kDemoRows) {
        // The column band's rounded #F9F9F9 fill and white cards in the list.
        const RECT band = ChildRect(window, MainDlg::kColumnBand);
        EXPECT_EQ(Hex(shot.At((band.left + band.right) / 2, band.top + S(2))), "#F9F9F9");
        const RECT list = ChildRect(window, MainDlg::kList);
        int card = 0;
        // Between the name and serial columns no text is drawn. A card under
        // the display's pointer (other tests' windows come and go beneath
        // it) is drawn hovered, so it counts too; at least one card's height
        // of card fill must be there.
        const int gapInList = ColumnLayout(list.right - list.left)[kColumnSn].x - 5;
        for (int y = list.top; y < list.bottom; y += 2) {
            const COLORREF c = shot.At(list.left + gapInList, y);
            card += c == RGB(255, 255, 255) || c == palette::kHoverFill;
        }
        EXPECT_GT(card, S(16)) << "no card painted in the list";
    }
    if (face == Face::kEmpty) {
        const RECT action = ChildRect(window, MainDlg::kEmptyAction);
        EXPECT_EQ(Hex(shot.At(action.left + S(6), (action.top + action.bottom) / 2)), "#0078D4");
        EXPECT_EQ(Hex(shot.At(W / 2, H - 2)), "#F3F3F3");
    }
    DestroyWindow(window);
    Pump(0);
}

INSTANTIATE_TEST_SUITE_P(FacesAndLanguages, MainScreenshotTest,
                         ::testing::Combine(::testing::Values(Face::kDemoRows, Face::kEmpty,
                                                              Face::kCoreAbsent),
                                            ::testing::Values("zh-CN", "en-US")));

}  // namespace
}  // namespace qs
