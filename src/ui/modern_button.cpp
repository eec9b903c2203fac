#include "ui/modern_button.h"

#include <commctrl.h>

#include <cwchar>
#include <string>

namespace qs {

namespace {

// Our subclass among others that may sit on the same button.
constexpr UINT_PTR kSubclassId = 0x51424E;  // "QBN"
// The object is also kept as a window property: MinGW's comctl32 import
// library lacks GetWindowSubclass, and the parent needs the object for
// WM_DRAWITEM.
constexpr wchar_t kObjectProperty[] = L"QsModernButton";

class MemoryCanvas {
public:
    MemoryCanvas(HDC target, int width, int height)
        : dc_(CreateCompatibleDC(target)), bitmap_(CreateCompatibleBitmap(target, width, height)) {
        if (dc_ && bitmap_) old_ = SelectObject(dc_, bitmap_);
    }
    ~MemoryCanvas() {
        if (old_) SelectObject(dc_, old_);
        if (bitmap_) DeleteObject(bitmap_);
        if (dc_) DeleteDC(dc_);
    }
    MemoryCanvas(const MemoryCanvas&) = delete;
    MemoryCanvas& operator=(const MemoryCanvas&) = delete;
    bool ok() const { return old_ != nullptr; }
    HDC dc() const { return dc_; }

private:
    HDC dc_;
    HBITMAP bitmap_;
    HGDIOBJ old_ = nullptr;
};

// Selects a GDI object into a DC for one scope and deletes it after, when
// owned.
class Selected {
public:
    Selected(HDC dc, HGDIOBJ object, bool owned) : dc_(dc), object_(object), owned_(owned) {
        if (object_) old_ = SelectObject(dc_, object_);
    }
    ~Selected() {
        if (old_) SelectObject(dc_, old_);
        if (owned_ && object_) DeleteObject(object_);
    }
    Selected(const Selected&) = delete;
    Selected& operator=(const Selected&) = delete;

private:
    HDC dc_;
    HGDIOBJ object_;
    bool owned_;
    HGDIOBJ old_ = nullptr;
};

void RoundedBox(HDC dc, const RECT& r, int radius, HBRUSH brush, HPEN pen) {
    Selected b(dc, brush, false);
    Selected p(dc, pen, false);
    // RoundRect takes the corner ellipse's size, twice the radius.
    RoundRect(dc, r.left, r.top, r.right, r.bottom, 2 * radius, 2 * radius);
}

std::wstring WindowText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    if (length <= 0) return {};
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(window, text.data(), length + 1);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
}

}  // namespace

ModernButton::~ModernButton() { Detach(); }

bool ModernButton::Attach(HWND button) {
    if (!button) return false;
    const LONG_PTR type = GetWindowLongPtrW(button, GWL_STYLE) & BS_TYPEMASK;
    return AttachAs(button, type == BS_DEFPUSHBUTTON);
}

bool ModernButton::AttachAs(HWND button, bool primary) {
    if (!button || hwnd_) return false;
    wchar_t className[16] = {};
    GetClassNameW(button, className, 16);
    if (_wcsicmp(className, L"Button") != 0) return false;

    const LONG_PTR style = GetWindowLongPtrW(button, GWL_STYLE);
    if (!SetWindowSubclass(button, &ModernButton::SubclassProc, kSubclassId,
                           reinterpret_cast<DWORD_PTR>(this))) {
        return false;
    }
    SetPropW(button, kObjectProperty, this);
    hwnd_ = button;
    primary_ = primary;
    SetWindowLongPtrW(button, GWL_STYLE, (style & ~static_cast<LONG_PTR>(BS_TYPEMASK)) | BS_OWNERDRAW);
    InvalidateRect(button, nullptr, FALSE);
    return true;
}

void ModernButton::Detach() {
    if (!hwnd_) return;
    RemoveWindowSubclass(hwnd_, &ModernButton::SubclassProc, kSubclassId);
    RemovePropW(hwnd_, kObjectProperty);
    hwnd_ = nullptr;
}

ModernButton* ModernButton::FromWindow(HWND button) {
    if (!button) return nullptr;
    return static_cast<ModernButton*>(GetPropW(button, kObjectProperty));
}

