// The theme's decisions as tables, and real dialogs and buttons under the
// X display: what they paint is read back pixel by pixel.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "support/canvas.h"
#include "ui/dialog_base.h"
#include "ui/modern_button.h"
#include "ui/theme.h"
#include "ui/themed_dlg.h"

namespace qs {
namespace {

// --- palette and decisions -------------------------------------------------

TEST(Palette, EveryColourHasItsRgbValue) {
    struct Row {
        COLORREF value;
        BYTE r, g, b;
        const char* name;
    };
    using namespace palette;
    const Row rows[] = {
        {kPage, 0xF3, 0xF3, 0xF3, "page"},
        {kHeaderBand, 0xF9, 0xF9, 0xF9, "header band"},
        {kWhite, 0xFF, 0xFF, 0xFF, "white"},
        {kTextPrimary, 0x20, 0x1F, 0x1E, "primary text"},
        {kTextSecondary, 0x60, 0x5E, 0x5C, "secondary text"},
        {kTextDisabled, 0xA1, 0x9F, 0x9D, "disabled text"},
        {kAccent, 0x00, 0x78, 0xD4, "accent"},
        {kAccentHover, 0x10, 0x6E, 0xBE, "accent hovered"},
        {kAccentPressed, 0x00, 0x5A, 0x9E, "accent pressed"},
        {kAccentDisabled, 0xB4, 0xD6, 0xF5, "accent disabled"},
        {kButtonBorder, 0xD1, 0xD1, 0xD1, "button border"},
        {kSeparator, 0xE0, 0xE0, 0xE0, "separator"},
        {kCardHoverOutline, 0xC8, 0xD8, 0xE8, "hovered card outline"},
        {kHoverFill, 0xF5, 0xF5, 0xF5, "hover fill"},
        {kPressedFill, 0xE8, 0xE8, 0xE8, "pressed fill"},
        {kSuccess, 0x10, 0x7C, 0x10, "success"},
        {kAttention, 0xCA, 0x50, 0x10, "attention"},
        {kDanger, 0xD1, 0x34, 0x38, "danger"},
        {kBlueRowOutline, 0xC7, 0xE0, 0xF4, "blue row outline"},
        {kBlueRowPressed, 0xD2, 0xE6, 0xF8, "blue row pressed"},
        {kBlueRowHover, 0xE8, 0xF2, 0xFC, "blue row hovered"},
        {kRedRowOutline, 0xF4, 0xC7, 0xC7, "red row outline"},
        {kRedRowPressed, 0xFA, 0xD9, 0xD9, "red row pressed"},
        {kRedRowHover, 0xFD, 0xEC, 0xEC, "red row hovered"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.value, RGB(row.r, row.g, row.b)) << row.name;
    }
}

TEST(Scaling, TableAtCommonDpis) {
    struct Row {
        int x, at96, at120, at144, at192;
    };
    // 120 dpi is 1.25x and rounds halves away from zero as MulDiv does.
    const Row rows[] = {
        {0, 0, 0, 0, 0},      {1, 1, 1, 2, 2},          {2, 2, 3, 3, 4},
        {3, 3, 4, 5, 6},      {8, 8, 10, 12, 16},       {13, 13, 16, 20, 26},
        {14, 14, 18, 21, 28}, {56, 56, 70, 84, 112},    {400, 400, 500, 600, 800},
        {-1, -1, -1, -2, -2}, {-15, -15, -19, -23, -30}, {-13, -13, -16, -20, -26},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ScaleForDpi(row.x, 96), row.at96) << row.x;
        EXPECT_EQ(ScaleForDpi(row.x, 120), row.at120) << row.x;
        EXPECT_EQ(ScaleForDpi(row.x, 144), row.at144) << row.x;
        EXPECT_EQ(ScaleForDpi(row.x, 192), row.at192) << row.x;
    }
}

TEST(Scaling, AgreesWithMulDivAcrossValuesAndDpis) {
    for (int dpi = 72; dpi <= 480; dpi += 12) {
        for (int x = -300; x <= 300; ++x) {
            ASSERT_EQ(ScaleForDpi(x, dpi), MulDiv(x, dpi, 96)) << "x=" << x << " dpi=" << dpi;
        }
    }
    EXPECT_EQ(ScaleForDpi(30000000, 192), MulDiv(30000000, 192, 96));  // no 32-bit overflow
}

TEST(Scaling, DpiChoice) {
    struct Row {
        int window, dc, expected;
    };
    const Row rows[] = {
        {144, 96, 144},  // the window's own dpi wins when present
        {96, 144, 96},   {192, 0, 192},
        {0, 120, 120},   // no GetDpiForWindow (Windows 7): the DC's
        {72, 144, 144},  // below 96 is not trusted
        {0, 0, 96},      {-5, -1, 96},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ResolveDpi(row.window, row.dc), row.expected) << row.window << "/" << row.dc;
    }
}

TEST(ButtonDecisions, StatePrecedence) {
    struct Row {
        bool pressed, disabled, hovered;
        ButtonState expected;
    };
    const Row rows[] = {
        {false, false, false, ButtonState::kNormal},  {false, false, true, ButtonState::kHovered},
        {true, false, false, ButtonState::kPressed},  {true, false, true, ButtonState::kPressed},
        {false, true, false, ButtonState::kDisabled}, {false, true, true, ButtonState::kDisabled},
        {true, true, true, ButtonState::kDisabled},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ButtonStateFor(row.pressed, row.disabled, row.hovered), row.expected)
            << row.pressed << row.disabled << row.hovered;
    }
}

