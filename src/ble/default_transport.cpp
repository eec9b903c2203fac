#include <windows.h>

#include "ble/ble_worker.h"
#include "ble/sim_transport.h"
#include "ble/winrt_transport.h"

namespace qs {

std::unique_ptr<BleTransport> DefaultBleTransport() {
#ifdef QS_BLE_SIMULATION_SWITCH
    // Only the x86_64 test build: lets the demo show the dialog working
    // where no Bluetooth exists.
    if (GetEnvironmentVariableW(L"QSTN_BLE_SIMULATED", nullptr, 0) > 0) {
        return MakeSimTransport(MakeDemoSimWorld());
    }
#endif
    return MakeWinRtTransport();
}

}  // namespace qs
