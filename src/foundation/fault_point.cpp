#include "foundation/fault_point.h"

#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>

#include "foundation/data_paths.h"
#include "foundation/files.h"
#include "foundation/logger.h"
#include "foundation/text.h"

namespace qs {

namespace {

std::mutex g_mutex;
std::function<void(const char*)> g_handler;

// The armed name, read on first use: the service is started after the test
// has written the file, and stays armed until it dies there.
const std::string& ArmedName() {
    static const std::string armed = [] {
        std::string text;
        if (!ReadFileBytes(PathJoin(DataRoot(), L"faultpoint"), text)) return std::string();
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
            text.pop_back();
        return text;
    }();
    return armed;
}

}  // namespace

void SetFaultPointHandler(std::function<void(const char*)> handler) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handler = std::move(handler);
}

void FaultPoint(const char* name) {
    std::function<void(const char*)> handler;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        handler = g_handler;
    }
    if (handler) {
        handler(name);
        return;
    }
    if (ArmedName().empty() || ArmedName() != name) return;
    LogError(Format("故障点 %s：进程终止", name));
    Logger::Instance().Close();  // the line must reach the file before we die
    TerminateProcess(GetCurrentProcess(), 3);
}

}  // namespace qs
