// Polls a condition until it holds or the time is up; the last check
// decides, so a condition that turns true at the deadline still counts.
#pragma once
#include <chrono>
#include <thread>

namespace qs::test {

template <typename Pred>
bool WaitFor(Pred pred, int timeoutMs, int stepMs = 20) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
    return pred();
}

}  // namespace qs::test
