// The main window's decisions without a window: where every control goes
// for a client size and DPI, which header texts fit, how long a notice
// lives and what a jobtip answer means. MainDlg only applies them.
#pragma once
#include <windows.h>

#include <array>
#include <cstdint>

namespace qs {

// Text widths of the header buttons in their font, device pixels.
struct MainLayoutInput {
    int width = 0;   // client size
    int height = 0;
    int dpi = 96;
    bool footer = false;  // a notice is shown, or the core is known to be absent
    std::array<int, 4> buttonTextWidths{};  // 1010, 1018, 1015, 1016
    int bleTextWidth = 0;                   // 1019
    int emptyButtonTextWidth = 0;           // 1072
};

struct MainLayout {
    RECT header{};                 // 1060
    std::array<RECT, 4> buttons{};  // 1010, 1018, 1015, 1016
    RECT ble{};                    // 1019
    RECT columnBand{};             // 1061
    RECT list{};                   // 1001
    bool footerVisible = false;
    RECT footer{};                 // 1002
    RECT emptyTitle{};             // 1070
    RECT emptyHint{};              // 1071
    RECT emptyButton{};            // 1072
    std::array<RECT, 7> columnHeaders{};  // 1063 .. 1069
};

// False (and nothing computed) when the client area has no width or height.
bool ComputeMainLayout(const MainLayoutInput& input, MainLayout* layout);

// The smallest window the user can drag to: S(1040) x S(460).
SIZE MainMinimumTrackSize(int dpi);

// The header band's right-aligned texts, right to left: the device count,
// then the version; each is drawn only when it still fits between left and
// the current right edge, which then moves left by its width and a gap.
struct HeaderTextPlacement {
    bool countShown = false;
    RECT count{};
    bool versionShown = false;
    RECT version{};
};
HeaderTextPlacement PlaceHeaderTexts(int left, int right, int top, int bottom, int countWidth,
                                     int versionWidth, int gap);

// A footer notice lives 2500 ms in tick counts, across the 49-day wrap.
inline constexpr DWORD kNoticeLifetimeMs = 2500;
bool NoticeExpired(DWORD nowTick, DWORD noticeTick);

// What one jobtip answer does: the first answer (last < 0) only sets the
// baseline; a larger id raises a toast; an equal or smaller one nothing.
struct JobTipStep {
    bool toast = false;
    int64_t lastId = -1;
};
JobTipStep NextJobTip(int64_t lastId, int64_t id);

// What a probe result does to the window's connection state.
enum class ProbeAction {
    kNone,       // nothing changed: only the job tip is polled
    kRefresh,    // the core came back: refresh the list
    kRestyle,    // the state changed otherwise: empty state and layout
};
ProbeAction ProbeActionFor(bool stateKnown, bool connected, bool probe);

// The service wait re-arms while fewer than 12 firings found no core.
inline constexpr int kServiceWaitFirings = 12;

}  // namespace qs
