#include "ipc/ipc_server.h"

#include <windows.h>
#include <sddl.h>

#include <chrono>
#include <memory>
#include <utility>

#include "foundation/handles.h"
#include "foundation/logger.h"
#include "ipc/pipe_io.h"

namespace qs {
namespace {

// Full access for the local system account, read and write for
// Administrators and Users: the tray runs as an ordinary user.
constexpr wchar_t kPipeSddl[] = L"D:(A;;GA;;;SY)(A;;GRGW;;;BA)(A;;GRGW;;;BU)";
constexpr DWORD kOutBufferBytes = 4096;
constexpr DWORD kInBufferBytes = 65536;
constexpr DWORD kCreateRetryMs = 500;
constexpr auto kStartWait = std::chrono::seconds(2);

struct LocalFreer {
    void operator()(void* p) const { LocalFree(p); }
};
using UniqueDescriptor = std::unique_ptr<void, LocalFreer>;

// Null when the text can't be converted: the pipe then gets default security.
UniqueDescriptor MakeDescriptor() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSddl, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return nullptr;
    }
    return UniqueDescriptor(descriptor);
}

HANDLE CreateInstance(const std::wstring& name, PSECURITY_DESCRIPTOR descriptor) {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    return CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kOutBufferBytes, kInBufferBytes, 0,
        descriptor ? &attributes : nullptr);
}

// Waits for a client on a fresh instance. The instance is kept while
// waiting: closing it after a time-out would break a client that connected
// in that very moment. The one-second slices are where stop is noticed.
bool WaitForClient(HANDLE pipe, HANDLE event, const std::atomic<bool>& stop) {
    OVERLAPPED ov{};
    ov.hEvent = event;
    if (ConnectNamedPipe(pipe, &ov)) return true;
    DWORD err = GetLastError();
    if (err == ERROR_PIPE_CONNECTED) return true;
    if (err != ERROR_IO_PENDING) return false;
    DWORD unused = 0;
    pipe_io::PipeWait wait{event, &stop};
    return pipe_io::AwaitOverlapped(pipe, &ov, &unused, wait);
}

}  // namespace

IpcServer::IpcServer(Handler handler, std::wstring pipeName)
    : handler_(std::move(handler)), pipeName_(std::move(pipeName)) {}

IpcServer::~IpcServer() { Stop(); }

bool IpcServer::Start() {
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (!workers_.empty()) return true;
    stop_.store(false);
    {
        std::lock_guard<std::mutex> readyLock(readyMutex_);
        ready_ = 0;
    }
    try {
        for (int i = 0; i < kWorkerCount; ++i) {
            workers_.emplace_back(&IpcServer::WorkerLoop, this);
        }
    } catch (...) {
        StopLocked();
        return false;
    }
    {
        // The pipe name exists only once an instance does: clients that come
        // before that are told the core is not running.
        std::unique_lock<std::mutex> readyLock(readyMutex_);
        readyChanged_.wait_for(readyLock, kStartWait,
                               [this] { return ready_ >= kWorkerCount; });
    }
    LogInfo("IPC 管道已启动");
    return true;
}

void IpcServer::Stop() {
    std::lock_guard<std::mutex> lock(lifecycle_);
    StopLocked();
}

void IpcServer::StopLocked() {
    if (workers_.empty()) return;
    stop_.store(true);
    // A client open completes a waiting worker's connect; it then finds the
    // client gone, drops the exchange and sees the flag.
    for (int i = 0; i < kWorkerCount; ++i) {
        UniqueFile wake(CreateFileW(pipeName_.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    }
    for (std::thread& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
    workers_.clear();
}

void IpcServer::WorkerLoop() {
    // The descriptor and the event serve every instance this worker makes;
    // both are only read by the calls that take them.
    UniqueDescriptor descriptor;
    UniqueHandle event;
    bool announced = false;
    while (!stop_.load()) {
        try {
            if (!descriptor) descriptor = MakeDescriptor();
            if (!event) event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
            UniqueFile pipe(CreateInstance(pipeName_, descriptor.get()));
            if (!announced) {
                announced = true;
                std::lock_guard<std::mutex> readyLock(readyMutex_);
                ++ready_;
                readyChanged_.notify_all();
            }
            if (!event || !pipe) {
                Sleep(kCreateRetryMs);
                continue;
            }
            if (WaitForClient(pipe.get(), event.get(), stop_)) {
                ServeOne(pipe.get(), event.get());
            }
        } catch (...) {
            // One exchange's failure (memory, most likely) ends that exchange only.
        }
    }
}

void IpcServer::ServeOne(void* pipe, void* event) {
    pipe_io::PipeWait wait{event, &stop_};
    std::string request;
    if (pipe_io::ReadMessage(pipe, kIpcMaxRequestBytes, &request, &wait) !=
        pipe_io::ReadStatus::kOk) {
        return;  // closed, empty or too long: no reply
    }
    std::string reply;
    if (!handler_) {
        reply = IpcErrorReply(kIpcNoHandler);
    } else {
        try {
            reply = handler_(request);
        } catch (...) {
            reply = IpcErrorReply(kIpcHandlerFailed);
        }
    }
    if (reply.size() > kIpcMaxReplyBytes) {
        // The client would refuse it after reading it all.
        LogWarn("IPC 回复过长，已丢弃");
        reply = IpcErrorReply(kIpcHandlerFailed);
    }
    if (pipe_io::WriteMessage(pipe, reply, &wait)) {
        FlushFileBuffers(pipe);  // returns once the client has read the reply
    }
    DisconnectNamedPipe(pipe);
}

}  // namespace qs
