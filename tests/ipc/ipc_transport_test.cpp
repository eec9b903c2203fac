// The pipe transport over real named pipes: server workers, client calls,
// size limits and stopping.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/handles.h"
#include "foundation/logger.h"
#include "ipc/ipc_client.h"
#include "ipc/ipc_protocol.h"
#include "ipc/ipc_server.h"
#include "ipc/ipc_test_util.h"
#include "support/log_lines.h"

namespace qs {
namespace {

using test::ErrorJson;
using test::OpenRawClient;
using test::UniquePipeName;

constexpr uint32_t kWaitMs = 3000;

int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - since)
        .count();
}

// Bytes that differ from position to position, so a lost or repeated piece shows.
std::string Pattern(size_t length) {
    std::string s(length, '\0');
    for (size_t i = 0; i < length; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 4093) % 26);
    return s;
}

TEST(IpcClientTest, NoServerGivesNotRunningReply) {
    std::wstring name = UniquePipeName();
    EXPECT_FALSE(ProbeCore(120, name));
    EXPECT_EQ(IpcRequest("{\"cmd\":\"ping\"}", 120, name), ErrorJson("打印服务未运行或未安装"));
}

// A pipe of that name that refuses our open (here: one that only reads).
TEST(IpcClientTest, PipeThatCannotBeOpenedGivesCannotConnectReply) {
    std::wstring name = UniquePipeName();
    UniqueFile inboundOnly(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND,
                                            PIPE_TYPE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0,
                                            nullptr));
    ASSERT_TRUE(inboundOnly.valid());
    EXPECT_TRUE(ProbeCore(kWaitMs, name));
    EXPECT_EQ(IpcRequest("{\"cmd\":\"ping\"}", kWaitMs, name), ErrorJson("无法连接打印服务"));
}

TEST(IpcServerTest, RequestsAndRepliesPassUnchanged) {
    std::wstring name = UniquePipeName();
    IpcServer server([](const std::string& request) { return "reply:" + request; }, name);
    ASSERT_TRUE(server.Start());
    EXPECT_TRUE(ProbeCore(kWaitMs, name));

    const std::vector<std::string> requests = {
        "{\"cmd\":\"ping\"}",
        "{\"cmd\":\"add\",\"name\":\"前台打印机\"}",
        "x",
        Pattern(65535),
        Pattern(65536),  // past the size of one read piece
        Pattern(65537),
        Pattern(300001),
    };
    for (const std::string& request : requests) {
        SCOPED_TRACE(request.size());
        EXPECT_EQ(IpcRequest(request, kWaitMs, name), "reply:" + request);
    }
}

TEST(IpcServerTest, NoHandlerRepliesUnhandled) {
    std::wstring name = UniquePipeName();
    IpcServer server(nullptr, name);
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(IpcRequest("{\"cmd\":\"ping\"}", kWaitMs, name), ErrorJson("未处理"));
    EXPECT_EQ(IpcRequest("{\"cmd\":\"list\"}", kWaitMs, name), ErrorJson("未处理"));
}

// Every worker meets a throwing handler at the same time; each must carry on.
TEST(IpcServerTest, ThrowingHandlerRepliesFailureAndEveryWorkerGoesOn) {
    std::wstring name = UniquePipeName();
    IpcServer server(
        [](const std::string& request) -> std::string {
            if (request == "fine") return "{\"ok\":true}";
            Sleep(300);  // keep the worker busy so the next throw lands on another
            if (request == "throw-int") throw 42;
            throw std::runtime_error("boom");
        },
        name);
    ASSERT_TRUE(server.Start());

    auto inParallel = [&](const std::vector<std::string>& requests) {
        std::vector<std::string> replies(requests.size());
        std::vector<std::thread> clients;
        for (size_t i = 0; i < requests.size(); ++i) {
            clients.emplace_back([&, i] { replies[i] = IpcRequest(requests[i], 5000, name); });
        }
        for (std::thread& t : clients) t.join();
        return replies;
    };

    std::vector<std::string> thrown =
        inParallel({"throw", "throw-int", "throw", "throw-int"});
    for (const std::string& reply : thrown) EXPECT_EQ(reply, ErrorJson("处理异常"));

    std::vector<std::string> after = inParallel({"fine", "fine", "fine", "fine"});
    for (const std::string& reply : after) EXPECT_EQ(reply, "{\"ok\":true}");
}

