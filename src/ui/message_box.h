// Every message box of the product goes through here, so a test can answer
// boxes instead of a person.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

namespace qs {

using MessageBoxFn =
    std::function<int(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags)>;

// MessageBoxW unless a replacement is set.
int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags);
// An empty function restores MessageBoxW.
void SetMessageBoxFn(MessageBoxFn fn);

}  // namespace qs
