// PortListener against real loopback sockets: what reaches the spool folder,
// what the handler sees, what the sender sees and what is logged.
#include "capture/port_listener.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/data_paths.h"
#include "foundation/files.h"
#include "foundation/handles.h"
#include "foundation/logger.h"
#include "foundation/text.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using Clock = std::chrono::steady_clock;
using testing::HasSubstr;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void EnsureWinsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}

// A port that was free a moment ago: the system picks it for port 0.
int32_t FreePort() {
    EnsureWinsock();
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!s || bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return 0;
    int len = sizeof(a);
    getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

UniqueSocket Connect(int32_t port) {
    EnsureWinsock();
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s && connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) s.reset();
    return s;
}

bool SendAll(SOCKET s, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const int n = send(s, bytes.data() + done,
                           static_cast<int>(std::min<size_t>(bytes.size() - done, 1 << 20)), 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// How the listener ended the connection, seen from a sender that has not
// ended its own side: 0 for an orderly close, the socket error for a reset,
// WSAETIMEDOUT when nothing came in time. Wine reports a reset that arrives
// after the last byte as an end of data, so an end is checked with one more
// byte: after an orderly close it can still be sent, after a reset it cannot.
int WaitForPeerEnd(SOCKET s, int timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &tv) <= 0) return WSAETIMEDOUT;
    char byte = 0;
    const int n = recv(s, &byte, 1, 0);
    if (n < 0) return WSAGetLastError();
    if (n > 0) return -1;
    return send(s, &byte, 1, 0) == 1 ? 0 : WSAGetLastError();
}

struct SendOutcome {
    size_t sent = 0;
    int error = 0;  // 0: everything was sent
};

// Sends up to total bytes in small pieces, the way a print spooler streams a
// job, and stops at the first failed send or after timeoutMs.
SendOutcome SendUntilRefused(SOCKET s, size_t total, int timeoutMs) {
    SendOutcome out;
    const std::string piece(16384, 'p');
    const auto start = Clock::now();
    while (out.sent < total && MsSince(start) < timeoutMs) {
        const int n = send(s, piece.data(), static_cast<int>(piece.size()), 0);
        if (n <= 0) {
            out.error = WSAGetLastError();
            return out;
        }
        out.sent += static_cast<size_t>(n);
        Sleep(5);
    }
    return out;
}

// Bytes that differ from position to position, so a lost, repeated or
// reordered chunk shows in the file.
std::string Pattern(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<char>(x >> 23);
    }
    return out;
}

std::vector<std::wstring> FilesIn(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(fd.cFileName);
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    return names;
}

size_t CountLogLines(const std::string& text) {
    const auto lines = Logger::Instance().RecentLines(300);
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find(text) != std::string::npos;
    }));
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto start = Clock::now();
    while (!condition()) {
        if (MsSince(start) > timeoutMs) return false;
        Sleep(10);
    }
    return true;
}

// Records every handler call, with the file as it was at that moment.
struct Handed {
    std::wstring path;
    int32_t port = 0;
    std::string contentAtCall;
    int64_t atMs = 0;
};

class Recorder {
public:
    PrintDataHandler Handler(int delayMs = 0) {
        return [this, delayMs](const std::wstring& path, int32_t port) {
            Handed h;
            h.path = path;
            h.port = port;
            ReadFileBytes(path, h.contentAtCall);
            h.atMs = MsSince(start_);
            if (delayMs > 0) Sleep(static_cast<DWORD>(delayMs));
            std::lock_guard<std::mutex> lock(mutex_);
            calls_.push_back(h);
            changed_.notify_all();
            return stored_.load();
        };
    }
    bool WaitFor(size_t count, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return calls_.size() >= count; });
    }
    std::vector<Handed> Calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    void ResetClock() { start_ = Clock::now(); }
    // What the handler answers: whether the job was stored.
    void SetStored(bool stored) { stored_ = stored; }

private:
    std::atomic<bool> stored_{true};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Handed> calls_;
    Clock::time_point start_ = Clock::now();
};

class PortListenerTest : public testing::Test {
protected:
    void SetUp() override { port_ = FreePort(); ASSERT_GT(port_, 0); }

    test::TempDir dir_;
    Recorder recorder_;
    int32_t port_ = 0;
};

