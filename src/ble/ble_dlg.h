// The BLE provisioning dialog (template IDD_BLE_DIALOG, 205): scan for
// nearby devices, connect to one, watch its network status and send it
// Wi-Fi or IP settings. It drives a BleWorker and speaks the provisioning
// protocol; all the work is on the worker, the dialog only reacts to its
// events.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ble/ble_event.h"
#include "ble/ble_worker.h"
#include "ui/themed_dlg.h"

namespace qs {

// Runs the dialog modally over the process's BLE worker (BleWorker::
// Instance); the template must be linked into the executable.
INT_PTR ShowBleDialog(HWND owner);

class BleDlg : public ThemedDlg {
public:
    struct FoundDevice {
        uint64_t address = 0;
        int32_t addressType = 0;
        std::wstring name;
    };

    explicit BleDlg(BleWorker* worker);
    ~BleDlg() override;

    // Where the poll timer's interval goes (0 stops it); SetTimer/KillTimer
    // when not replaced. Tests record it and post WM_TIMER themselves.
    void SetPollTimerFn(std::function<void(int ms)> fn) { pollTimerFn_ = std::move(fn); }
    // Length of a scan (8000 ms); tests shorten it.
    void SetScanDurationMs(int ms) { scanMs_ = ms; }
    // Where the Wi-Fi name is pre-filled from; CurrentSsid when not replaced.
    void SetSsidSource(std::function<std::wstring()> fn) { ssidSource_ = std::move(fn); }

    // State, for tests and the screenshots.
    const std::vector<FoundDevice>& foundDevices() const { return foundDevices_; }
    bool busy() const { return busy_; }
    bool linked() const { return linked_; }
    int linkedRow() const { return linkedRow_; }
    bool readPending() const { return readPending_; }
    bool waitingOnline() const { return waitingOnline_; }
    int pollMs() const { return pollMs_; }
    bool ipTouched() const { return ipTouched_; }
    const std::wstring& headline() const { return headline_; }
    const std::wstring& detail() const { return detail_; }
    COLORREF panelColor() const { return panelColor_; }
    const ProvisionStatus& lastStatus() const { return lastStatus_; }

protected:
    BOOL OnInitDialog() override;
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void SetTexts();
    void SetBusy(bool busy);
    void UpdateIpFields();
    void SetPanel(const std::wstring& headline, const std::wstring& detail, COLORREF color);
    void ShowListHint(const std::wstring& text);
    void HideListHint();
    void ShowStatus(const ProvisionStatus& status);
    void ApplyStatusToForm(const ProvisionStatus& status);
    void SetPollInterval(int ms);
    std::wstring EditText(int id) const;
    void SetEditText(int id, const std::wstring& text);
    bool Checked(int id) const;
    void Enable(int id, bool on);
    int Box(const std::wstring& text, UINT flags);

    void OnScan();
    void OnConnect();
    void OnSendWifi();
    void OnSendIp();
    void OnStaticIpClicked();
    void OnTimer();
    void OnBleEvent(const BleEvent& event);
    void OnDeviceFound(const BleEvent& event);
    void OnScanFinished();
    void OnFailed(const BleEvent& event);
    void OnDisconnected();
    void Shutdown();

    void DrawListItem(const DRAWITEMSTRUCT& item);
    void DrawStatusPanel(const DRAWITEMSTRUCT& item);
    void MeasureRows();

    BleWorker* worker_;
    std::function<void(int)> pollTimerFn_;
    std::function<std::wstring()> ssidSource_;
    int scanMs_ = 8000;

    std::vector<FoundDevice> foundDevices_;
    bool busy_ = false;
    bool linked_ = false;
    int linkedRow_ = -1;
    ProvisionStatus lastStatus_;
    bool dualWifiSeen_ = false;
    bool waitingOnline_ = false;
    bool readPending_ = false;
    int pollMs_ = 0;
    bool ipTouched_ = false;
    bool formUpdating_ = false;
    bool shutDown_ = false;
    std::wstring headline_;
    std::wstring detail_;
    COLORREF panelColor_ = 0;
    HFONT headlineFont_ = nullptr;
    HFONT detailFont_ = nullptr;
};

}  // namespace qs
