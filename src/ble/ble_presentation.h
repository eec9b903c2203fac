// How the dialog shows a device's status and the worker's failures: pure
// decisions, tested as tables.
#pragma once
#include <windows.h>

#include <string>

#include "ble/ble_event.h"
#include "ble/provision_protocol.h"

namespace qs {

struct StatusLines {
    std::wstring headline;
    std::wstring detail;
};

// Headline: the state text, and "  ·  " with the link text when known.
// Detail: SSID, IP mode and address, the present ones joined by "    ·    ".
StatusLines StatusLinesFor(const ProvisionStatus& status);
// #107C10 online, #0078D4 has an IP, #CA5010 joining, else #605E5C.
COLORREF StatusColor(const ProvisionStatus& status);
// The text a failure shows (a box or the status panel).
std::wstring BleErrorText(int errorCode, const std::wstring& detail);

}  // namespace qs
