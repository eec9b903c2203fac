// Dispatches this thread's messages for a while, so that timers, posted
// messages and painting run as in a message loop. WM_QUIT is dropped: a
// window the test closes must not end the loop of the next test.
#pragma once
#include <windows.h>

namespace qs::test {

inline void Pump(int ms) {
    const DWORD end = GetTickCount() + static_cast<DWORD>(ms);
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(5);
    } while (static_cast<LONG>(GetTickCount() - end) < 0);
}

}  // namespace qs::test