TEST(IpcServerTest, ClientsThatSendNothingGetNothingAndNextIsServed) {
    std::wstring name = UniquePipeName();
    std::atomic<int> calls{0};
    IpcServer server(
        [&](const std::string&) {
            ++calls;
            return std::string("{\"ok\":true}");
        },
        name);
    ASSERT_TRUE(server.Start());

    // Connect and close at once, more times than there are workers.
    for (int i = 0; i < 2 * IpcServer::kWorkerCount; ++i) {
        UniqueFile client = OpenRawClient(name);
        ASSERT_TRUE(client.valid()) << i;
    }

    // Tie up every worker with a silent client, then let them all go.
    {
        std::vector<UniqueFile> silent;
        for (int i = 0; i < IpcServer::kWorkerCount; ++i) {
            silent.push_back(OpenRawClient(name));
            ASSERT_TRUE(silent.back().valid()) << i;
        }
        Sleep(200);
        DWORD available = 1;
        ASSERT_TRUE(PeekNamedPipe(silent[0].get(), nullptr, 0, nullptr, &available, nullptr));
        EXPECT_EQ(available, 0u);
    }

    // An empty message is no request either: the server hangs up unanswered.
    {
        UniqueFile client = OpenRawClient(name);
        ASSERT_TRUE(client.valid());
        DWORD mode = PIPE_READMODE_MESSAGE;
        ASSERT_TRUE(SetNamedPipeHandleState(client.get(), &mode, nullptr, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(client.get(), "", 0, &written, nullptr));
        char buffer[256];
        DWORD got = 0;
        EXPECT_FALSE(ReadFile(client.get(), buffer, sizeof(buffer), &got, nullptr));
        EXPECT_EQ(got, 0u);
    }
    EXPECT_EQ(IpcRequest("", kWaitMs, name), ErrorJson("服务无响应"));

    EXPECT_EQ(calls.load(), 0);
    EXPECT_EQ(IpcRequest("{\"cmd\":\"ping\"}", kWaitMs, name), "{\"ok\":true}");
    EXPECT_EQ(calls.load(), 1);
}

TEST(IpcServerTest, FourSlowRequestsRunAtOnceAndAFifthWaits) {
    std::wstring name = UniquePipeName();
    std::atomic<int> active{0}, peak{0}, calls{0};
    IpcServer server(
        [&](const std::string&) {
            int now = ++active;
            int seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {
            }
            ++calls;
            Sleep(600);
            --active;
            return std::string("{\"ok\":true}");
        },
        name);
    ASSERT_TRUE(server.Start());

    std::vector<std::string> replies(IpcServer::kWorkerCount + 1);
    std::vector<std::thread> clients;
    for (size_t i = 0; i < replies.size(); ++i) {
        clients.emplace_back([&, i] { replies[i] = IpcRequest("{\"cmd\":\"ping\"}", 8000, name); });
    }
    for (std::thread& t : clients) t.join();

    for (const std::string& reply : replies) EXPECT_EQ(reply, "{\"ok\":true}");
    EXPECT_EQ(calls.load(), IpcServer::kWorkerCount + 1);
    // Five calls but never more than four at once: the fifth waited for a worker.
    EXPECT_EQ(peak.load(), IpcServer::kWorkerCount);
}

// Clients racing for the same free instance: the loser waits for the next
// one instead of failing, and no reply reaches the wrong client.
TEST(IpcServerTest, ManyConcurrentClientsEachGetTheirOwnReply) {
    std::wstring name = UniquePipeName();
    IpcServer server([](const std::string& request) { return "re:" + request; }, name);
    ASSERT_TRUE(server.Start());

    constexpr int kClients = 12;
    constexpr int kRounds = 15;
    std::atomic<int> wrong{0};
    std::vector<std::string> firstWrong(kClients);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (int r = 0; r < kRounds; ++r) {
                std::string request = std::to_string(c) + "/" + std::to_string(r);
                std::string reply = IpcRequest(request, 10000, name);
                if (reply != "re:" + request) {
                    if (wrong++ == 0) firstWrong[c] = reply;
                }
            }
        });
    }
    for (std::thread& t : clients) t.join();
    std::string example;
    for (const std::string& s : firstWrong) example += s;
    EXPECT_EQ(wrong.load(), 0) << example;
}