TEST_F(PortListenerTest, StoresEachClosedConnectionByteForByte) {
    PortListener listener(port_, recorder_.Handler(), dir_.path());
    ASSERT_TRUE(listener.Start());
    EXPECT_THAT(Logger::Instance().RecentLines(1).back(),
                HasSubstr("监听已启动：127.0.0.1:" + std::to_string(port_)));

    // Sizes around the receive chunk, and sends split across chunk edges.
    struct Case { size_t size; size_t piece; };
    const Case cases[] = {{1000, 1000}, {1, 1}, {65536, 65536}, {65537, 7000},
                          {3 * 1024 * 1024 + 17, 100000}};
    size_t expected = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string data = Pattern(c.size, static_cast<uint32_t>(c.size));
        UniqueSocket client = Connect(port_);
        ASSERT_TRUE(client);
        for (size_t at = 0; at < data.size(); at += c.piece) {
            ASSERT_TRUE(SendAll(client.get(), data.substr(at, c.piece)));
        }
        client.reset();
        ASSERT_TRUE(recorder_.WaitFor(++expected, 5000));

        const Handed h = recorder_.Calls().back();
        EXPECT_EQ(h.port, port_);
        EXPECT_EQ(h.path.rfind(dir_.path() + L"\\", 0), 0u);
        // The file name is a fresh 32-digit lowercase hex id with ".dat".
        const std::wstring name = h.path.substr(dir_.path().size() + 1);
        ASSERT_EQ(name.size(), 36u);
        EXPECT_EQ(name.substr(32), L".dat");
        EXPECT_TRUE(std::all_of(name.begin(), name.begin() + 32, [](wchar_t ch) {
            return (ch >= L'0' && ch <= L'9') || (ch >= L'a' && ch <= L'f');
        }));
        // Complete when the handler runs, and nothing touches it afterwards.
        EXPECT_TRUE(h.contentAtCall == data) << "file differs at the handler call";
        std::string after;
        ASSERT_TRUE(ReadFileBytes(h.path, after));
        EXPECT_TRUE(after == data);
        EXPECT_EQ(CountLogLines("收到打印数据 " + std::to_string(c.size) + " 字节 → " +
                                WideToUtf8(h.path)),
                  1u);
    }
    EXPECT_EQ(FilesIn(dir_.path()).size(), expected);
    EXPECT_EQ(recorder_.Calls().size(), expected);
}

TEST_F(PortListenerTest, SpoolsIntoTheDataFolderByDefault) {
    SetDataRoot(dir_ / L"root");
    PortListener listener(port_, recorder_.Handler());
    ASSERT_TRUE(listener.Start());
    UniqueSocket client = Connect(port_);
    ASSERT_TRUE(client);
    ASSERT_TRUE(SendAll(client.get(), "receipt"));
    client.reset();
    ASSERT_TRUE(recorder_.WaitFor(1, 5000));
    const Handed h = recorder_.Calls()[0];
    EXPECT_EQ(h.path.rfind(DataDir() + L"\\", 0), 0u) << WideToUtf8(h.path);
    EXPECT_EQ(h.contentAtCall, "receipt");
    EXPECT_EQ(FilesIn(DataDir()).size(), 1u);
}

TEST_F(PortListenerTest, SilenceOfTwoSecondsEndsTheJob) {
    PortListener listener(port_, recorder_.Handler(), dir_.path());
    ASSERT_TRUE(listener.Start());
    UniqueSocket client = Connect(port_);
    ASSERT_TRUE(client);
    const std::string data = Pattern(1000, 7);
    ASSERT_TRUE(SendAll(client.get(), data));
    recorder_.ResetClock();

    ASSERT_TRUE(recorder_.WaitFor(1, 6000));
    const Handed h = recorder_.Calls()[0];
    EXPECT_GE(h.atMs, 1800);
    EXPECT_LE(h.atMs, 3500);
    EXPECT_TRUE(h.contentAtCall == data);
    // The listener closed its side in order: the sender sees an end, not a reset.
    EXPECT_EQ(WaitForPeerEnd(client.get(), 1000), 0);
}

