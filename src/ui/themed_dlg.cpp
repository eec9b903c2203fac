#include "ui/themed_dlg.h"

#include <cwchar>

#include "ui/theme.h"

namespace qs {

namespace {

struct ChildSearch {
    HWND parent;
    std::vector<HWND> pushButtons;
};

BOOL CALLBACK CollectPushButton(HWND child, LPARAM param) {
    auto* search = reinterpret_cast<ChildSearch*>(param);
    // EnumChildWindows walks grandchildren too; only direct children count.
    if (GetParent(child) != search->parent) return TRUE;
    wchar_t className[16] = {};
    GetClassNameW(child, className, 16);
    if (_wcsicmp(className, L"Button") != 0) return TRUE;
    const LONG_PTR type = GetWindowLongPtrW(child, GWL_STYLE) & BS_TYPEMASK;
    if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON) search->pushButtons.push_back(child);
    return TRUE;
}

}  // namespace

ThemedDlg::~ThemedDlg() { ReleaseTheme(); }

ModernButton* ThemedDlg::ButtonById(int id) const {
    for (const auto& button : buttons_) {
        if (button->hwnd() && GetDlgCtrlID(button->hwnd()) == id) return button.get();
    }
    return nullptr;
}

void ThemedDlg::ApplyTheme() {
    HWND dialog = hwnd();
    SetWindowLongPtrW(dialog, GWL_STYLE, GetWindowLongPtrW(dialog, GWL_STYLE) | WS_CLIPCHILDREN);

    ChildSearch search{dialog, {}};
    EnumChildWindows(dialog, &CollectPushButton, reinterpret_cast<LPARAM>(&search));
    for (HWND child : search.pushButtons) {
        auto button = std::make_unique<ModernButton>();
        if (button->Attach(child)) buttons_.push_back(std::move(button));
    }
}

void ThemedDlg::ReleaseTheme() {
    // Buttons first: their subclasses reference objects owned here.
    buttons_.clear();
    if (pageBrush_) {
        DeleteObject(pageBrush_);
        pageBrush_ = nullptr;
    }
}

INT_PTR ThemedDlg::ControlColor(HDC dc, HWND control) {
    wchar_t className[32] = {};
    if (control) GetClassNameW(control, className, 32);
    // A read-only or disabled edit asks with WM_CTLCOLORSTATIC; it keeps the
    // system colours all the same, so decide by the window's class.
    const ControlKind kind = control == hwnd() ? ControlKind::kDialog : ControlKindOfClass(className);
    const ControlColors colors = ControlColorsFor(kind, control ? GetDlgCtrlID(control) : 0);
    if (!colors.themed || !pageBrush_) return FALSE;
    SetTextColor(dc, colors.text);
    SetBkColor(dc, colors.background);
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<INT_PTR>(pageBrush_);
}

INT_PTR ThemedDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            pageBrush_ = CreateSolidBrush(palette::kPage);
            const INT_PTR result = DialogBase::HandleMessage(message, wParam, lParam);
            // Children made by the derived dialog's initialisation are
            // themed too, so this comes after it.
            if (hwnd()) ApplyTheme();
            return result;
        }
        case WM_ERASEBKGND: {
            RECT client{};
            GetClientRect(hwnd(), &client);
            HDC dc = reinterpret_cast<HDC>(wParam);
            if (pageBrush_) {
                FillRect(dc, &client, pageBrush_);
            } else {
                HBRUSH brush = CreateSolidBrush(palette::kPage);
                FillRect(dc, &client, brush);
                DeleteObject(brush);
            }
            return SetResult(TRUE);
        }
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN:
            return ControlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
        case WM_CTLCOLORDLG:
            return ControlColor(reinterpret_cast<HDC>(wParam), hwnd());
        case WM_DRAWITEM: {
            const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (item && ModernButton::DrawIfOurs(*item)) return SetResult(TRUE);
            break;
        }
        case WM_NCDESTROY: {
            const INT_PTR result = DialogBase::HandleMessage(message, wParam, lParam);
            ReleaseTheme();
            return result;
        }
        default:
            break;
    }
    return DialogBase::HandleMessage(message, wParam, lParam);
}

}  // namespace qs