TEST(IpcServerTest, RequestAtTheCapIsServedAndLongerIsDropped) {
    std::wstring name = UniquePipeName();
    std::atomic<int> calls{0};
    IpcServer server(
        [&](const std::string& request) {
            ++calls;
            return std::to_string(request.size());
        },
        name);
    ASSERT_TRUE(server.Start());

    EXPECT_EQ(IpcRequest(Pattern(kIpcMaxRequestBytes), kWaitMs, name),
              std::to_string(kIpcMaxRequestBytes));
    EXPECT_EQ(calls.load(), 1);

    EXPECT_EQ(IpcRequest(Pattern(kIpcMaxRequestBytes + 1), kWaitMs, name),
              ErrorJson("服务无响应"));
    EXPECT_EQ(IpcRequest(Pattern(3 * kIpcMaxRequestBytes), kWaitMs, name),
              ErrorJson("服务无响应"));
    EXPECT_EQ(calls.load(), 1);

    EXPECT_EQ(IpcRequest("abc", kWaitMs, name), "3");
}

TEST(IpcServerTest, LargeRepliesArriveWhole) {
    std::wstring name = UniquePipeName();
    IpcServer server(
        [](const std::string& request) { return Pattern(std::stoull(request)); }, name);
    ASSERT_TRUE(server.Start());

    const size_t sizes[] = {1,     4095,  4096,  4097,          65535,
                            65536, 65537, 131073, 3 * 1048576 + 7, 9 * 1048576 + 1};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        std::string reply = IpcRequest(std::to_string(size), kWaitMs, name);
        ASSERT_EQ(reply.size(), size);
        EXPECT_TRUE(reply == Pattern(size));
    }
}

TEST(IpcServerTest, ReplyAtTheCapArrivesAndLongerIsRefusedByTheServer) {
    std::wstring name = UniquePipeName();
    IpcServer server(
        [](const std::string& request) {
            return std::string(request == "cap" ? kIpcMaxReplyBytes : kIpcMaxReplyBytes + 1,
                               'r');
        },
        name);
    ASSERT_TRUE(server.Start());

    std::string atCap = IpcRequest("cap", kWaitMs, name);
    EXPECT_EQ(atCap.size(), kIpcMaxReplyBytes);
    EXPECT_EQ(atCap.find_first_not_of('r'), std::string::npos);
    atCap.clear();
    atCap.shrink_to_fit();

    EXPECT_EQ(IpcRequest("over", kWaitMs, name), ErrorJson("处理异常"));
}