TEST(ButtonDecisions, ColoursOfEveryStyleAndState) {
    struct Row {
        bool primary;
        ButtonState state;
        COLORREF fill, border, text;
    };
    const Row rows[] = {
        {true, ButtonState::kNormal, RGB(0x00, 0x78, 0xD4), RGB(0x00, 0x78, 0xD4), RGB(255, 255, 255)},
        {true, ButtonState::kHovered, RGB(0x10, 0x6E, 0xBE), RGB(0x10, 0x6E, 0xBE), RGB(255, 255, 255)},
        {true, ButtonState::kPressed, RGB(0x00, 0x5A, 0x9E), RGB(0x00, 0x5A, 0x9E), RGB(255, 255, 255)},
        {true, ButtonState::kDisabled, RGB(0xB4, 0xD6, 0xF5), RGB(0xB4, 0xD6, 0xF5), RGB(255, 255, 255)},
        {false, ButtonState::kNormal, RGB(255, 255, 255), RGB(0xD1, 0xD1, 0xD1), RGB(0x20, 0x1F, 0x1E)},
        {false, ButtonState::kHovered, RGB(0xF5, 0xF5, 0xF5), RGB(0xD1, 0xD1, 0xD1), RGB(0x20, 0x1F, 0x1E)},
        {false, ButtonState::kPressed, RGB(0xE8, 0xE8, 0xE8), RGB(0xD1, 0xD1, 0xD1), RGB(0x20, 0x1F, 0x1E)},
        {false, ButtonState::kDisabled, RGB(0xF3, 0xF3, 0xF3), RGB(0xD1, 0xD1, 0xD1), RGB(0xA1, 0x9F, 0x9D)},
    };
    for (const Row& row : rows) {
        const ButtonLook look = ButtonLookFor(row.primary, row.state);
        const int state = static_cast<int>(row.state);
        EXPECT_EQ(look.fill, row.fill) << row.primary << " " << state;
        EXPECT_EQ(look.border, row.border) << row.primary << " " << state;
        EXPECT_EQ(look.text, row.text) << row.primary << " " << state;
    }
}

TEST(ButtonDecisions, FocusRing) {
    EXPECT_TRUE(ShowsFocusRing(true, false));
    EXPECT_FALSE(ShowsFocusRing(true, true));
    EXPECT_FALSE(ShowsFocusRing(false, false));
    EXPECT_EQ(FocusRingColor(false), RGB(0x00, 0x78, 0xD4));
    EXPECT_EQ(FocusRingColor(true), RGB(255, 255, 255));
}

TEST(ButtonDecisions, HoverRepaintsOnlyOnChange) {
    HoverState hover;
    EXPECT_FALSE(hover.OnMouseMove(false)) << "a disabled button never becomes hovered";
    EXPECT_FALSE(hover.hovered());
    EXPECT_TRUE(hover.OnMouseMove(true));
    EXPECT_FALSE(hover.OnMouseMove(true)) << "no new leave request on every move";
    EXPECT_TRUE(hover.hovered());
    EXPECT_TRUE(hover.OnMouseLeave());
    EXPECT_FALSE(hover.OnMouseLeave());
    EXPECT_TRUE(hover.OnMouseMove(true));
    hover.OnDisabled();
    EXPECT_FALSE(hover.hovered());
    EXPECT_TRUE(hover.OnMouseMove(true)) << "hover comes back on the next move";
}

TEST(ControlColours, WhoIsThemed) {
    struct Row {
        const wchar_t* className;
        int id;
        bool themed;
        COLORREF text;
    };
    const COLORREF primary = RGB(0x20, 0x1F, 0x1E);
    const COLORREF secondary = RGB(0x60, 0x5E, 0x5C);
    const Row rows[] = {
        {L"Static", 1000, true, primary},    {L"STATIC", 1026, true, secondary},
        {L"static", 1073, true, secondary},  {L"Static", 1074, true, secondary},
        {L"Static", 1075, true, primary},    {L"Button", 1001, true, primary},
        {L"button", 1026, true, secondary},  {L"#32770", 0, true, primary},
        {L"Edit", 1026, false, 0},           {L"EDIT", 1002, false, 0},
        {L"ListBox", 1003, false, 0},        {L"ComboBox", 1004, false, 0},
        {L"ComboLBox", 1000, false, 0},      {L"SysListView32", 1005, false, 0},
        {nullptr, 0, false, 0},
    };
    for (const Row& row : rows) {
        const ControlColors colors = ControlColorsFor(ControlKindOfClass(row.className), row.id);
        const std::wstring name = row.className ? row.className : L"(null)";
        EXPECT_EQ(colors.themed, row.themed) << std::string(name.begin(), name.end()) << " " << row.id;
        if (row.themed) {
            EXPECT_EQ(colors.text, row.text) << row.id;
            EXPECT_EQ(colors.background, RGB(0xF3, 0xF3, 0xF3));
        }
    }
}

