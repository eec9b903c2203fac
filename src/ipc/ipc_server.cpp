#include "ipc/ipc_server.h"

#include <windows.h>
#include <sddl.h>

#include <chrono>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "foundation/handles.h"
#include "foundation/logger.h"
#include "foundation/system_info.h"
#include "ipc/pipe_io.h"

namespace qs {
namespace {

// Full access for the local system account and for the account the core
// runs as (in console mode the user's own, which needs the right to make
// further instances); read and write without FILE_CREATE_PIPE_INSTANCE
// (0x12019b) for Administrators and interactive users, so nobody else can add a rogue
// instance of the name and take other users' requests.
constexpr wchar_t kPipeSddlHead[] = L"D:P(A;;GA;;;SY)";
// Interactive users (IU) rather than all Users: services and network
// logons of other accounts have no business on this pipe.
constexpr wchar_t kPipeSddlTail[] = L"(A;;0x12019b;;;BA)(A;;0x12019b;;;IU)";
constexpr DWORD kOutBufferBytes = 4096;
constexpr DWORD kInBufferBytes = 65536;
constexpr DWORD kCreateRetryMs = 500;
constexpr auto kStartWait = std::chrono::seconds(2);

struct LocalFreer {
    void operator()(void* p) const { LocalFree(p); }
};
using UniqueDescriptor = std::unique_ptr<void, LocalFreer>;

// "S-1-5-21-..." of the account this process runs as; "" when unreadable.
std::wstring OwnUserSid() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return L"";
    UniqueHandle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0) return L"";
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return L"";
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text))
        return L"";
    std::wstring sid(text);
    LocalFree(text);
    return sid;
}

// Null when the text can't be converted: the pipe is then not served at
// all, never with default security.
UniqueDescriptor MakeDescriptor() {
    std::wstring sddl = kPipeSddlHead;
    std::wstring self = OwnUserSid();
    if (!self.empty() && self != L"S-1-5-18") sddl += L"(A;;GA;;;" + self + L")";
    sddl += kPipeSddlTail;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return nullptr;
    }
    return UniqueDescriptor(descriptor);
}

// The first instance claims the name: it fails when anyone else already
// serves it, instead of joining their pipe as one more instance.
HANDLE CreateInstance(const std::wstring& name, PSECURITY_DESCRIPTOR descriptor, bool first) {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    return CreateNamedPipeW(
        name.c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kOutBufferBytes, kInBufferBytes, 0, &attributes);
}

// Whether some process serves the name already. FILE_FLAG_FIRST_PIPE_INSTANCE
// is what guarantees the refusal on Windows; Wine ignores that flag, so the
// name is looked up first as well (a free instance, or all instances busy).
bool NameTaken(const std::wstring& name) {
    if (WaitNamedPipeW(name.c_str(), 1)) return true;
    const DWORD err = GetLastError();
    return err == ERROR_SEM_TIMEOUT || err == ERROR_PIPE_BUSY;
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

// After the reply: waits until the client has closed its end, which it does
// once it has read the reply (then the disconnect loses nothing), or until
// the wait's deadline. Unlike FlushFileBuffers this wait ends.
void AwaitClientClose(HANDLE pipe, const pipe_io::PipeWait& wait) {
    OVERLAPPED ov{};
    ov.hEvent = wait.event;
    char byte = 0;
    if (ReadFile(pipe, &byte, 1, nullptr, &ov)) return;   // more data: a misbehaving client
    const DWORD err = GetLastError();
    if (err != ERROR_IO_PENDING) return;                   // closed already (broken pipe)
    DWORD unused = 0;
    pipe_io::AwaitOverlapped(pipe, &ov, &unused, wait);
}

}  // namespace

IpcCaller IdentifyPipeClient(void* pipe) {
    IpcCaller caller;
    ULONG processId = 0;
    if (GetNamedPipeClientProcessId(pipe, &processId)) caller.processId = processId;
    if (!ImpersonateNamedPipeClient(pipe)) return caller;
    HANDLE raw = nullptr;
    const BOOL opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &raw);
    // Never go on as the client: a worker that cannot return to its own
    // identity must not serve anything else.
    if (!RevertToSelf()) std::terminate();
    if (!opened) return caller;
    UniqueHandle token(raw);
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(admins);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size)) return caller;
    BOOL member = FALSE;
    // A filtered (not elevated) administrator token holds the group for
    // deny only, which CheckTokenMembership does not count.
    if (!CheckTokenMembership(token.get(), admins, &member)) return caller;
    caller.known = true;
    caller.isAdmin = member != FALSE;
    return caller;
}

