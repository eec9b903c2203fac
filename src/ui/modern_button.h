// Owner-drawn replacement of a push button: flat rounded fill, hover and
// pressed shades, a focus ring. A BS_DEFPUSHBUTTON becomes the primary
// (accent) button, every other push button a secondary one.
//
// The button's parent receives WM_DRAWITEM for it and passes it on with
// DrawItem (ThemedDlg does this for its buttons).
#pragma once
#include <windows.h>

#include "ui/theme.h"

namespace qs {

class ModernButton {
public:
    ModernButton() = default;
    // Removes the subclass when the button is still alive.
    ~ModernButton();
    ModernButton(const ModernButton&) = delete;
    ModernButton& operator=(const ModernButton&) = delete;

    // Reads the primary flag from the button type, makes it BS_OWNERDRAW and
    // subclasses it. False when the window is not a button or the subclass
    // could not be installed (the button is left as it was).
    bool Attach(HWND button);
    // The same with the style chosen by the caller (the main window names
    // its primary buttons by id).
    bool AttachAs(HWND button, bool primary);
    // Undoes Attach on a live button; also happens by itself when the button
    // is destroyed.
    void Detach();

    // The object attached to a button window, or nullptr.
    static ModernButton* FromWindow(HWND button);
    // Draws the button described by a WM_DRAWITEM if it is one of ours;
    // false when it is not (the caller lets it go to the default).
    static bool DrawIfOurs(const DRAWITEMSTRUCT& item);

    // Paints into item.hDC through an off-screen bitmap of the item's size.
    void Draw(const DRAWITEMSTRUCT& item);

    HWND hwnd() const { return hwnd_; }
    bool primary() const { return primary_; }
    bool hovered() const { return hover_.hovered(); }

private:
    static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam,
                                         LPARAM lParam, UINT_PTR id, DWORD_PTR refData);

    HWND hwnd_ = nullptr;
    bool primary_ = false;
    HoverState hover_;
};

}  // namespace qs