// A peer that is not our server and sends more than the cap: the client
// gives up at the cap instead of reading on.
TEST(IpcClientTest, OverlongReplyFromAnyPeerIsNoReply) {
    std::wstring name = UniquePipeName();
    UniqueFile instance(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                         1, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(instance.valid());
    std::atomic<bool> served{false};
    std::thread peer([&] {
        if (!ConnectNamedPipe(instance.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            return;
        }
        char buffer[4096];
        DWORD got = 0;
        if (!ReadFile(instance.get(), buffer, sizeof(buffer), &got, nullptr)) return;
        served = true;
        std::string huge(kIpcMaxReplyBytes + 65536, 'h');
        DWORD written = 0;
        WriteFile(instance.get(), huge.data(), static_cast<DWORD>(huge.size()), &written,
                  nullptr);
        DisconnectNamedPipe(instance.get());
    });
    std::string reply = IpcRequest("{\"cmd\":\"list\"}", kWaitMs, name);
    peer.join();
    EXPECT_TRUE(served.load());
    EXPECT_EQ(reply, ErrorJson("服务无响应"));
}

TEST(IpcServerTest, StopIsPromptWithoutClientsAndLeavesNoInstance) {
    std::wstring name = UniquePipeName();
    IpcServer server([](const std::string&) { return std::string("{\"ok\":true}"); }, name);
    server.Stop();  // before any start: nothing to do

    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(ProbeCore(kWaitMs, name));
    auto started = std::chrono::steady_clock::now();
    server.Stop();
    EXPECT_LT(ElapsedMs(started), 2000);
    EXPECT_EQ(IpcRequest("{\"cmd\":\"ping\"}", 100, name), ErrorJson("打印服务未运行或未安装"));
    server.Stop();  // twice is fine

    // Stopped servers start again.
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(IpcRequest("{\"cmd\":\"ping\"}", kWaitMs, name), "{\"ok\":true}");
}

TEST(IpcServerTest, StopDoesNotHangOnAClientThatNeverWrites) {
    std::wstring name = UniquePipeName();
    IpcServer server([](const std::string&) { return std::string("{\"ok\":true}"); }, name);
    ASSERT_TRUE(server.Start());
    UniqueFile silent = OpenRawClient(name);
    ASSERT_TRUE(silent.valid());
    Sleep(100);

    auto started = std::chrono::steady_clock::now();
    server.Stop();
    EXPECT_LT(ElapsedMs(started), 4000);
    EXPECT_FALSE(ProbeCore(100, name));
}

TEST(IpcServerTest, DestructionStopsTheWorkers) {
    std::wstring name = UniquePipeName();
    {
        IpcServer server([](const std::string&) { return std::string("{}"); }, name);
        ASSERT_TRUE(server.Start());
        ASSERT_EQ(IpcRequest("x", kWaitMs, name), "{}");
    }
    EXPECT_EQ(IpcRequest("x", 100, name), ErrorJson("打印服务未运行或未安装"));
}

TEST(IpcServerTest, StartIsLogged) {
    std::wstring name = UniquePipeName();
    IpcServer server(nullptr, name);
    ASSERT_TRUE(server.Start());
    bool found = false;
    for (const std::string& line : Logger::Instance().RecentLines(50)) {
        if (line.find("IPC 管道已启动") != std::string::npos) found = true;
    }
    EXPECT_TRUE(found);
}

// Reads the DACL back from a client handle: full access for SYSTEM and for
// the account the server runs as, and for Administrators and interactive
// users (nobody else) read and write
// without FILE_CREATE_PIPE_INSTANCE, so no other account can add an instance
// of the name; the DACL is protected.
TEST(IpcServerTest, PipeCarriesTheRestrictedDescriptor) {
    std::wstring name = UniquePipeName();
    IpcServer server(nullptr, name);
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(WaitNamedPipeW(name.c_str(), kWaitMs));
    UniqueFile client(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL, 0,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(client.valid());

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(client.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);

    // Our own account: the server's process runs as it.
    HANDLE rawToken = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken));
    UniqueHandle token(rawToken);
    BYTE userBuffer[256];
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token.get(), TokenUser, userBuffer, sizeof(userBuffer), &size));
    PSID self = reinterpret_cast<TOKEN_USER*>(userBuffer)->User.Sid;

    const ACCESS_MASK kUserMask = 0x12019b;
    bool sawSystem = false, sawSelf = false, sawAdmins = false, sawUsers = false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        SCOPED_TRACE(i);
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &ace));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        ASSERT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        PSID sid = &allowed->SidStart;
        const ACCESS_MASK mask = allowed->Mask;
        const bool full = mask == GENERIC_ALL || (mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS;
        if (IsWellKnownSid(sid, WinLocalSystemSid)) {
            sawSystem = true;
            EXPECT_TRUE(full) << std::hex << mask;
        } else if (EqualSid(sid, self)) {
            sawSelf = true;
            EXPECT_TRUE(full) << std::hex << mask;
        } else {
            const bool admins = IsWellKnownSid(sid, WinBuiltinAdministratorsSid) != FALSE;
            const bool interactive = IsWellKnownSid(sid, WinInteractiveSid) != FALSE;
            // Not Users, Authenticated Users, Everyone or Network: only
            // people at the machine (and administrators) reach the core.
            EXPECT_TRUE(admins || interactive);
            sawAdmins |= admins;
            sawUsers |= interactive;
            EXPECT_EQ(mask, kUserMask) << std::hex << mask;
            EXPECT_EQ(mask & FILE_CREATE_PIPE_INSTANCE, 0u) << std::hex << mask;
            EXPECT_EQ(mask & (WRITE_DAC | WRITE_OWNER | DELETE | GENERIC_ALL | GENERIC_WRITE), 0u)
                << std::hex << mask;
        }
    }
    EXPECT_TRUE(sawSystem && sawSelf && sawAdmins && sawUsers);
    LocalFree(descriptor);
}

