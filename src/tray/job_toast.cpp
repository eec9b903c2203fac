#include "tray/job_toast.h"

#include "tray/gdi_objects.h"
#include "ui/theme.h"
#include "ui/ui_text.h"

namespace qs {

namespace {

constexpr wchar_t kToastClass[] = L"QuillstoneJobToast";

struct ToastState {
    HWND window = nullptr;
    std::wstring text;
    UniqueFont titleFont;
    UniqueFont bodyFont;
};

ToastState& State() {
    // Lives until the process ends, like the window.
    static ToastState* state = new ToastState();
    return *state;
}

UniqueFont PointFont(int points) {
    int dpi = 96;
    if (HDC screen = GetDC(nullptr)) {
        dpi = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
    }
    LOGFONTW font{};
    font.lfHeight = -MulDiv(points, dpi > 0 ? dpi : 96, 72);
    font.lfWeight = FW_NORMAL;
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfQuality = CLEARTYPE_QUALITY;
    wcscpy_s(font.lfFaceName, L"Segoe UI");
    return UniqueFont(CreateFontIndirectW(&font));
}

void Paint(HWND window, HDC target) {
    RECT client{};
    GetClientRect(window, &client);
    {
        OffscreenItem canvas(target, client);
        if (canvas.ready()) {
            HDC dc = canvas.dc();
            ToastState& state = State();
            const int w = client.right;
            const int h = client.bottom;
            UniqueBrush white(CreateSolidBrush(palette::kWhite));
            UniqueBrush accent(CreateSolidBrush(palette::kAccent));
            FillRect(dc, &client, white.get());
            FrameRect(dc, &client, accent.get());
            const RECT bar{0, 0, 6, h};
            FillRect(dc, &bar, accent.get());

            SetBkMode(dc, TRANSPARENT);
            {
                SelectScope font(dc, state.titleFont.get());
                SetTextColor(dc, palette::kAccent);
                const std::wstring& title = Tr(TxtToastTitle);
                RECT box{18, 12, w - 12, 36};
                DrawTextW(dc, title.c_str(), static_cast<int>(title.size()), &box,
                          DT_SINGLELINE | DT_NOPREFIX);
            }
            {
                SelectScope font(dc, state.bodyFont.get());
                SetTextColor(dc, palette::kTextPrimary);
                // DrawTextW clips to the box, so a long text ends 10 pixels
                // above the bottom edge.
                RECT box{18, 38, w - 12, h - 10};
                DrawTextW(dc, state.text.c_str(), static_cast<int>(state.text.size()), &box,
                          DT_WORDBREAK | DT_NOPREFIX);
            }
            canvas.Present();
        }
    }
}

LRESULT CALLBACK ToastProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT paint;
            if (HDC dc = BeginPaint(window, &paint)) {
                Paint(window, dc);
                EndPaint(window, &paint);
            }
            return 0;
        }
        case WM_PRINTCLIENT:
            // Screenshots and tests paint the toast into a DC of their own.
            Paint(window, reinterpret_cast<HDC>(wParam));
            return 0;
        case WM_ERASEBKGND:
            return TRUE;  // WM_PAINT covers every pixel
        case WM_MOUSEACTIVATE:
            // A click must not take the focus from the application that
            // printed.
            return MA_NOACTIVATE;
        case WM_TIMER:
            if (wParam == kToastHideTimer) {
                KillTimer(window, kToastHideTimer);
                ShowWindow(window, SW_HIDE);
                return 0;
            }
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateToastWindow() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &ToastProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kToastClass;
    // No class style, cursor or background brush: the window paints itself
    // and takes no input.
    if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return nullptr;
    }
    return CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, kToastClass, L"",
                           WS_POPUP, 0, 0, kToastWidth, kToastHeight, nullptr, nullptr, instance,
                           nullptr);
}

}  // namespace

RECT ToastRectFor(const RECT& workArea) {
    const int x = workArea.right - kToastWidth - 16;
    const int y = workArea.bottom - kToastHeight - 16;
    return RECT{x, y, x + kToastWidth, y + kToastHeight};
}

void ShowJobToast(const std::wstring& text) {
    ToastState& state = State();
    if (!state.window) {
        state.window = CreateToastWindow();
        if (!state.window) return;
        state.titleFont = PointFont(11);
        state.bodyFont = PointFont(9);
    }
    state.text = text;

    RECT workArea{};
    if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0)) {
        workArea = RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    }
    const RECT place = ToastRectFor(workArea);
    SetWindowPos(state.window, nullptr, place.left, place.top, kToastWidth, kToastHeight,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(state.window, HWND_TOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    InvalidateRect(state.window, nullptr, FALSE);
    UpdateWindow(state.window);
    // A new job while the toast is up gets a full 5 seconds of its own.
    SetTimer(state.window, kToastHideTimer, kToastShowMs, nullptr);
}

HWND JobToastWindow() { return State().window; }

const std::wstring& JobToastText() { return State().text; }

}  // namespace qs
