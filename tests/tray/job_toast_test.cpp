// The job toast: its place in the work area, that showing it leaves the
// foreground window alone, what it paints, and that its timer hides it.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>

#include "tray/job_toast.h"
#include "ui/theme.h"
#include "ui/ui_text.h"

namespace qs {
namespace {

TEST(ToastRectForTest, SixteenPixelsFromTheWorkAreasBottomRight) {
    struct Case {
        RECT workArea;
        RECT expected;
    };
    const Case cases[] = {
        {{0, 0, 1024, 728}, {668, 624, 1008, 712}},      // taskbar at the bottom
        {{0, 40, 1024, 768}, {668, 664, 1008, 752}},     // taskbar at the top
        {{62, 0, 1024, 768}, {668, 664, 1008, 752}},     // taskbar on the left
        {{-1920, 0, 0, 1040}, {-356, 936, -16, 1024}},   // primary monitor to the right
    };
    for (const Case& c : cases) {
        const RECT r = ToastRectFor(c.workArea);
        EXPECT_EQ(r.left, c.expected.left);
        EXPECT_EQ(r.top, c.expected.top);
        EXPECT_EQ(r.right, c.expected.right);
        EXPECT_EQ(r.bottom, c.expected.bottom);
    }
}

void PumpPending() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// The application that "printed": a plain window that has the foreground
// and the keyboard focus when the toast comes up.
HWND MakeForegroundWindow() {
    HWND window = CreateWindowExW(0, L"EDIT", L"printing app", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100,
                                  100, 400, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    SetForegroundWindow(window);
    SetFocus(window);
    PumpPending();
    return window;
}

COLORREF PixelOf(HDC dc, int x, int y) {
    GdiFlush();
    return GetPixel(dc, x, y);
}

TEST(JobToastWindowTest, ShowsBottomRightWithoutActivationAndHidesByItsTimer) {
    SetUiLanguage("zh-CN");
    HWND app = MakeForegroundWindow();
    ASSERT_NE(app, nullptr);
    const HWND foregroundBefore = GetForegroundWindow();
    const HWND focusBefore = GetFocus();
    ASSERT_EQ(foregroundBefore, app);

    ShowJobToast(L"收到新的打印任务，时间：2026-12-10T15:00:00");
    PumpPending();
    HWND toast = JobToastWindow();
    ASSERT_NE(toast, nullptr);
    EXPECT_TRUE(IsWindowVisible(toast));
    EXPECT_EQ(GetForegroundWindow(), foregroundBefore);
    EXPECT_EQ(GetFocus(), focusBefore);
    EXPECT_EQ(GetActiveWindow(), app);

    RECT workArea{};
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0));
    const RECT expected = ToastRectFor(workArea);
    RECT placed{};
    GetWindowRect(toast, &placed);
    EXPECT_EQ(placed.left, expected.left);
    EXPECT_EQ(placed.top, expected.top);
    EXPECT_EQ(placed.right - placed.left, 340);
    EXPECT_EQ(placed.bottom - placed.top, 88);

    const LONG_PTR exStyle = GetWindowLongPtrW(toast, GWL_EXSTYLE);
    EXPECT_TRUE(exStyle & WS_EX_TOPMOST);
    EXPECT_TRUE(exStyle & WS_EX_TOOLWINDOW);
    EXPECT_TRUE(exStyle & WS_EX_NOACTIVATE);
    EXPECT_TRUE(GetWindowLongPtrW(toast, GWL_STYLE) & WS_POPUP);
    EXPECT_EQ(GetWindow(toast, GW_OWNER), nullptr);

    // A second job while it is up: same window, the new text.
    ShowJobToast(L"second");
    PumpPending();
    EXPECT_EQ(JobToastWindow(), toast);
    EXPECT_EQ(JobToastText(), L"second");
    EXPECT_TRUE(IsWindowVisible(toast));

    // A click does not activate it.
    EXPECT_EQ(SendMessageW(toast, WM_MOUSEACTIVATE, reinterpret_cast<WPARAM>(toast),
                           MAKELPARAM(HTCLIENT, WM_LBUTTONDOWN)),
              MA_NOACTIVATE);

    // Another timer id leaves it alone; its own hides it.
    PostMessageW(toast, WM_TIMER, 7, 0);
    PumpPending();
    EXPECT_TRUE(IsWindowVisible(toast));
    PostMessageW(toast, WM_TIMER, kToastHideTimer, 0);
    PumpPending();
    EXPECT_FALSE(IsWindowVisible(toast));
    EXPECT_EQ(GetForegroundWindow(), foregroundBefore);

    // Shown again after hiding, at the same place.
    ShowJobToast(L"third");
    PumpPending();
    EXPECT_TRUE(IsWindowVisible(toast));
    PostMessageW(toast, WM_TIMER, kToastHideTimer, 0);
    PumpPending();
    EXPECT_FALSE(IsWindowVisible(toast));
    DestroyWindow(app);
}

TEST(JobToastWindowTest, PaintsFrameBarTitleAndWrappedBody) {
    SetUiLanguage("en-US");
    ShowJobToast(std::wstring(400, L'W') + L" end");
    HWND toast = JobToastWindow();
    ASSERT_NE(toast, nullptr);

    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 340, 88);
    ReleaseDC(nullptr, screen);
    HGDIOBJ old = SelectObject(dc, bitmap);
    SendMessageW(toast, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);

    using namespace palette;
    EXPECT_EQ(PixelOf(dc, 3, 44), kAccent);      // the bar along the left edge
    EXPECT_EQ(PixelOf(dc, 339, 44), kAccent);    // the frame
    EXPECT_EQ(PixelOf(dc, 170, 0), kAccent);
    EXPECT_EQ(PixelOf(dc, 170, 87), kAccent);
    EXPECT_EQ(PixelOf(dc, 8, 44), kWhite);       // between the bar and the text
    // The long body wraps and is clipped 10 pixels above the bottom: the
    // strip below stays white while the body area holds dark text.
    bool bodyInk = false;
    for (int y = 38; y < 78 && !bodyInk; ++y) {
        for (int x = 18; x < 328 && !bodyInk; ++x) bodyInk = PixelOf(dc, x, y) != kWhite;
    }
    EXPECT_TRUE(bodyInk);
    for (int y = 79; y < 87; ++y) {
        for (int x = 7; x < 339; ++x) ASSERT_EQ(PixelOf(dc, x, y), kWhite) << x << "," << y;
    }
    // Some title pixels in the accent colour.
    bool titleInk = false;
    for (int y = 12; y < 36 && !titleInk; ++y) {
        for (int x = 18; x < 200 && !titleInk; ++x) titleInk = PixelOf(dc, x, y) != kWhite;
    }
    EXPECT_TRUE(titleInk);

    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    PostMessageW(toast, WM_TIMER, kToastHideTimer, 0);
    PumpPending();
    SetUiLanguage("zh-CN");
}

}  // namespace
}  // namespace qs