// The first instance claims the name: a second server on it (another core,
// or anyone who came first) is refused and logged, and the first keeps serving.
TEST(IpcServerTest, ASecondServerOnTheNameIsRefused) {
    std::wstring name = UniquePipeName();
    IpcServer first([](const std::string&) { return std::string("{\"ok\":true,\"data\":\"first\"}"); }, name);
    ASSERT_TRUE(first.Start());
    IpcServer second([](const std::string&) { return std::string("{\"ok\":true,\"data\":\"second\"}"); }, name);
    EXPECT_FALSE(second.Start());
    EXPECT_TRUE(test::Logged("IPC 管道名已被占用，管道未启动"));
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(IpcRequest("x", kWaitMs, name), "{\"ok\":true,\"data\":\"first\"}");
    second.Stop();
    first.Stop();

    // Someone else's instance made before the core starts: the core does not
    // join it as one more instance.
    UniqueFile squatter(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                         PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(squatter.valid());
    IpcServer late([](const std::string&) { return std::string("{}"); }, name);
    EXPECT_FALSE(late.Start());
    squatter.reset();
    EXPECT_TRUE(late.Start()) << "the name is free again";
}

// Wine runs every process as one user, so a foreign server is played
// through the fact seam; the pid the client asks about is the real one.
TEST(IpcClientTest, AServerThatIsNotTheCoreGetsNothing) {
    std::wstring name = UniquePipeName();
    std::atomic<int> handled{0};
    IpcServer server([&](const std::string&) {
        ++handled;
        return std::string("{\"ok\":true}");
    }, name);
    ASSERT_TRUE(server.Start());

    std::vector<uint32_t> asked;
    SetPipeServerFactsFnForTest([&](uint32_t pid) {
        asked.push_back(pid);
        PipeServerFacts facts;
        facts.processId = pid;
        return facts;   // not the service, not LocalSystem, not us
    });
    EXPECT_EQ(IpcRequest("{\"cmd\":\"add\",\"code\":\"123456\"}", kWaitMs, name),
              ErrorJson("管道的服务方不是本机的打印服务，已拒绝连接"));
    SetPipeServerFactsFnForTest(nullptr);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], GetCurrentProcessId());
    Sleep(200);
    EXPECT_EQ(handled.load(), 0) << "the request reached an untrusted server";

    // The real facts: this process serves the pipe as our own user.
    PipeServerFacts own = ReadPipeServerFacts(GetCurrentProcessId());
    EXPECT_EQ(own.processId, GetCurrentProcessId());
    EXPECT_TRUE(own.sameUser);
    EXPECT_FALSE(own.isInstalledService);
    EXPECT_EQ(IpcRequest("x", kWaitMs, name), "{\"ok\":true}");
    EXPECT_EQ(handled.load(), 1);
}

