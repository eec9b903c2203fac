// The network name of the computer's current Wi-Fi connection, through the
// WLAN API looked up at run time (absent on some Windows editions).
#pragma once
#include <string>

namespace qs {

// Empty when there is no connected Wi-Fi interface or anything fails.
std::wstring CurrentSsid();
// SSID bytes as strict UTF-8, or in the system ANSI code page when they are
// not valid UTF-8; empty for lengths outside 1 to 32.
std::wstring DecodeSsid(const std::string& bytes);

}  // namespace qs