TEST_F(PortListenerTest, ConnectionWithoutDataLeavesNothing) {
    PortListener listener(port_, recorder_.Handler(), dir_.path(), kCaptureMaxBytes, 300);
    ASSERT_TRUE(listener.Start());
    const size_t linesBefore = Logger::Instance().RecentLines(300).size();
    const std::string lastBefore = Logger::Instance().RecentLines(1).back();

    UniqueSocket closed = Connect(port_);
    UniqueSocket silent = Connect(port_);
    ASSERT_TRUE(closed && silent);
    closed.reset();
    // The silent one is closed in order once the idle time has passed.
    EXPECT_EQ(WaitForPeerEnd(silent.get(), 3000), 0);
    ASSERT_TRUE(WaitUntil([&] { return listener.activeConnections() == 0; }, 3000));

    EXPECT_TRUE(FilesIn(dir_.path()).empty());
    EXPECT_TRUE(recorder_.Calls().empty());
    EXPECT_EQ(Logger::Instance().RecentLines(300).size(), linesBefore);
    EXPECT_EQ(Logger::Instance().RecentLines(1).back(), lastBefore);
}

TEST_F(PortListenerTest, NinthConnectionIsResetWhileEightGoOn) {
    PortListener listener(port_, recorder_.Handler(), dir_.path(), kCaptureMaxBytes, 10000);
    ASSERT_TRUE(listener.Start());
    std::vector<UniqueSocket> clients;
    std::vector<std::string> payloads;
    for (uint32_t i = 0; i < 8; ++i) {
        clients.push_back(Connect(port_));
        ASSERT_TRUE(clients.back());
        payloads.push_back(Pattern(5000 + i, 100 + i));
        ASSERT_TRUE(SendAll(clients.back().get(), payloads.back().substr(0, 1000)));
    }
    ASSERT_TRUE(WaitUntil([&] { return listener.activeConnections() == 8; }, 3000));
    const size_t warnings = CountLogLines("并发打印数超过上限，拒绝新连接");

    UniqueSocket ninth = Connect(port_);
    ASSERT_TRUE(ninth);
    const auto start = Clock::now();
    // A reset, never the orderly close a sender may take as "printed".
    EXPECT_EQ(WaitForPeerEnd(ninth.get(), 3000), WSAECONNRESET);
    EXPECT_LT(MsSince(start), 1500);
    EXPECT_EQ(CountLogLines("并发打印数超过上限，拒绝新连接"), warnings + 1);
    EXPECT_EQ(listener.activeConnections(), 8);

    // The eight were not disturbed: each finishes with its whole payload.
    for (size_t i = 0; i < 8; ++i) {
        ASSERT_TRUE(SendAll(clients[i].get(), payloads[i].substr(1000)));
        clients[i].reset();
    }
    ASSERT_TRUE(recorder_.WaitFor(8, 5000));
    std::vector<std::string> stored;
    for (const Handed& h : recorder_.Calls()) stored.push_back(h.contentAtCall);
    std::sort(stored.begin(), stored.end());
    std::sort(payloads.begin(), payloads.end());
    EXPECT_TRUE(stored == payloads);
    EXPECT_EQ(FilesIn(dir_.path()).size(), 8u);

    // With the slots free again a new connection is served.
    UniqueSocket later = Connect(port_);
    ASSERT_TRUE(later);
    ASSERT_TRUE(SendAll(later.get(), "later"));
    later.reset();
    ASSERT_TRUE(recorder_.WaitFor(9, 5000));
    EXPECT_EQ(recorder_.Calls().back().contentAtCall, "later");
}

