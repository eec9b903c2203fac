// Starting the tray with Windows: a value under the user's Run key.
#pragma once
#include <string>

namespace qs {

inline constexpr wchar_t kAutostartKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr wchar_t kAutostartValue[] = L"Quillstone";

// The Run value's data for an executable: the quoted path, a blank, /tray.
std::wstring AutostartCommand(const std::wstring& exePath);

// Enabled: writes REG_SZ Quillstone = AutostartCommand(running exe) under
// HKCU\...\Run (created if needed). Disabled: deletes the value. Nothing
// happens when the key cannot be opened.
void SetAutostart(bool enabled);
// True when the value exists and its data is longer than 2 bytes.
bool AutostartEnabled();

}  // namespace qs