bool ModernButton::DrawIfOurs(const DRAWITEMSTRUCT& item) {
    if (item.CtlType != ODT_BUTTON) return false;
    ModernButton* button = FromWindow(item.hwndItem);
    if (!button) return false;
    button->Draw(item);
    return true;
}

void ModernButton::Draw(const DRAWITEMSTRUCT& item) {
    const int width = item.rcItem.right - item.rcItem.left;
    const int height = item.rcItem.bottom - item.rcItem.top;
    if (width <= 0 || height <= 0) return;

    const bool disabled = (item.itemState & ODS_DISABLED) != 0;
    if (disabled) hover_.OnDisabled();
    const ButtonState state =
        ButtonStateFor((item.itemState & ODS_SELECTED) != 0, disabled, hover_.hovered());
    const ButtonLook look = ButtonLookFor(primary_, state);
    HWND scaleWindow = hwnd_ ? hwnd_ : item.hwndItem;
    const int radius = Scale(scaleWindow, 8);

    MemoryCanvas canvas(item.hDC, width, height);
    if (!canvas.ok()) return;
    HDC dc = canvas.dc();

    RECT whole{0, 0, width, height};
    HBRUSH page = CreateSolidBrush(palette::kPage);
    FillRect(dc, &whole, page);
    DeleteObject(page);

    {
        HBRUSH fill = CreateSolidBrush(look.fill);
        HPEN border = CreatePen(PS_SOLID, 1, look.border);
        RECT box{1, 1, width - 1, height - 1};
        RoundedBox(dc, box, radius, fill, border);
        DeleteObject(border);
        DeleteObject(fill);
    }

    {
        HFONT font = reinterpret_cast<HFONT>(SendMessageW(item.hwndItem, WM_GETFONT, 0, 0));
        Selected f(dc, font ? static_cast<HGDIOBJ>(font) : GetStockObject(DEFAULT_GUI_FONT), false);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, look.text);
        std::wstring text = WindowText(item.hwndItem);
        RECT textBox = whole;
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &textBox,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
    }

    if (ShowsFocusRing((item.itemState & ODS_FOCUS) != 0, disabled)) {
        const int inset = Scale(scaleWindow, 3);
        HPEN ring = CreatePen(PS_SOLID, 1, FocusRingColor(primary_));
        RECT box{inset, inset, width - inset, height - inset};
        RoundedBox(dc, box, radius, static_cast<HBRUSH>(GetStockObject(NULL_BRUSH)), ring);
        DeleteObject(ring);
    }

    BitBlt(item.hDC, item.rcItem.left, item.rcItem.top, width, height, dc, 0, 0, SRCCOPY);
}

LRESULT CALLBACK ModernButton::SubclassProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam, UINT_PTR, DWORD_PTR refData) {
    auto* self = reinterpret_cast<ModernButton*>(refData);
    switch (message) {
        case WM_MOUSEMOVE:
            if (self->hover_.OnMouseMove(IsWindowEnabled(window) != FALSE)) {
                TRACKMOUSEEVENT track{};
                track.cbSize = sizeof(track);
                track.dwFlags = TME_LEAVE;
                track.hwndTrack = window;
                TrackMouseEvent(&track);
                InvalidateRect(window, nullptr, FALSE);
            }
            break;
        case WM_MOUSELEAVE:
            if (self->hover_.OnMouseLeave()) InvalidateRect(window, nullptr, FALSE);
            break;
        case WM_ENABLE:
            if (!wParam) self->hover_.OnDisabled();
            break;
        case BM_SETSTYLE:
            // The dialog manager moves the default between push buttons with
            // BM_SETSTYLE; keep the owner-drawn type or the plain button
            // would be back.
            wParam = (wParam & ~static_cast<WPARAM>(BS_TYPEMASK)) | BS_OWNERDRAW;
            return DefSubclassProc(window, message, wParam, lParam);
        case WM_ERASEBKGND:
            // Draw covers every pixel; erasing first would only flicker.
            return TRUE;
        case WM_NCDESTROY: {
            // The window goes away before its owner frees this object.
            RemoveWindowSubclass(window, &ModernButton::SubclassProc, kSubclassId);
            RemovePropW(window, kObjectProperty);
            self->hwnd_ = nullptr;
            return DefSubclassProc(window, message, wParam, lParam);
        }
        default:
            break;
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

}  // namespace qs
