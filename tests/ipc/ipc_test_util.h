// Small helpers shared by the pipe tests.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>

#include "foundation/handles.h"

namespace qs::test {

// A pipe name no other test process uses, so suites may run side by side.
inline std::wstring UniquePipeName() {
    static std::atomic<int> counter{0};
    return L"\\\\.\\pipe\\qs_ipc_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(counter++);
}

// A client connection made without the client library, for misbehaving peers.
inline UniqueFile OpenRawClient(const std::wstring& name, DWORD waitMs = 2000) {
    if (!WaitNamedPipeW(name.c_str(), waitMs)) return UniqueFile();
    return UniqueFile(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
}

inline std::string ErrorJson(const char* text) {
    return std::string("{\"ok\":false,\"error\":\"") + text + "\"}";
}

}  // namespace qs::test
