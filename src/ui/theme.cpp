#include "ui/theme.h"

#include <cwchar>

#include "foundation/dynamic_proc.h"

namespace qs {

namespace {

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);

GetDpiForWindowFn DpiForWindowProc() {
    // Windows 10 1607 and later only; looked up once for the process.
    static const GetDpiForWindowFn proc =
        FindLoadedProc<GetDpiForWindowFn>(L"user32.dll", "GetDpiForWindow");
    return proc;
}

}  // namespace

int ResolveDpi(int windowDpi, int deviceContextDpi) {
    if (windowDpi >= 96) return windowDpi;
    if (deviceContextDpi > 0) return deviceContextDpi;
    return 96;
}

int ScaleForDpi(int x, int dpi) {
    // Same arithmetic as MulDiv(x, dpi, 96), kept free of the system so the
    // rounding is pinned by tests of its own.
    const long long product = static_cast<long long>(x) * dpi;
    const long long half = 48;
    const long long rounded = product >= 0 ? (product + half) / 96 : (product - half) / 96;
    return static_cast<int>(rounded);
}

int DpiOf(HWND window) {
    int windowDpi = 0;
    if (GetDpiForWindowFn proc = DpiForWindowProc(); proc && window) {
        windowDpi = static_cast<int>(proc(window));
    }
    int dcDpi = 0;
    if (windowDpi < 96) {
        if (HDC dc = GetDC(window)) {
            dcDpi = GetDeviceCaps(dc, LOGPIXELSX);
            ReleaseDC(window, dc);
        }
    }
    return ResolveDpi(windowDpi, dcDpi);
}

int Scale(HWND window, int x) { return ScaleForDpi(x, DpiOf(window)); }

ButtonState ButtonStateFor(bool pressed, bool disabled, bool hovered) {
    if (disabled) return ButtonState::kDisabled;
    if (pressed) return ButtonState::kPressed;
    if (hovered) return ButtonState::kHovered;
    return ButtonState::kNormal;
}

ButtonLook ButtonLookFor(bool primary, ButtonState state) {
    using namespace palette;
    if (primary) {
        COLORREF fill = kAccent;
        switch (state) {
            case ButtonState::kNormal: fill = kAccent; break;
            case ButtonState::kHovered: fill = kAccentHover; break;
            case ButtonState::kPressed: fill = kAccentPressed; break;
            case ButtonState::kDisabled: fill = kAccentDisabled; break;
        }
        return {fill, fill, kWhite};
    }
    switch (state) {
        case ButtonState::kNormal: return {kWhite, kButtonBorder, kTextPrimary};
        case ButtonState::kHovered: return {kHoverFill, kButtonBorder, kTextPrimary};
        case ButtonState::kPressed: return {kPressedFill, kButtonBorder, kTextPrimary};
        case ButtonState::kDisabled: return {kPage, kButtonBorder, kTextDisabled};
    }
    return {kWhite, kButtonBorder, kTextPrimary};
}

bool ShowsFocusRing(bool focused, bool disabled) { return focused && !disabled; }

COLORREF FocusRingColor(bool primary) { return primary ? palette::kWhite : palette::kAccent; }

bool HoverState::OnMouseMove(bool enabled) {
    if (hovered_ || !enabled) return false;
    hovered_ = true;
    return true;
}

bool HoverState::OnMouseLeave() {
    const bool was = hovered_;
    hovered_ = false;
    return was;
}

ControlKind ControlKindOfClass(const wchar_t* className) {
    if (!className) return ControlKind::kOther;
    struct Entry {
        const wchar_t* name;
        ControlKind kind;
    };
    static const Entry kEntries[] = {
        {L"#32770", ControlKind::kDialog},   {L"Static", ControlKind::kStatic},
        {L"Button", ControlKind::kButton},   {L"Edit", ControlKind::kEdit},
        {L"ListBox", ControlKind::kListBox}, {L"ComboBox", ControlKind::kComboBox},
        {L"ComboLBox", ControlKind::kListBox},
    };
    for (const Entry& e : kEntries) {
        if (_wcsicmp(className, e.name) == 0) return e.kind;
    }
    return ControlKind::kOther;
}

bool IsHintControl(int controlId) {
    return controlId == 1026 || controlId == 1073 || controlId == 1074;
}

ControlColors ControlColorsFor(ControlKind kind, int controlId) {
    switch (kind) {
        case ControlKind::kDialog:
        case ControlKind::kStatic:
        case ControlKind::kButton:
            return {true,
                    IsHintControl(controlId) ? palette::kTextSecondary : palette::kTextPrimary,
                    palette::kPage};
        default:
            return {false, 0, 0};
    }
}

}  // namespace qs