// --- real windows ----------------------------------------------------------

constexpr int kHintId = 1026;
constexpr int kLabelId = 1000;
constexpr int kCheckId = 1001;
constexpr int kEditId = 1002;
constexpr int kReadOnlyEditId = 1003;
constexpr int kNestedButtonId = 1004;

// A dialog template assembled in memory, DWORD-aligned as the dialog
// manager requires.
class TemplateBuilder {
public:
    TemplateBuilder(DWORD style, short cx, short cy, const wchar_t* title) {
        Dword(style | DS_SETFONT);
        Dword(0);
        countAt_ = words_.size();
        Word(0);
        Word(0), Word(0), Word(static_cast<WORD>(cx)), Word(static_cast<WORD>(cy));
        Word(0);  // no menu
        Word(0);  // the dialog class
        String(title);
        Word(8);
        String(L"MS Shell Dlg");
    }

    // classAtom: 0x0080 button, 0x0081 edit, 0x0082 static; 0 uses className.
    TemplateBuilder& Item(WORD classAtom, DWORD style, short x, short y, short cx, short cy, WORD id,
                          const wchar_t* text, const wchar_t* className = nullptr) {
        Align();
        Dword(style | WS_CHILD | WS_VISIBLE);
        Dword(0);
        Word(static_cast<WORD>(x)), Word(static_cast<WORD>(y));
        Word(static_cast<WORD>(cx)), Word(static_cast<WORD>(cy));
        Word(id);
        if (classAtom) {
            Word(0xFFFF);
            Word(classAtom);
        } else {
            String(className);
        }
        String(text);
        Word(0);
        ++words_[countAt_];
        return *this;
    }

    const DLGTEMPLATE* get() {
        Align();
        return reinterpret_cast<const DLGTEMPLATE*>(words_.data());
    }

private:
    void Word(WORD w) { words_.push_back(w); }
    void Dword(DWORD d) {
        Word(LOWORD(d));
        Word(HIWORD(d));
    }
    void String(const wchar_t* s) {
        for (; *s; ++s) Word(static_cast<WORD>(*s));
        Word(0);
    }
    void Align() {
        if (words_.size() % 2) Word(0);
    }
    std::vector<WORD> words_;
    size_t countAt_ = 0;
};

TemplateBuilder StandardTemplate() {
    // Hidden: WM_PRINT draws hidden windows, and showing a top-level window
    // without a window manager costs seconds under Wine.
    TemplateBuilder t(WS_POPUP | DS_MODALFRAME, 220, 100, L"theme test");
    t.Item(0x0082, SS_LEFT, 7, 4, 120, 10, kHintId, L"hint")
        .Item(0x0082, SS_LEFT, 7, 16, 120, 10, kLabelId, L"label")
        .Item(0x0080, BS_AUTOCHECKBOX | WS_TABSTOP, 7, 28, 80, 10, kCheckId, L"check")
        .Item(0x0081, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 100, 28, 60, 12, kEditId, L"")
        .Item(0x0081, ES_READONLY | WS_BORDER, 100, 44, 60, 12, kReadOnlyEditId, L"ro")
        .Item(0x0080, BS_DEFPUSHBUTTON | WS_TABSTOP, 7, 70, 60, 20, IDOK, L"OK")
        .Item(0x0080, BS_PUSHBUTTON | WS_TABSTOP, 80, 70, 60, 20, IDCANCEL, L"Cancel");
    return t;
}

// Counts live objects so a leak or a second delete shows.
struct Census {
    int constructed = 0;
    int destroyed = 0;
    int live() const { return constructed - destroyed; }
};

class ProbeDlg : public ThemedDlg {
public:
    explicit ProbeDlg(Census* census) : census_(census) { ++census_->constructed; }
    ~ProbeDlg() override { ++census_->destroyed; }

    bool destroyInInit = false;
    bool closeAfterInit = false;
    int initCalls = 0;
    bool sawNcDestroy = false;

protected:
    BOOL OnInitDialog() override {
        ++initCalls;
        if (destroyInInit) DestroyWindow(hwnd());
        if (closeAfterInit) PostMessageW(hwnd(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        return TRUE;
    }
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_NCDESTROY) sawNcDestroy = true;
        return ThemedDlg::HandleMessage(message, wParam, lParam);
    }

private:
    Census* census_;
};

using test::Canvas;

std::string Hex(COLORREF c) {
    char text[16];
    snprintf(text, sizeof(text), "#%02X%02X%02X", GetRValue(c), GetGValue(c), GetBValue(c));
    return text;
}

#define EXPECT_COLOR(actual, expected) EXPECT_EQ(Hex(actual), Hex(expected))

SIZE ClientSize(HWND window) {
    RECT r{};
    GetClientRect(window, &r);
    return {r.right, r.bottom};
}

// The window's client area as WM_PRINT draws it; with children, each child
// is printed into a canvas of its own and copied to its place. Wine's
// WM_PRINT leaves PRF_CHILDREN out, and its buttons clip to the DC's device
// origin, so a shifted viewport would lose them.
void PrintInto(HWND window, Canvas& canvas, bool children);

