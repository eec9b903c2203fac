// The tray's light theme: the palette, DPI scaling and the decisions the
// themed windows make (which colours a button or a control gets). The
// decisions use no window so tables of cases can test them directly.
#pragma once
#include <windows.h>

namespace qs {

// RGB values as COLORREF (0x00BBGGRR), built from the usual #RRGGBB form.
constexpr COLORREF Rgb(unsigned rrggbb) {
    return static_cast<COLORREF>(((rrggbb >> 16) & 0xFF) | (rrggbb & 0xFF00) |
                                 ((rrggbb & 0xFF) << 16));
}

namespace palette {
inline constexpr COLORREF kPage = Rgb(0xF3F3F3);            // every page, list and band
inline constexpr COLORREF kHeaderBand = Rgb(0xF9F9F9);      // main window's column headers
inline constexpr COLORREF kWhite = Rgb(0xFFFFFF);           // cards, footer, secondary fill
inline constexpr COLORREF kTextPrimary = Rgb(0x201F1E);
inline constexpr COLORREF kTextSecondary = Rgb(0x605E5C);   // hints, serials, unknown
inline constexpr COLORREF kTextDisabled = Rgb(0xA19F9D);    // also offline/unknown pills
inline constexpr COLORREF kAccent = Rgb(0x0078D4);          // primary, LAN, focus ring
inline constexpr COLORREF kAccentHover = Rgb(0x106EBE);
inline constexpr COLORREF kAccentPressed = Rgb(0x005A9E);
inline constexpr COLORREF kAccentDisabled = Rgb(0xB4D6F5);
inline constexpr COLORREF kButtonBorder = Rgb(0xD1D1D1);    // also header band top line
inline constexpr COLORREF kSeparator = Rgb(0xE0E0E0);       // card outlines, footer line
inline constexpr COLORREF kCardHoverOutline = Rgb(0xC8D8E8);
inline constexpr COLORREF kHoverFill = Rgb(0xF5F5F5);       // hovered card / secondary
inline constexpr COLORREF kPressedFill = Rgb(0xE8E8E8);     // pressed secondary
inline constexpr COLORREF kSuccess = Rgb(0x107C10);
inline constexpr COLORREF kAttention = Rgb(0xCA5010);
inline constexpr COLORREF kDanger = Rgb(0xD13438);
inline constexpr COLORREF kBlueRowOutline = Rgb(0xC7E0F4);
inline constexpr COLORREF kBlueRowPressed = Rgb(0xD2E6F8);
inline constexpr COLORREF kBlueRowHover = Rgb(0xE8F2FC);    // also the selected BLE row
inline constexpr COLORREF kRedRowOutline = Rgb(0xF4C7C7);
inline constexpr COLORREF kRedRowPressed = Rgb(0xFAD9D9);
inline constexpr COLORREF kRedRowHover = Rgb(0xFDECEC);
}  // namespace palette

// --- DPI ---------------------------------------------------------------

// The window's dots per inch: GetDpiForWindow where Windows has it (looked
// up at run time; Windows 7 lacks it) and it gives at least 96, else the
// LOGPIXELSX of the window's DC, else 96.
int DpiOf(HWND window);
// x * dpi / 96 for the window, rounded as MulDiv rounds (half away from 0).
int Scale(HWND window, int x);

// The choice DpiOf makes from what it could read; 0 stands for "absent or
// failed".
int ResolveDpi(int windowDpi, int deviceContextDpi);
// x * dpi / 96 rounded half away from zero, exactly as MulDiv does.
int ScaleForDpi(int x, int dpi);

// --- Buttons -----------------------------------------------------------

enum class ButtonState { kNormal, kHovered, kPressed, kDisabled };

// Disabled outranks pressed and pressed outranks hovered; a button is only
// hovered while it is enabled.
ButtonState ButtonStateFor(bool pressed, bool disabled, bool hovered);

struct ButtonLook {
    COLORREF fill;
    COLORREF border;
    COLORREF text;
};
ButtonLook ButtonLookFor(bool primary, ButtonState state);

// The focus ring is drawn on enabled buttons that have the focus, in the
// accent on secondary buttons and white on the accent fill of primary ones.
bool ShowsFocusRing(bool focused, bool disabled);
COLORREF FocusRingColor(bool primary);

// Whether the mouse-move/leave rules of a button call for a repaint and for
// a new TME_LEAVE request. The hovered flag is the only state.
class HoverState {
public:
    // Returns true when the button has just become hovered (repaint and
    // ask for WM_MOUSELEAVE); a disabled button never becomes hovered.
    bool OnMouseMove(bool enabled);
    // Returns true when the hover was cleared (repaint).
    bool OnMouseLeave();
    // A disabled button forgets its hover, so it comes back plain when it
    // is enabled again.
    void OnDisabled() { hovered_ = false; }
    bool hovered() const { return hovered_; }

private:
    bool hovered_ = false;
};

// --- Dialog control colours ----------------------------------------------

// The kinds of window that ask their dialog for colours.
enum class ControlKind { kDialog, kStatic, kButton, kEdit, kListBox, kComboBox, kOther };
ControlKind ControlKindOfClass(const wchar_t* className);

struct ControlColors {
    bool themed;  // false: leave the system colours alone
    COLORREF text;
    COLORREF background;
};
// Static texts, check boxes and the dialog itself get the page colour and
// primary text (hint controls: secondary text); edits, list boxes and combo
// boxes keep the system colours, also when a read-only edit asks as a static.
ControlColors ControlColorsFor(ControlKind kind, int controlId);
// The controls whose text is a grey hint.
bool IsHintControl(int controlId);

}  // namespace qs
