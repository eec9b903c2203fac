// A message-only window that receives the worker's WM_BLE_EVENT records,
// so tests see exactly what a dialog would be posted.
#pragma once
#include <windows.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "ble/ble_event.h"

namespace qs::test {

class BleEventSink {
public:
    BleEventSink() {
        window_ = CreateWindowExW(0, L"Static", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    }
    ~BleEventSink() {
        Pump();
        if (window_) DestroyWindow(window_);
    }
    BleEventSink(const BleEventSink&) = delete;
    BleEventSink& operator=(const BleEventSink&) = delete;

    HWND window() const { return window_; }
    const std::vector<BleEvent>& events() const { return events_; }

    // Takes every record that has arrived.
    void Pump() {
        MSG msg;
        while (PeekMessageW(&msg, window_, WM_BLE_EVENT, WM_BLE_EVENT, PM_REMOVE)) {
            std::unique_ptr<BleEvent> event(reinterpret_cast<BleEvent*>(msg.lParam));
            if (event) events_.push_back(*event);
        }
    }
    // Pumps until the condition holds or the time is up.
    bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            Pump();
            if (done()) return true;
            if (std::chrono::steady_clock::now() >= end) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_POSTMESSAGE);
        }
    }
    int Count(BleEventKind kind) const {
        int n = 0;
        for (const BleEvent& e : events_) n += e.eventKind == kind;
        return n;
    }
    bool WaitForCount(BleEventKind kind, int count, int timeoutMs) {
        return WaitUntil([&] { return Count(kind) >= count; }, timeoutMs);
    }
    // The last event of a kind (the first one when none: a default record).
    BleEvent Last(BleEventKind kind) const {
        for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
            if (it->eventKind == kind) return *it;
        }
        return BleEvent{};
    }
    void Clear() { events_.clear(); }

private:
    HWND window_ = nullptr;
    std::vector<BleEvent> events_;
};

}  // namespace qs::test
