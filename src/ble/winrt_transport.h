// The product's Bluetooth LE transport over the Windows Runtime ABI. The
// runtime entry points are looked up in combase.dll at run time (Windows 7
// has none); a class that cannot be activated counts as no adapter.
#pragma once
#include <memory>

#include "ble/ble_transport.h"

namespace qs {

std::unique_ptr<BleTransport> MakeWinRtTransport();

}  // namespace qs