TEST(IpcClientTest, TrustedServersAreTheServiceLocalSystemOrTheSameUser) {
    struct Case {
        uint32_t pid;
        bool service, system, sameUser, trusted;
    };
    const Case cases[] = {
        {0, true, true, true, false},   // the system could not name the server
        {42, false, false, false, false},
        {42, true, false, false, true},
        {42, false, true, false, true},
        {42, false, false, true, true},
    };
    for (const Case& c : cases) {
        PipeServerFacts f;
        f.processId = c.pid;
        f.isInstalledService = c.service;
        f.runsAsSystem = c.system;
        f.sameUser = c.sameUser;
        EXPECT_EQ(TrustPipeServer(f), c.trusted) << c.pid << c.service << c.system << c.sameUser;
    }
}

// --- clients that misbehave ---------------------------------------------------

// A raw client that sends request (when not empty) and then neither reads
// nor closes: what a hostile local program can do to the pipe.
UniqueFile StuckClient(const std::wstring& name, const std::string& request) {
    UniqueFile client = OpenRawClient(name, 5000);
    if (!client) return client;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(client.get(), &mode, nullptr, nullptr);
    if (!request.empty()) {
        DWORD written = 0;
        WriteFile(client.get(), request.data(), static_cast<DWORD>(request.size()), &written, nullptr);
    }
    return client;
}

std::string ReplyFor(const std::string& request) {
    // Past the pipe's 4 KiB out buffer, so the server's write itself waits.
    if (request == "big") return std::string(256 * 1024, 'b');
    return "{\"ok\":true}";
}

// Each kind of stuck client takes all four workers; the next honest client
// is still served once the request wait (5 s) or the reply wait (10 s) ends
// the stuck exchanges.
TEST(IpcServerTest, FourStuckClientsDoNotTakeThePipeDown) {
    struct Case {
        const char* what;
        std::vector<std::string> requests;   // "" connects and never writes
        int64_t boundMs;
    };
    const Case cases[] = {
        {"connect and never write", {"", "", "", ""}, IpcServer::kRequestWaitMs + 2500},
        {"write and never read", {"big", "small", "big", "small"}, IpcServer::kReplyWaitMs + 2500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::wstring name = UniquePipeName();
        IpcServer server(ReplyFor, name);
        ASSERT_TRUE(server.Start());
        std::vector<UniqueFile> stuck;
        for (const std::string& r : c.requests) {
            stuck.push_back(StuckClient(name, r));
            ASSERT_TRUE(stuck.back().valid());
        }
        Sleep(300);   // every worker is now inside a stuck exchange
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(IpcRequest("small", static_cast<uint32_t>(c.boundMs), name), "{\"ok\":true}");
        EXPECT_LT(ElapsedMs(started), c.boundMs);
        // Stop with such clients still attached is the next test's.
        stuck.clear();
        server.Stop();
    }
}

// Stop ends within its bound while four clients that never take their reply
// are attached (the flush after the reply used to wait for them for ever).
TEST(IpcServerTest, StopIsBoundedWithClientsThatNeverReadAttached) {
    std::wstring name = UniquePipeName();
    IpcServer server(ReplyFor, name);
    ASSERT_TRUE(server.Start());
    std::vector<UniqueFile> stuck;
    for (const char* r : {"small", "big", "small", "big"}) {
        stuck.push_back(StuckClient(name, r));
        ASSERT_TRUE(stuck.back().valid());
    }
    Sleep(300);
    std::atomic<bool> stopped{false};
    auto started = std::chrono::steady_clock::now();
    std::thread stopper([&] {
        server.Stop();
        stopped = true;
    });
    for (int i = 0; i < 40 && !stopped; ++i) Sleep(100);
    EXPECT_TRUE(stopped.load()) << "Stop still waits on clients that never read, after "
                                << ElapsedMs(started) << " ms";
    // Without a bound the clients are what would free it: let them go so the
    // test itself ends either way.
    stuck.clear();
    stopper.join();
}

}  // namespace
}  // namespace qs
