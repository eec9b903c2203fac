// A stand-in core on a pipe of its own inside the test process: it answers
// each command from a table, records what it was asked and can go away and
// come back. Windows under test reach it through SetCorePipeName.
#pragma once
#include <cJSON.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ipc/ipc_protocol.h"
#include "ipc/ipc_server.h"
#include "ipc/ipc_test_util.h"

namespace qs::test {

class FakeCore {
public:
    FakeCore()
        : pipeName_(UniquePipeName()),
          server_([this](const std::string& request) { return Answer(request); }, pipeName_) {}
    ~FakeCore() { server_.Stop(); }
    FakeCore(const FakeCore&) = delete;
    FakeCore& operator=(const FakeCore&) = delete;

    const std::wstring& PipeName() const { return pipeName_; }
    bool Start() { return server_.Start(); }
    void Stop() { server_.Stop(); }

    // The reply to a command; a command without one gets an error reply.
    void SetReply(const std::string& cmd, const std::string& reply) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_[cmd] = reply;
    }
    std::vector<std::string> Requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    int CountOf(const std::string& cmd) const {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const std::string& c : commands_) n += c == cmd;
        return n;
    }
    void ClearRequests() {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.clear();
        commands_.clear();
    }

private:
    std::string Answer(const std::string& request) {
        std::string cmd;
        if (cJSON* root = cJSON_ParseWithLength(request.data(), request.size())) {
            const cJSON* item = cJSON_GetObjectItemCaseSensitive(root, "cmd");
            if (cJSON_IsString(item)) cmd = item->valuestring;
            cJSON_Delete(root);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
        commands_.push_back(cmd);
        auto it = replies_.find(cmd);
        return it != replies_.end() ? it->second : IpcErrorReply("未知命令");
    }

    const std::wstring pipeName_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> replies_;
    std::vector<std::string> requests_;
    std::vector<std::string> commands_;
    IpcServer server_;  // last: its workers stop before the tables go
};

}  // namespace qs::test