TEST_F(PortListenerTest, StartFailsOnAPortInUse) {
    // Another program's listener, and a second listener of our own.
    UniqueSocket other(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(other.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(listen(other.get(), 4), 0);

    const std::string line = "绑定 127.0.0.1:" + std::to_string(port_) + " 失败：Win32(";
    PortListener listener(port_, recorder_.Handler(), dir_.path());
    EXPECT_FALSE(listener.Start());
    EXPECT_FALSE(listener.running());
    EXPECT_THAT(Logger::Instance().RecentLines(1).back(), HasSubstr(line));

    other.reset();
    const int32_t second = FreePort();
    PortListener first(second, recorder_.Handler(), dir_.path());
    ASSERT_TRUE(first.Start());
    PortListener again(second, recorder_.Handler(), dir_.path());
    EXPECT_FALSE(again.Start());
    EXPECT_THAT(Logger::Instance().RecentLines(1).back(),
                HasSubstr("绑定 127.0.0.1:" + std::to_string(second) + " 失败：Win32("));
    // The failed one must not have disturbed the one that listens.
    UniqueSocket client = Connect(second);
    ASSERT_TRUE(client);
    ASSERT_TRUE(SendAll(client.get(), "still here"));
    client.reset();
    ASSERT_TRUE(recorder_.WaitFor(1, 5000));
    EXPECT_EQ(recorder_.Calls()[0].contentAtCall, "still here");
}

TEST_F(PortListenerTest, StopWaitsForTheConnectionInFlight) {
    std::atomic<bool> handlerDone{false};
    auto record = recorder_.Handler(300);
    PortListener listener(
        port_,
        [&](const std::wstring& path, int32_t port) {
            const bool stored = record(path, port);
            handlerDone = true;
            return stored;
        },
        dir_.path());
    ASSERT_TRUE(listener.Start());
    UniqueSocket client = Connect(port_);
    ASSERT_TRUE(client);
    const std::string data = Pattern(200000, 3);
    ASSERT_TRUE(SendAll(client.get(), data.substr(0, 1000)));
    ASSERT_TRUE(WaitUntil([&] { return listener.activeConnections() == 1; }, 2000));

    // The sender goes on after Stop has begun and closes a little later.
    std::thread sender([&] {
        Sleep(400);
        SendAll(client.get(), data.substr(1000));
        Sleep(300);
        client.reset();
    });
    const auto start = Clock::now();
    listener.Stop();
    const int64_t stopMs = MsSince(start);
    sender.join();

    EXPECT_TRUE(handlerDone.load());
    EXPECT_GE(stopMs, 900);  // the sender's 700 ms plus the handler's 300 ms, roughly
    EXPECT_FALSE(listener.running());
    EXPECT_EQ(listener.activeConnections(), 0);
    ASSERT_EQ(recorder_.Calls().size(), 1u);
    EXPECT_TRUE(recorder_.Calls()[0].contentAtCall == data);
    // Not listening any more, and a second Stop returns at once.
    EXPECT_FALSE(Connect(port_));
    const auto again = Clock::now();
    listener.Stop();
    EXPECT_LT(MsSince(again), 200);
}

// Data over the cap is refused whole: a cut copy would print as if complete,
// and the sender would retry into another cut copy.
TEST_F(PortListenerTest, DataBeyondTheCapIsRefusedWhole) {
    constexpr int64_t kCap = 300000;
    struct Case { size_t sent; bool whole; };
    const Case cases[] = {{kCap, true}, {kCap - 1, true}, {kCap + 1, false}, {3 * kCap, false}};
    // The sender keeps its side open (see WaitForPeerEnd); silence ends the job.
    PortListener listener(port_, recorder_.Handler(), dir_.path(), kCap, 300);
    ASSERT_TRUE(listener.Start());
    size_t expected = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        const size_t errors = CountLogLines("打印数据超过上限，拒收");
        const std::string data = Pattern(c.sent, static_cast<uint32_t>(c.sent));
        UniqueSocket client = Connect(port_);
        ASSERT_TRUE(client);
        // The listener stops reading at the cap, so the send may fail.
        const bool sentAll = SendAll(client.get(), data);
        const int peerEnd = sentAll ? WaitForPeerEnd(client.get(), 5000) : WSAECONNRESET;
        ASSERT_TRUE(WaitUntil([&] { return listener.activeConnections() == 0; }, 3000));
        if (c.whole) {
            ++expected;
            EXPECT_EQ(peerEnd, 0);
            ASSERT_EQ(recorder_.Calls().size(), expected);
            EXPECT_TRUE(recorder_.Calls().back().contentAtCall == data);
            EXPECT_EQ(CountLogLines("打印数据超过上限，拒收"), errors);
        } else {
            EXPECT_THAT(peerEnd, testing::AnyOf(WSAECONNRESET, WSAECONNABORTED));
            EXPECT_EQ(recorder_.Calls().size(), expected) << "a cut copy was handed on";
            EXPECT_EQ(CountLogLines("打印数据超过上限，拒收"), errors + 1);
            EXPECT_THAT(Logger::Instance().RecentLines(300), testing::Contains(testing::AllOf(
                HasSubstr("[ERR]"), HasSubstr("打印数据超过上限，拒收"))));
        }
        EXPECT_EQ(FilesIn(dir_.path()).size(), expected) << "a partial file was left";
    }
}

TEST_F(PortListenerTest, TheRealCapKeepsTwoHundredMebibytesAndRefusesMore) {
    PortListener listener(port_, recorder_.Handler(), dir_.path());
    ASSERT_TRUE(listener.Start());
    const size_t errors = CountLogLines("打印数据超过上限，拒收");
    const std::string block = Pattern(1 << 20, 9);
    UniqueSocket client = Connect(port_);
    ASSERT_TRUE(client);
    // 200 MiB and one chunk more; the listener stops reading at the cap.
    for (int i = 0; i < 200 && SendAll(client.get(), block); ++i) {
    }
    const bool sentAll = SendAll(client.get(), block.substr(0, kCaptureChunkBytes));
    if (sentAll) {
        EXPECT_THAT(WaitForPeerEnd(client.get(), 30000),
                    testing::AnyOf(WSAECONNRESET, WSAECONNABORTED));
    }
    ASSERT_TRUE(WaitUntil([&] { return listener.activeConnections() == 0; }, 30000));
    EXPECT_TRUE(recorder_.Calls().empty());
    EXPECT_TRUE(FilesIn(dir_.path()).empty());
    EXPECT_EQ(CountLogLines("打印数据超过上限，拒收"), errors + 1);
}

// The sender is answered only for a job that is stored: the orderly close
// comes after the handler has stored it, a reset when it could not (and then
// the file is gone, so nothing prints a job the sender will send again).
TEST_F(PortListenerTest, SenderIsAnsweredOnlyAfterTheJobIsStored) {
    struct Case { const char* name; bool stored; int wanted; size_t files; };
    const Case cases[] = {{"stored", true, 0, 1}, {"not stored", false, WSAECONNRESET, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir spool;
        Recorder recorder;
        recorder.SetStored(c.stored);
        // Silence of 200 ms ends the job; the sender keeps its side open.
        PortListener listener(port_, recorder.Handler(600), spool.path(), kCaptureMaxBytes, 200);
        ASSERT_TRUE(listener.Start());
        UniqueSocket client = Connect(port_);
        ASSERT_TRUE(client);
        ASSERT_TRUE(SendAll(client.get(), Pattern(5000, 1)));
        const auto start = Clock::now();
        // Nothing may come back while the handler is still storing the job.
        EXPECT_EQ(WaitForPeerEnd(client.get(), 500), WSAETIMEDOUT) << "answered before stored";
        EXPECT_EQ(WaitForPeerEnd(client.get(), 5000), c.wanted);
        EXPECT_GE(MsSince(start), 750);
        ASSERT_TRUE(recorder.WaitFor(1, 1000));
        ASSERT_TRUE(WaitUntil([&] { return listener.activeConnections() == 0; }, 2000));
        EXPECT_EQ(FilesIn(spool.path()).size(), c.files);
        if (!c.stored) {
            EXPECT_EQ(CountLogLines("作业未能入库，连接已重置：" +
                                    WideToUtf8(recorder.Calls()[0].path)),
                      1u);
        }
        listener.Stop();
    }
}

// A connection has an overall limit: a sender that trickles a byte well
// inside the idle time is still refused whole once the limit has passed.
TEST_F(PortListenerTest, TricklingSenderIsRefusedAtTheConnectionLimit) {
    PortListener listener(port_, recorder_.Handler(), dir_.path(), kCaptureMaxBytes, 2000, 4000);
    ASSERT_TRUE(listener.Start());
    const size_t errors = CountLogLines("打印连接超过时限，拒收");
    UniqueSocket client = Connect(port_);
    ASSERT_TRUE(client);
    const auto start = Clock::now();
    int error = 0;
    while (MsSince(start) < 15000) {
        if (send(client.get(), "x", 1, 0) != 1) {
            error = WSAGetLastError();
            break;
        }
        const int end = WaitForPeerEnd(client.get(), 1500);
        if (end != WSAETIMEDOUT) {
            error = end;
            break;
        }
    }
    const int64_t took = MsSince(start);
    EXPECT_THAT(error, testing::AnyOf(WSAECONNRESET, WSAECONNABORTED));
    EXPECT_GE(took, 3800);
    EXPECT_LT(took, 7000);
    ASSERT_TRUE(WaitUntil([&] { return listener.activeConnections() == 0; }, 2000));
    EXPECT_TRUE(recorder_.Calls().empty());
    EXPECT_TRUE(FilesIn(dir_.path()).empty());
    EXPECT_EQ(CountLogLines("打印连接超过时限，拒收"), errors + 1);
}

// Stop is bounded with a trickling sender attached (the product's limit of
// ten minutes would otherwise hold it): the sender is reset and nothing of its
// job stays.
TEST_F(PortListenerTest, StopIsBoundedWithATricklingSender) {
    PortListener listener(port_, recorder_.Handler(), dir_.path());
    ASSERT_TRUE(listener.Start());
    UniqueSocket client = Connect(port_);
    ASSERT_TRUE(client);
    std::atomic<bool> done{false};
    std::atomic<int> error{0};
    // It gives up after 15 s, so a Stop that waits for it fails the bound
    // below instead of hanging the test.
    const auto began = Clock::now();
    std::thread trickler([&] {
        while (!done.load() && MsSince(began) < 15000) {
            if (send(client.get(), "x", 1, 0) != 1) {
                error = WSAGetLastError();
                return;
            }
            const int end = WaitForPeerEnd(client.get(), 1500);
            if (end != WSAETIMEDOUT) {
                error = end;
                return;
            }
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return listener.activeConnections() == 1; }, 2000));
    Sleep(2000);
    const auto start = Clock::now();
    listener.Stop();
    const int64_t stopMs = MsSince(start);
    done = true;
    trickler.join();
    EXPECT_LT(stopMs, kCaptureStopGraceMs + kCaptureIdleMs + 1000);
    EXPECT_THAT(error.load(), testing::AnyOf(WSAECONNRESET, WSAECONNABORTED));
    EXPECT_EQ(listener.activeConnections(), 0);
    EXPECT_TRUE(recorder_.Calls().empty());
    EXPECT_TRUE(FilesIn(dir_.path()).empty());
}

TEST_F(PortListenerTest, WriteFailureResetsTheSenderAndKeepsNoFile) {
    ASSERT_TRUE(WriteFileBytes(dir_ / L"plain-file", "x"));
    ASSERT_TRUE(MakeDirs(dir_ / L"gone"));
    struct Case { const char* name; std::wstring spool; bool removeAfterStart; };
    const Case cases[] = {
        {"folder below a file", dir_ / L"plain-file\\spool", false},
        {"folder removed after start", dir_ / L"gone", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PortListener listener(port_, recorder_.Handler(), c.spool);
        ASSERT_TRUE(listener.Start());
        if (c.removeAfterStart) {
            ASSERT_TRUE(RemoveDirectoryW(c.spool.c_str()));
        }
        const std::string errorLine = "落盘失败：" + WideToUtf8(c.spool) + "\\";
        const size_t errors = CountLogLines(errorLine);

        // A sender that goes on with its job is refused with an error at once,
        // long before its data is taken or the idle time runs out.
        UniqueSocket streaming = Connect(port_);
        ASSERT_TRUE(streaming);
        const auto start = Clock::now();
        const SendOutcome outcome = SendUntilRefused(streaming.get(), 8 << 20, 3000);
        EXPECT_THAT(outcome.error, testing::AnyOf(WSAECONNRESET, WSAECONNABORTED));
        EXPECT_LT(outcome.sent, 8u << 20);
        EXPECT_LT(MsSince(start), 1500);
        ASSERT_TRUE(WaitUntil([&] { return listener.activeConnections() == 0; }, 2000));
        EXPECT_EQ(CountLogLines(errorLine), errors + 1);
        listener.Stop();
    }
    EXPECT_TRUE(recorder_.Calls().empty());
    EXPECT_EQ(FilesIn(dir_.path()), std::vector<std::wstring>{L"plain-file"});
}

TEST_F(PortListenerTest, ConnectionsAtTheSameTimeGetTheirOwnFiles) {
    PortListener listener(port_, recorder_.Handler(), dir_.path());
    ASSERT_TRUE(listener.Start());
    std::vector<std::string> payloads;
    for (uint32_t i = 0; i < 4; ++i) payloads.push_back(Pattern(700000 + i * 1000, 40 + i));
    std::vector<std::thread> senders;
    for (size_t i = 0; i < payloads.size(); ++i) {
        senders.emplace_back([&, i] {
            UniqueSocket client = Connect(port_);
            for (size_t at = 0; client && at < payloads[i].size(); at += 30000) {
                SendAll(client.get(), payloads[i].substr(at, 30000));
            }
        });
    }
    for (auto& t : senders) t.join();
    ASSERT_TRUE(recorder_.WaitFor(payloads.size(), 10000));
    std::vector<std::string> stored;
    std::vector<std::wstring> paths;
    for (const Handed& h : recorder_.Calls()) {
        stored.push_back(h.contentAtCall);
        paths.push_back(h.path);
    }
    std::sort(stored.begin(), stored.end());
    std::sort(payloads.begin(), payloads.end());
    EXPECT_TRUE(stored == payloads);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(std::unique(paths.begin(), paths.end()), paths.end());
}

}  // namespace
}  // namespace qs

