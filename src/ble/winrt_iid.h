// Interface ids of parameterized Windows Runtime interfaces are not in the
// metadata: they are UUID version 5 (SHA-1) values over the instance's type
// signature, in the runtime's own namespace.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

namespace qs {

// SHA-1 of the bytes, 20 raw bytes.
std::string Sha1(const std::string& bytes);
// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", lower case, as signatures write it.
std::string GuidSignatureText(const GUID& guid);
// The id of the parameterized interface whose signature is given, e.g.
// "pinterface({fcdcf02c-...};rc(Windows.Devices.Bluetooth.BluetoothAdapter;{7974f04c-...}))".
GUID ParameterizedIid(const std::string& signature);

}  // namespace qs