IpcServer::IpcServer(Handler handler, std::wstring pipeName)
    : handler_(handler ? CallerHandler([handler](const std::string& request, const IpcCaller&) {
          return handler(request);
      })
                       : CallerHandler()),
      pipeName_(std::move(pipeName)) {}

IpcServer::IpcServer(CallerHandler handler, CallerProbe probe, std::wstring pipeName)
    : handler_(std::move(handler)), probe_(std::move(probe)), pipeName_(std::move(pipeName)) {}

IpcServer::~IpcServer() { Stop(); }

bool IpcServer::Start() {
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (!workers_.empty()) return true;
    stop_.store(false);
    {
        std::lock_guard<std::mutex> readyLock(readyMutex_);
        ready_ = 0;
    }
    std::shared_ptr<void> descriptor(MakeDescriptor().release(), LocalFreer());
    if (!descriptor) {
        LogError("IPC 管道安全描述符无法生成，管道未启动：" + Win32ErrorText(0));
        return false;
    }
    if (NameTaken(pipeName_)) {
        LogError("IPC 管道名已被占用，管道未启动");
        return false;
    }
    UniqueFile first(CreateInstance(pipeName_, descriptor.get(), true));
    if (!first) {
        LogError("IPC 管道名已被占用，管道未启动：" + Win32ErrorText(0));
        return false;
    }
    descriptor_ = descriptor;
    try {
        for (int i = 0; i < kWorkerCount; ++i) {
            HANDLE own = i == 0 ? first.release() : INVALID_HANDLE_VALUE;
            workers_.emplace_back(&IpcServer::WorkerLoop, this, own);
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
    descriptor_.reset();
}

void IpcServer::WorkerLoop(void* firstInstance) {
    // The descriptor and the event serve every instance this worker makes;
    // both are only read by the calls that take them.
    std::shared_ptr<void> descriptor = descriptor_;
    UniqueHandle event;
    UniqueFile pipe(firstInstance);
    bool announced = false;
    while (!stop_.load()) {
        try {
            if (!event) event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
            if (!pipe) pipe.reset(CreateInstance(pipeName_, descriptor.get(), false));
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
            // The next instance exists before this one closes, so the name
            // never lapses for someone else to take while the core runs.
            UniqueFile next(stop_.load() ? INVALID_HANDLE_VALUE
                                         : CreateInstance(pipeName_, descriptor.get(), false));
            pipe = std::move(next);
        } catch (...) {
            // One exchange's failure (memory, most likely) ends that exchange only.
        }
    }
}

void IpcServer::ServeOne(void* pipe, void* event) {
    pipe_io::PipeWait wait{event, &stop_, GetTickCount64() + kRequestWaitMs};
    std::string request;
    if (pipe_io::ReadMessage(pipe, kIpcMaxRequestBytes, &request, &wait) !=
        pipe_io::ReadStatus::kOk) {
        DisconnectNamedPipe(pipe);
        return;  // closed, empty, too long or too late: no reply
    }
    std::string reply;
    if (!handler_) {
        reply = IpcErrorReply(kIpcNoHandler);
    } else {
        try {
            const IpcCaller caller = probe_ ? probe_(pipe) : IpcCaller{};
            reply = handler_(request, caller);
        } catch (...) {
            reply = IpcErrorReply(kIpcHandlerFailed);
        }
    }
    if (reply.size() > kIpcMaxReplyBytes) {
        // The client would refuse it after reading it all.
        LogWarn("IPC 回复过长，已丢弃");
        reply = IpcErrorReply(kIpcHandlerFailed);
    }
    // The reply's own clock starts when it is ready: a long command is the
    // core's time, not the client's.
    wait.deadline = GetTickCount64() + kReplyWaitMs;
    if (pipe_io::WriteMessage(pipe, reply, &wait)) AwaitClientClose(pipe, wait);
    DisconnectNamedPipe(pipe);
}

}  // namespace qs
