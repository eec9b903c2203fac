// The records the BLE worker posts to its window.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "ble/provision_protocol.h"

// Posted to the window given to StartWorker; wParam 0, lParam a BleEvent*
// that the receiver deletes.
#ifndef WM_BLE_EVENT
#define WM_BLE_EVENT (WM_APP + 42)
#endif

namespace qs {

enum BleEventKind : int32_t {
    EvDeviceFound = 1,
    EvScanFinished = 2,
    EvConnected = 3,
    EvStatusRead = 4,
    EvWritten = 5,
    EvFailed = 6,
    EvDisconnected = 7,
};

enum BleError : int32_t {
    ErrNone = 0,
    ErrNoAdapter = 1,
    ErrDeviceNotFound = 2,
    ErrNoSetupService = 3,
    ErrPacketTooSmall = 4,
    ErrWriteFailed = 5,
    ErrReadFailed = 6,
    ErrPlatform = 7,
};

struct BleEvent {
    BleEventKind eventKind = EvFailed;
    BleError errorCode = ErrNone;
    uint64_t deviceAddress = 0;
    int32_t addressType = 0;
    std::wstring deviceName;
    ProvisionStatus deviceStatus;
    std::wstring detail;
};

}  // namespace qs
