// Window messages and timer ids of the tray application.
#pragma once
#include <windows.h>

// WM_BLE_EVENT (BLE worker → BLE dialog) and WM_UPDATE_RESULT (update
// threads → main window) come with the modules that post them.
#include "ble/ble_event.h"
#include "updater/updater.h"

namespace qs {

// Shell → main window: lParam is the mouse message on the notification icon.
inline constexpr UINT WM_TRAYICON = WM_APP + 1;
// Device list → main window: wParam row index, lParam 0 bind, 1 delete, 2 row menu.
inline constexpr UINT WM_DEVICE_ACTION = WM_APP + 2;

// Row actions carried in WM_DEVICE_ACTION's lParam.
inline constexpr int kDeviceActionBind = 0;
inline constexpr int kDeviceActionDelete = 1;
inline constexpr int kDeviceActionMenu = 2;

// Timers of the main window.
inline constexpr UINT_PTR TIMER_PROBE = 1;         // 2000 ms, periodic
inline constexpr UINT_PTR TIMER_LIST = 2;          // 30000 ms, periodic
inline constexpr UINT_PTR TIMER_SERVICE_WAIT = 3;  // 800 ms, one-shot, re-armed
inline constexpr UINT_PTR TIMER_UPDATE_CHECK = 4;  // 4000 ms, one-shot

inline constexpr UINT kProbeIntervalMs = 2000;
inline constexpr UINT kListIntervalMs = 30000;
inline constexpr UINT kServiceWaitIntervalMs = 800;
inline constexpr UINT kUpdateCheckDelayMs = 4000;

}  // namespace qs
