// Tray mode from the single-instance check on: the main window, shown or
// hidden, and the message loop that runs until Exit.
#pragma once
#include <windows.h>

#include <string>

#include "foundation/handles.h"

namespace qs {

inline constexpr wchar_t kTrayMutexName[] = L"Quillstone_UI_SingleInstance";

// Creates the named mutex, owned. True for the first instance (also when
// the mutex cannot be made at all); false when another process, or an
// earlier call, holds it. held keeps the handle for the process's life.
bool ClaimSingleInstance(const wchar_t* mutexName, UniqueHandle* held);

// Finds the running instance's main window by its title, shows it and
// brings it to the foreground; false when there is none.
bool BringInstanceForward(const std::wstring& title);

// The rest of tray mode after the language is chosen: a second instance
// brings the first forward (unless hidden) and ends; the first creates the
// main window, leaves it hidden when the core was reachable or hidden was
// asked for, and runs the message loop. Returns the process exit code.
int RunTrayApplication(bool hidden, bool coreReachable);

// The loop for a modeless main window: dialog keys go to it.
int RunTrayMessageLoop(HWND mainWindow);

}  // namespace qs