void PrintChildren(HWND window, Canvas& canvas) {
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT r{};
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        if (r.right <= r.left || r.bottom <= r.top) continue;
        Canvas part(r.right - r.left, r.bottom - r.top);
        SendMessageW(child, WM_PRINT, reinterpret_cast<WPARAM>(part.dc()),
                     PRF_CLIENT | PRF_ERASEBKGND | PRF_NONCLIENT);
        BitBlt(canvas.dc(), r.left, r.top, part.width(), part.height(), part.dc(), 0, 0, SRCCOPY);
    }
}

void PrintInto(HWND window, Canvas& canvas, bool children) {
    SendMessageW(window, WM_PRINT, reinterpret_cast<WPARAM>(canvas.dc()),
                 PRF_CLIENT | PRF_ERASEBKGND);
    if (children) PrintChildren(window, canvas);
}

void PumpPending() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

class ThemedDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        dialog_ = DialogBase::CreateOwnedIndirect(std::make_unique<ProbeDlg>(&census_),
                                                  GetModuleHandleW(nullptr), template_.get(),
                                                  nullptr);
        ASSERT_NE(dialog_, nullptr);
        probe_ = static_cast<ProbeDlg*>(DialogBase::FromWindow(dialog_));
        ASSERT_NE(probe_, nullptr);
    }
    void TearDown() override {
        if (dialog_ && IsWindow(dialog_)) DestroyWindow(dialog_);
        PumpPending();
        EXPECT_EQ(census_.live(), 0);
        EXPECT_EQ(census_.destroyed, census_.constructed);
    }

    // The colour in the middle of the button's left half, clear of its
    // centred text and of its rounded corners.
    COLORREF ButtonFill(int id) {
        HWND button = GetDlgItem(dialog_, id);
        SIZE size = ClientSize(button);
        Canvas canvas(size.cx, size.cy);
        PrintInto(button, canvas, false);
        return canvas.At(Scale(button, 8) + 3, size.cy / 2);
    }
    COLORREF ButtonBorder(int id) {
        HWND button = GetDlgItem(dialog_, id);
        SIZE size = ClientSize(button);
        Canvas canvas(size.cx, size.cy);
        PrintInto(button, canvas, false);
        return canvas.At(1, size.cy / 2);
    }

    Census census_;
    TemplateBuilder template_ = StandardTemplate();
    HWND dialog_ = nullptr;
    ProbeDlg* probe_ = nullptr;
};

