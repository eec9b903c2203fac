// The core's side of the pipe: four workers, each serving one exchange per
// connection and handing the request to one handler.
#pragma once
#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ipc/ipc_protocol.h"

namespace qs {

// Who sent a request, as the server learns it from the client's token.
struct IpcCaller {
    uint32_t processId = 0;
    bool known = false;    // the token could be read
    bool isAdmin = false;  // an active (elevated) member of Administrators
};

// The caller of the request just read from pipe: the server impersonates
// the client at identification level and checks its token.
IpcCaller IdentifyPipeClient(void* pipe);

class IpcServer {
public:
    // Takes the request text, returns the reply text. Called from up to four
    // workers at once; may be empty (every request then gets "未处理").
    using Handler = std::function<std::string(const std::string& request)>;
    // The same with the caller of the request.
    using CallerHandler = std::function<std::string(const std::string& request, const IpcCaller& caller)>;
    // How a worker learns the caller; Wine runs every process as one
    // (administrator) user, so tests play other callers through this.
    using CallerProbe = std::function<IpcCaller(void* pipe)>;

    static constexpr int kWorkerCount = 4;

    explicit IpcServer(Handler handler, std::wstring pipeName = kIpcPipeName);
    IpcServer(CallerHandler handler, CallerProbe probe, std::wstring pipeName = kIpcPipeName);
    ~IpcServer();
    IpcServer(const IpcServer&) = delete;
    IpcServer& operator=(const IpcServer&) = delete;

    // Claims the pipe name with its first instance, starts the workers and
    // returns once each has made its first pipe instance (or tried to), so a
    // client may connect right away. True once the workers run, also when
    // they already ran; false (logged) when another process already serves
    // the name or the descriptor cannot be built: the pipe is then not served.
    bool Start();
    // Ends the workers and joins them. Safe when nothing runs.
    void Stop();

    // How long a connected client has to send its request, and to take the
    // reply and close (its end) once the reply is ready. Past either the
    // exchange is dropped, so misbehaving clients cannot hold the workers.
    static constexpr uint32_t kRequestWaitMs = 5000;
    static constexpr uint32_t kReplyWaitMs = 10000;

private:
    void WorkerLoop(void* firstInstance);
    void ServeOne(void* pipe, void* event);
    void StopLocked();

    const CallerHandler handler_;
    const CallerProbe probe_;
    const std::wstring pipeName_;
    std::atomic<bool> stop_{false};
    std::mutex lifecycle_;
    std::vector<std::thread> workers_;
    std::shared_ptr<void> descriptor_;  // the pipe's security, while running
    std::mutex readyMutex_;
    std::condition_variable readyChanged_;
    int ready_ = 0;  // workers that have made their first instance
};

}  // namespace qs
