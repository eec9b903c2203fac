#include "host/core_host.h"

#include <memory>
#include <mutex>

#include "core/core.h"
#include "ipc/command_handler.h"
#include "ipc/ipc_server.h"
#include "ui/ui_text.h"

namespace qs {
namespace {

std::mutex g_ipcLock;
std::unique_ptr<IpcServer> g_ipcServer;

}  // namespace

bool RunCore(bool serviceMode) {
    SetUiLanguage("auto");
    Core& core = Core::Instance();
    if (!core.Start(serviceMode)) return false;
    std::lock_guard<std::mutex> lock(g_ipcLock);
    g_ipcServer = std::make_unique<IpcServer>(
        [&core](const std::string& request, const IpcCaller& caller) {
            return HandleCommand(core, request, caller);
        },
        IdentifyPipeClient);
    g_ipcServer->Start();
    return true;
}

void StopCore() {
    std::unique_ptr<IpcServer> server;
    {
        std::lock_guard<std::mutex> lock(g_ipcLock);
        server.swap(g_ipcServer);
    }
    if (server) server->Stop();
    Core::Instance().Stop();
}

}  // namespace qs