TEST_F(ThemedDialogTest, InitialisationMakesPushButtonsModern) {
    EXPECT_EQ(probe_->initCalls, 1);
    EXPECT_NE(GetWindowLongPtrW(dialog_, GWL_STYLE) & WS_CLIPCHILDREN, 0);
    ASSERT_EQ(probe_->buttons().size(), 2u);

    ModernButton* ok = probe_->ButtonById(IDOK);
    ModernButton* cancel = probe_->ButtonById(IDCANCEL);
    ASSERT_NE(ok, nullptr);
    ASSERT_NE(cancel, nullptr);
    EXPECT_TRUE(ok->primary());
    EXPECT_FALSE(cancel->primary());
    EXPECT_EQ(ModernButton::FromWindow(GetDlgItem(dialog_, IDOK)), ok);
    EXPECT_EQ(GetWindowLongPtrW(GetDlgItem(dialog_, IDOK), GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
    EXPECT_EQ(GetWindowLongPtrW(GetDlgItem(dialog_, IDCANCEL), GWL_STYLE) & BS_TYPEMASK,
              BS_OWNERDRAW);
    // The check box is a button too, but stays what it is.
    HWND check = GetDlgItem(dialog_, kCheckId);
    EXPECT_EQ(ModernButton::FromWindow(check), nullptr);
    EXPECT_EQ(GetWindowLongPtrW(check, GWL_STYLE) & BS_TYPEMASK, BS_AUTOCHECKBOX);
}

TEST_F(ThemedDialogTest, PaintsPageAndButtonsThroughWmPrint) {
    SIZE size = ClientSize(dialog_);
    ASSERT_GT(size.cx, 100);
    Canvas canvas(size.cx, size.cy);
    PrintInto(dialog_, canvas, true);

    // Empty page areas: right of every control and the bottom-right corner.
    EXPECT_COLOR(canvas.At(size.cx - 3, 3), palette::kPage);
    EXPECT_COLOR(canvas.At(size.cx - 3, size.cy - 3), palette::kPage);

    // The buttons, drawn into the same DC at their places.
    auto fillAt = [&](int id) {
        HWND button = GetDlgItem(dialog_, id);
        RECT r{};
        GetWindowRect(button, &r);
        MapWindowPoints(nullptr, dialog_, reinterpret_cast<POINT*>(&r), 2);
        return canvas.At(r.left + Scale(button, 8) + 3, (r.top + r.bottom) / 2);
    };
    EXPECT_COLOR(fillAt(IDOK), palette::kAccent);
    EXPECT_COLOR(fillAt(IDCANCEL), palette::kWhite);

    auto rectOf = [&](int id) {
        RECT r{};
        GetWindowRect(GetDlgItem(dialog_, id), &r);
        MapWindowPoints(nullptr, dialog_, reinterpret_cast<POINT*>(&r), 2);
        return r;
    };
    // A static text paints its background with the brush the dialog gives
    // it (past its short text), and an empty edit keeps the system's white.
    const RECT label = rectOf(kLabelId);
    EXPECT_COLOR(canvas.At(label.right - 3, (label.top + label.bottom) / 2), palette::kPage);
    const RECT edit = rectOf(kEditId);
    EXPECT_COLOR(canvas.At((edit.left + edit.right) / 2, (edit.top + edit.bottom) / 2),
                 GetSysColor(COLOR_WINDOW));
}

TEST_F(ThemedDialogTest, EraseFillsTheWholeClientArea) {
    SIZE size = ClientSize(dialog_);
    Canvas canvas(size.cx, size.cy);
    EXPECT_NE(SendMessageW(dialog_, WM_ERASEBKGND, reinterpret_cast<WPARAM>(canvas.dc()), 0), 0);
    for (POINT p : {POINT{0, 0}, POINT{size.cx - 1, 0}, POINT{size.cx / 2, size.cy / 2},
                    POINT{0, size.cy - 1}, POINT{size.cx - 1, size.cy - 1}}) {
        EXPECT_COLOR(canvas.At(p.x, p.y), palette::kPage) << p.x << "," << p.y;
    }
}

TEST_F(ThemedDialogTest, ControlColourMessages) {
    Canvas canvas(4, 4);
    HDC dc = canvas.dc();
    auto ask = [&](UINT message, HWND control) {
        SetTextColor(dc, RGB(1, 2, 3));
        SetBkMode(dc, OPAQUE);
        return reinterpret_cast<HBRUSH>(
            SendMessageW(dialog_, message, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control)));
    };
    struct Row {
        UINT message;
        int id;  // 0: the dialog itself
        bool themed;
        COLORREF text;
    };
    const Row rows[] = {
        {WM_CTLCOLORSTATIC, kHintId, true, palette::kTextSecondary},
        {WM_CTLCOLORSTATIC, kLabelId, true, palette::kTextPrimary},
        {WM_CTLCOLORSTATIC, kCheckId, true, palette::kTextPrimary},
        {WM_CTLCOLORBTN, kCheckId, true, palette::kTextPrimary},
        {WM_CTLCOLORDLG, 0, true, palette::kTextPrimary},
        {WM_CTLCOLOREDIT, kEditId, false, 0},
        // A read-only edit asks as a static and still keeps its own colours.
        {WM_CTLCOLORSTATIC, kReadOnlyEditId, false, 0},
    };
    for (const Row& row : rows) {
        HWND control = row.id ? GetDlgItem(dialog_, row.id) : dialog_;
        HBRUSH brush = ask(row.message, control);
        if (!row.themed) {
            // The dialog manager's defaults: the system's colours.
            EXPECT_NE(brush, probe_->pageBrush()) << row.id;
            EXPECT_EQ(GetTextColor(dc), GetSysColor(COLOR_WINDOWTEXT)) << row.id;
            EXPECT_NE(GetBkMode(dc), TRANSPARENT) << row.id;
            continue;
        }
        EXPECT_EQ(brush, probe_->pageBrush()) << row.id;
        EXPECT_COLOR(GetTextColor(dc), row.text) << row.id;
        EXPECT_COLOR(GetBkColor(dc), palette::kPage) << row.id;
        EXPECT_EQ(GetBkMode(dc), TRANSPARENT) << row.id;
        LOGBRUSH logBrush{};
        ASSERT_EQ(GetObjectW(brush, sizeof(logBrush), &logBrush), static_cast<int>(sizeof(logBrush)));
        EXPECT_COLOR(logBrush.lbColor, palette::kPage);
    }
}

TEST_F(ThemedDialogTest, SecondaryButtonStatesByPixel) {
    HWND button = GetDlgItem(dialog_, IDCANCEL);
    EXPECT_COLOR(ButtonFill(IDCANCEL), palette::kWhite);
    EXPECT_COLOR(ButtonBorder(IDCANCEL), palette::kButtonBorder);

    SendMessageW(button, WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    EXPECT_TRUE(probe_->ButtonById(IDCANCEL)->hovered());
    EXPECT_COLOR(ButtonFill(IDCANCEL), palette::kHoverFill);

    SendMessageW(button, BM_SETSTATE, TRUE, 0);
    EXPECT_COLOR(ButtonFill(IDCANCEL), palette::kPressedFill);
    SendMessageW(button, BM_SETSTATE, FALSE, 0);

    SendMessageW(button, WM_MOUSELEAVE, 0, 0);
    EXPECT_FALSE(probe_->ButtonById(IDCANCEL)->hovered());
    EXPECT_COLOR(ButtonFill(IDCANCEL), palette::kWhite);

    EnableWindow(button, FALSE);
    EXPECT_COLOR(ButtonFill(IDCANCEL), palette::kPage);
    EXPECT_COLOR(ButtonBorder(IDCANCEL), palette::kButtonBorder);
    SendMessageW(button, WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    EXPECT_FALSE(probe_->ButtonById(IDCANCEL)->hovered()) << "disabled buttons ignore the mouse";
}

TEST_F(ThemedDialogTest, PrimaryButtonStatesByPixel) {
    HWND button = GetDlgItem(dialog_, IDOK);
    EXPECT_COLOR(ButtonFill(IDOK), palette::kAccent);
    EXPECT_COLOR(ButtonBorder(IDOK), palette::kAccent);

    SendMessageW(button, WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    EXPECT_COLOR(ButtonFill(IDOK), palette::kAccentHover);
    EXPECT_COLOR(ButtonBorder(IDOK), palette::kAccentHover);

    SendMessageW(button, BM_SETSTATE, TRUE, 0);
    EXPECT_COLOR(ButtonFill(IDOK), palette::kAccentPressed);
    SendMessageW(button, BM_SETSTATE, FALSE, 0);
    EXPECT_COLOR(ButtonFill(IDOK), palette::kAccentHover);

    // Hovered when it was disabled: drawn without hover, and it does not
    // come back hovered when enabled again without a new mouse move.
    EnableWindow(button, FALSE);
    EXPECT_COLOR(ButtonFill(IDOK), palette::kAccentDisabled);
    EnableWindow(button, TRUE);
    EXPECT_FALSE(probe_->ButtonById(IDOK)->hovered());
    EXPECT_COLOR(ButtonFill(IDOK), palette::kAccent);
}

TEST_F(ThemedDialogTest, DefaultButtonMovesWithoutLosingTheOwnerDraw) {
    HWND cancel = GetDlgItem(dialog_, IDCANCEL);
    // What the dialog manager does when the default push button changes.
    SendMessageW(cancel, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
    EXPECT_EQ(GetWindowLongPtrW(cancel, GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
    SendMessageW(dialog_, DM_SETDEFID, IDCANCEL, 0);
    EXPECT_EQ(GetWindowLongPtrW(cancel, GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
    EXPECT_EQ(GetWindowLongPtrW(GetDlgItem(dialog_, IDOK), GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
    EXPECT_COLOR(ButtonFill(IDCANCEL), palette::kWhite);
}

TEST_F(ThemedDialogTest, DpiAndScaleOfARealWindow) {
    const int dpi = DpiOf(dialog_);
    HDC dc = GetDC(dialog_);
    const int logPixels = GetDeviceCaps(dc, LOGPIXELSX);
    ReleaseDC(dialog_, dc);
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    auto perWindow = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    const int windowDpi = perWindow ? static_cast<int>(perWindow(dialog_)) : 0;
    EXPECT_EQ(dpi, ResolveDpi(windowDpi, logPixels));
    EXPECT_GE(dpi, 96);
    EXPECT_EQ(Scale(dialog_, 8), MulDiv(8, dpi, 96));
    EXPECT_EQ(Scale(dialog_, -15), MulDiv(-15, dpi, 96));
    EXPECT_EQ(DpiOf(nullptr), ResolveDpi(0, logPixels)) << "no window: the screen's dpi";
}

// --- ModernButton on its own -----------------------------------------------

class StandaloneButtonTest : public ::testing::Test {
protected:
    void SetUp() override {
        parent_ = CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 300, 100, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(parent_, nullptr);
    }
    void TearDown() override {
        if (parent_) DestroyWindow(parent_);
    }
    HWND MakeButton(DWORD type, const wchar_t* text = L"Go") {
        return CreateWindowExW(0, L"BUTTON", text, WS_CHILD | WS_VISIBLE | type, 10, 10, kWidth,
                               kHeight, parent_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(7)),
                               GetModuleHandleW(nullptr), nullptr);
    }
    // Draws as WM_DRAWITEM would, with the given state flags.
    void DrawWithState(ModernButton& button, UINT state, Canvas& canvas) {
        DRAWITEMSTRUCT item{};
        item.CtlType = ODT_BUTTON;
        item.CtlID = 7;
        item.itemAction = ODA_DRAWENTIRE;
        item.itemState = state;
        item.hwndItem = button.hwnd();
        item.hDC = canvas.dc();
        item.rcItem = RECT{0, 0, kWidth, kHeight};
        button.Draw(item);
    }

    static constexpr int kWidth = 140;
    static constexpr int kHeight = 44;
    HWND parent_ = nullptr;
};

TEST_F(StandaloneButtonTest, FocusRingOnEnabledButtonsOnly) {
    struct Row {
        DWORD type;
        UINT state;
        COLORREF ring;  // expected at the ring's left edge
        const char* what;
    };
    const Row rows[] = {
        {BS_PUSHBUTTON, ODS_FOCUS, palette::kAccent, "secondary focused"},
        {BS_DEFPUSHBUTTON, ODS_FOCUS, palette::kWhite, "primary focused"},
        {BS_PUSHBUTTON, 0, palette::kWhite, "secondary unfocused: fill"},
        {BS_DEFPUSHBUTTON, 0, palette::kAccent, "primary unfocused: fill"},
        {BS_DEFPUSHBUTTON, ODS_FOCUS | ODS_DISABLED, palette::kAccentDisabled, "primary disabled"},
        {BS_PUSHBUTTON, ODS_FOCUS | ODS_DISABLED, palette::kPage, "secondary disabled"},
    };
    for (const Row& row : rows) {
        HWND window = MakeButton(row.type);
        ASSERT_NE(window, nullptr);
        ModernButton button;
        ASSERT_TRUE(button.Attach(window));
        Canvas canvas(kWidth, kHeight);
        DrawWithState(button, row.state, canvas);
        const int inset = Scale(window, 3);
        EXPECT_COLOR(canvas.At(inset, kHeight / 2), row.ring) << row.what;
        // Between the ring and the border the fill shows.
        EXPECT_COLOR(canvas.At(0, 0), palette::kPage) << row.what;
        DestroyWindow(window);
    }
}

TEST_F(StandaloneButtonTest, CornerRadiusFollowsScale) {
    HWND window = MakeButton(BS_DEFPUSHBUTTON, L"");
    ModernButton button;
    ASSERT_TRUE(button.Attach(window));
    Canvas canvas(kWidth, kHeight);
    DrawWithState(button, 0, canvas);
    const int radius = Scale(window, 8);
    // The corner's circle (centre one radius in from the box at x = y = 1)
    // first reaches the top row sqrt(2r - 1) before its centre; a square
    // box starts at x = 1, a radius passed as the diameter about half way
    // there, twice the radius much later.
    int firstEdge = -1;
    for (int x = 0; x < kWidth / 2 && firstEdge < 0; ++x) {
        if (canvas.At(x, 1) == palette::kAccent) firstEdge = x;
    }
    const double expected = 1 + radius - std::sqrt(2.0 * radius - 1);
    EXPECT_NEAR(firstEdge, expected, 1.0) << "radius " << radius;
    EXPECT_COLOR(canvas.At(1, 1), palette::kPage);
    EXPECT_COLOR(canvas.At(1, kHeight / 2), palette::kAccent) << "left edge, straight part";
    EXPECT_COLOR(canvas.At(kWidth / 2, kHeight / 2), palette::kAccent) << "no text, all fill";
    DestroyWindow(window);
}

TEST_F(StandaloneButtonTest, CallerMayChooseTheStyle) {
    HWND window = MakeButton(BS_PUSHBUTTON, L"");
    ModernButton button;
    ASSERT_TRUE(button.AttachAs(window, true));
    EXPECT_TRUE(button.primary());
    Canvas canvas(kWidth, kHeight);
    DrawWithState(button, 0, canvas);
    EXPECT_COLOR(canvas.At(kWidth / 2, kHeight / 2), palette::kAccent);
    DestroyWindow(window);
}

TEST_F(StandaloneButtonTest, SubclassGoesWithTheWindow) {
    HWND window = MakeButton(BS_PUSHBUTTON);
    ModernButton button;
    ASSERT_TRUE(button.Attach(window));
    EXPECT_EQ(ModernButton::FromWindow(window), &button);
    EXPECT_FALSE(button.Attach(window)) << "one window per object";
    DestroyWindow(window);
    EXPECT_EQ(button.hwnd(), nullptr);
    // The destructor must not touch the dead window's subclass list now.
}

TEST_F(StandaloneButtonTest, ObjectGoingFirstRemovesTheSubclass) {
    HWND window = MakeButton(BS_PUSHBUTTON);
    auto typeOf = [&] { return GetWindowLongPtrW(window, GWL_STYLE) & BS_TYPEMASK; };
    {
        ModernButton button;
        ASSERT_TRUE(button.Attach(window));
        ASSERT_EQ(ModernButton::FromWindow(window), &button);
        // The subclass keeps the owner-drawn type against BM_SETSTYLE.
        SendMessageW(window, BM_SETSTYLE, BS_DEFPUSHBUTTON, FALSE);
        EXPECT_EQ(typeOf(), BS_OWNERDRAW);
    }
    EXPECT_EQ(ModernButton::FromWindow(window), nullptr);
    // Without the subclass the plain button takes the style as given, and
    // the messages the subclass handled reach the plain button only.
    SendMessageW(window, BM_SETSTYLE, BS_DEFPUSHBUTTON, FALSE);
    EXPECT_EQ(typeOf(), BS_DEFPUSHBUTTON);
    SendMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(3, 3));
    SendMessageW(window, WM_MOUSELEAVE, 0, 0);
    EXPECT_TRUE(IsWindow(window));
    DestroyWindow(window);
}

TEST_F(StandaloneButtonTest, OnlyButtonsCanBeAttached) {
    HWND label = CreateWindowExW(0, L"Static", L"x", WS_CHILD | SS_LEFT, 0, 0, 50, 20, parent_,
                                 nullptr, GetModuleHandleW(nullptr), nullptr);
    ModernButton button;
    EXPECT_FALSE(button.Attach(label));
    EXPECT_EQ(GetWindowLongPtrW(label, GWL_STYLE) & SS_TYPEMASK, SS_LEFT);
    EXPECT_FALSE(button.Attach(nullptr));
    EXPECT_EQ(button.hwnd(), nullptr);
    DestroyWindow(label);
}

TEST_F(StandaloneButtonTest, DrawItemFromAParentReachesOnlyOurButtons) {
    HWND ours = MakeButton(BS_PUSHBUTTON);
    HWND plain = MakeButton(BS_OWNERDRAW);
    ModernButton button;
    ASSERT_TRUE(button.Attach(ours));
    Canvas canvas(kWidth, kHeight);
    DRAWITEMSTRUCT item{};
    item.CtlType = ODT_BUTTON;
    item.hDC = canvas.dc();
    item.rcItem = RECT{0, 0, kWidth, kHeight};
    item.hwndItem = plain;
    EXPECT_FALSE(ModernButton::DrawIfOurs(item));
    EXPECT_COLOR(canvas.At(kWidth / 4, kHeight / 2), Canvas::kUnpainted);
    item.hwndItem = ours;
    EXPECT_TRUE(ModernButton::DrawIfOurs(item));
    EXPECT_COLOR(canvas.At(kWidth / 4, kHeight / 2), palette::kWhite);
    DestroyWindow(ours);
    DestroyWindow(plain);
}

// --- dialog base lifetime --------------------------------------------------

TEST(DialogBaseLifetime, OwnedDialogIsFreedExactlyOnceWithItsWindow) {
    Census census;
    TemplateBuilder t = StandardTemplate();
    HWND dialog = DialogBase::CreateOwnedIndirect(std::make_unique<ProbeDlg>(&census),
                                                  GetModuleHandleW(nullptr), t.get(), nullptr);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(census.live(), 1);
    DestroyWindow(dialog);
    EXPECT_EQ(census.constructed, 1);
    EXPECT_EQ(census.destroyed, 1);
    EXPECT_FALSE(IsWindow(dialog));
}

TEST(DialogBaseLifetime, CancelClosesAModelessDialogAndFreesIt) {
    Census census;
    TemplateBuilder t = StandardTemplate();
    HWND dialog = DialogBase::CreateOwnedIndirect(std::make_unique<ProbeDlg>(&census),
                                                  GetModuleHandleW(nullptr), t.get(), nullptr);
    ASSERT_NE(dialog, nullptr);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(census.destroyed, 1);
    EXPECT_EQ(census.live(), 0);
}

TEST(DialogBaseLifetime, DialogDestroyingItselfWhileInitialisingIsFreedOnce) {
    Census census;
    TemplateBuilder t = StandardTemplate();
    auto dialog = std::make_unique<ProbeDlg>(&census);
    dialog->destroyInInit = true;
    HWND window = DialogBase::CreateOwnedIndirect(std::move(dialog), GetModuleHandleW(nullptr),
                                                  t.get(), nullptr);
    EXPECT_EQ(window, nullptr);
    EXPECT_EQ(census.constructed, 1);
    EXPECT_EQ(census.destroyed, 1);
}

TEST(DialogBaseLifetime, FailedCreationFreesTheObject) {
    Census census;
    TemplateBuilder t(WS_POPUP, 100, 50, L"broken");
    t.Item(0, 0, 0, 0, 10, 10, 1, L"", L"NoSuchWindowClassHere");
    HWND window = DialogBase::CreateOwnedIndirect(std::make_unique<ProbeDlg>(&census),
                                                  GetModuleHandleW(nullptr), t.get(), nullptr);
    EXPECT_EQ(window, nullptr);
    EXPECT_EQ(census.constructed, 1);
    EXPECT_EQ(census.destroyed, 1);
    EXPECT_EQ(DialogBase::CreateOwnedIndirect(nullptr, GetModuleHandleW(nullptr), t.get(), nullptr),
              nullptr);
}

TEST(DialogBaseLifetime, ModalDialogBelongsToItsCaller) {
    Census census;
    TemplateBuilder t = StandardTemplate();
    {
        ProbeDlg dialog(&census);
        dialog.closeAfterInit = true;
        const INT_PTR result = dialog.RunModalIndirect(GetModuleHandleW(nullptr), t.get(), nullptr);
        EXPECT_EQ(result, IDCANCEL);
        EXPECT_EQ(dialog.initCalls, 1);
        EXPECT_TRUE(dialog.sawNcDestroy);
        EXPECT_EQ(dialog.hwnd(), nullptr);
        EXPECT_EQ(census.live(), 1) << "the window must not free a caller's object";
        EXPECT_EQ(dialog.buttons().size(), 0u) << "buttons are freed with the window";
    }
    EXPECT_EQ(census.destroyed, 1);
}

TEST(DialogBaseLifetime, FromWindowKnowsOnlyItsOwnDialogs) {
    Census census;
    TemplateBuilder t = StandardTemplate();
    HWND ours = DialogBase::CreateOwnedIndirect(std::make_unique<ProbeDlg>(&census),
                                                GetModuleHandleW(nullptr), t.get(), nullptr);
    ASSERT_NE(ours, nullptr);
    struct Plain {
        static INT_PTR CALLBACK Proc(HWND window, UINT message, WPARAM, LPARAM lParam) {
            if (message == WM_INITDIALOG) SetWindowLongPtrW(window, DWLP_USER, lParam);
            return message == WM_INITDIALOG;
        }
    };
    HWND foreign = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), t.get(), nullptr,
                                              &Plain::Proc, 0x1234);
    ASSERT_NE(foreign, nullptr);
    EXPECT_NE(DialogBase::FromWindow(ours), nullptr);
    EXPECT_EQ(DialogBase::FromWindow(foreign), nullptr);
    EXPECT_EQ(DialogBase::FromWindow(GetDlgItem(ours, IDOK)), nullptr);
    EXPECT_EQ(DialogBase::FromWindow(nullptr), nullptr);
    DestroyWindow(foreign);
    DestroyWindow(ours);
    EXPECT_EQ(census.live(), 0);
}

}  // namespace
}  // namespace qs
