#include "ble/current_ssid.h"

#include <windows.h>
#include <wlanapi.h>

#include "foundation/dynamic_proc.h"

namespace qs {

namespace {

using WlanOpenHandleFn = DWORD(WINAPI*)(DWORD, PVOID, PDWORD, PHANDLE);
using WlanCloseHandleFn = DWORD(WINAPI*)(HANDLE, PVOID);
using WlanEnumInterfacesFn = DWORD(WINAPI*)(HANDLE, PVOID, PWLAN_INTERFACE_INFO_LIST*);
using WlanQueryInterfaceFn = DWORD(WINAPI*)(HANDLE, const GUID*, WLAN_INTF_OPCODE, PVOID, PDWORD, PVOID*,
                                            PWLAN_OPCODE_VALUE_TYPE);
using WlanFreeMemoryFn = VOID(WINAPI*)(PVOID);

std::wstring Decode(UINT codePage, DWORD flags, const std::string& bytes) {
    const int n = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
    return out;
}

}  // namespace

std::wstring DecodeSsid(const std::string& bytes) {
    if (bytes.empty() || bytes.size() > 32) return std::wstring();
    std::wstring text = Decode(CP_UTF8, MB_ERR_INVALID_CHARS, bytes);
    if (text.empty()) text = Decode(CP_ACP, 0, bytes);
    return text;
}

std::wstring CurrentSsid() {
    SystemLibrary wlan(L"wlanapi.dll");
    auto open = wlan.Find<WlanOpenHandleFn>("WlanOpenHandle");
    auto close = wlan.Find<WlanCloseHandleFn>("WlanCloseHandle");
    auto enumerate = wlan.Find<WlanEnumInterfacesFn>("WlanEnumInterfaces");
    auto query = wlan.Find<WlanQueryInterfaceFn>("WlanQueryInterface");
    auto freeMemory = wlan.Find<WlanFreeMemoryFn>("WlanFreeMemory");
    if (!open || !close || !enumerate || !query || !freeMemory) return std::wstring();

    DWORD negotiated = 0;
    HANDLE client = nullptr;
    if (open(2, nullptr, &negotiated, &client) != ERROR_SUCCESS || !client) return std::wstring();
    std::wstring result;
    PWLAN_INTERFACE_INFO_LIST list = nullptr;
    if (enumerate(client, nullptr, &list) == ERROR_SUCCESS && list) {
        for (DWORD i = 0; i < list->dwNumberOfItems && result.empty(); ++i) {
            const WLAN_INTERFACE_INFO& info = list->InterfaceInfo[i];
            if (info.isState != wlan_interface_state_connected) continue;
            DWORD size = 0;
            PVOID data = nullptr;
            if (query(client, &info.InterfaceGuid, wlan_intf_opcode_current_connection, nullptr, &size, &data,
                      nullptr) != ERROR_SUCCESS || !data) {
                continue;
            }
            if (size >= sizeof(WLAN_CONNECTION_ATTRIBUTES)) {
                const auto* attributes = static_cast<const WLAN_CONNECTION_ATTRIBUTES*>(data);
                const DOT11_SSID& ssid = attributes->wlanAssociationAttributes.dot11Ssid;
                if (ssid.uSSIDLength >= 1 && ssid.uSSIDLength <= 32) {
                    result = DecodeSsid(std::string(reinterpret_cast<const char*>(ssid.ucSSID), ssid.uSSIDLength));
                }
            }
            freeMemory(data);
        }
        freeMemory(list);
    }
    close(client, nullptr);
    return result;
}

}  // namespace qs
