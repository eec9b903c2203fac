// The new-job notice: a small topmost window in the bottom-right corner of
// the primary monitor's work area, shown for 5 seconds without taking the
// focus. One window per process, created on first use and kept hidden
// between notices.
#pragma once
#include <windows.h>

#include <string>

namespace qs {

inline constexpr int kToastWidth = 340;
inline constexpr int kToastHeight = 88;
inline constexpr UINT_PTR kToastHideTimer = 1;
inline constexpr UINT kToastShowMs = 5000;

// Where the toast goes in a work area: 16 pixels from its right and bottom
// edges, 340 x 88, not scaled with DPI.
RECT ToastRectFor(const RECT& workArea);

// Shows (or re-shows) the toast with text; a toast already up takes the new
// text and another full 5 seconds. UI thread only.
void ShowJobToast(const std::wstring& text);

// The toast window, nullptr before the first ShowJobToast; its current text.
HWND JobToastWindow();
const std::wstring& JobToastText();

}  // namespace qs
