#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/handles.h"
#include "foundation/logger.h"
#include "jobs/device_sim_client.h"
#include "jobs/lan_discovery.h"

namespace qs {
namespace {

using namespace std::chrono_literals;

uint32_t Ip(const char* text) {
    uint32_t a = 0;
    EXPECT_TRUE(ParseIpv4(text, &a)) << text;
    return a;
}

// Lines of the process log whose message is exactly `message` at `level`.
int CountLogLines(const std::string& levelName, const std::string& message) {
    int n = 0;
    const std::string tail = "[" + levelName + "] " + message;
    for (const std::string& line : Logger::Instance().RecentLines(0)) {
        std::string l = line;
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
        if (l.size() >= tail.size() && l.compare(l.size() - tail.size(), tail.size(), tail) == 0) {
            ++n;
        }
    }
    return n;
}

int CountLogLinesStarting(const std::string& levelName, const std::string& prefix) {
    int n = 0;
    const std::string needle = "[" + levelName + "] " + prefix;
    for (const std::string& line : Logger::Instance().RecentLines(0)) {
        if (line.find(needle) != std::string::npos) ++n;
    }
    return n;
}

struct FakeClock {
    std::atomic<int64_t> now{1700000000000};
    std::function<int64_t()> fn() {
        return [this] { return now.load(); };
    }
};

// Polls `done` for up to `limit` of real time.
bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return done();
}

// Runs `work` on its own thread; false when it has not finished within the
// limit (a deadlock): the thread is then abandoned, the test fails.
bool FinishesWithin(std::function<void()> work, std::chrono::milliseconds limit) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([work = std::move(work), done] {
        work();
        done->set_value();
    }).detach();
    return finished.wait_for(limit) == std::future_status::ready;
}

TEST(Ipv4Text, AcceptsOnlyCanonicalDottedQuads) {
    struct Case {
        const char* text;
        bool ok;
    } cases[] = {
        {"192.168.1.50", true}, {"0.0.0.0", true},        {"255.255.255.255", true},
        {"10.0.0.5", true},     {"256.1.1.1", false},     {"192.168.1", false},
        {"192.168.1.", false},  {"192.168.1.50.7", false}, {"192.168.01.5", false},
        {" 192.168.1.5", false}, {"192.168.1.5 ", false}, {"192.168.1.-5", false},
        {"192.168.1.x", false}, {"", false},              {"1234.1.1.1", false},
        {"192.168..5", false},  {"0x7f.0.0.1", false},
    };
    for (const Case& c : cases) {
        uint32_t a = 0;
        EXPECT_EQ(ParseIpv4(c.text, &a), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(Ipv4Text(a), c.text);
        }
    }
    uint32_t a = 0;
    ASSERT_TRUE(ParseIpv4("192.168.1.10", &a));
    EXPECT_EQ(a, ::inet_addr("192.168.1.10"));  // network byte order
}

// ---- replies, without a network -------------------------------------------

struct ReplyCase {
    const char* name;
    std::string payload;
    const char* sender;
    const char* sn;  // nullptr: the datagram must change nothing
    const char* ip;
};

std::string Padded(const std::string& json, size_t total) {
    // Trailing white space keeps it valid JSON at any length.
    std::string s = json;
    s.resize(total, ' ');
    return s;
}

TEST(LanDiscoveryReply, TableOfReplies) {
    const std::string pong = "{\"cmd\":\"Pong\",\"sn\":\"A1\"}";
    const ReplyCase cases[] = {
        {"plain pong", pong, "192.168.1.50", "A1", "192.168.1.50"},
        {"ip in the sender's /24", "{\"cmd\":\"Pong\",\"sn\":\"A1\",\"ip\":\"192.168.1.77\"}",
         "192.168.1.50", "A1", "192.168.1.77"},
        {"ip elsewhere", "{\"cmd\":\"Pong\",\"sn\":\"A1\",\"ip\":\"10.0.0.5\"}", "192.168.1.50",
         "A1", "192.168.1.50"},
        {"ip differs in the third octet", "{\"cmd\":\"Pong\",\"sn\":\"A1\",\"ip\":\"192.168.2.50\"}",
         "192.168.1.50", "A1", "192.168.1.50"},
        {"ip not an address but same prefix",
         "{\"cmd\":\"Pong\",\"sn\":\"A1\",\"ip\":\"192.168.1.777\"}", "192.168.1.50", "A1",
         "192.168.1.50"},
        {"ip with text after the address",
         "{\"cmd\":\"Pong\",\"sn\":\"A1\",\"ip\":\"192.168.1.7\\r\\n[ERR] x\"}", "192.168.1.50",
         "A1", "192.168.1.50"},
        {"ip with a fourth dot", "{\"cmd\":\"Pong\",\"sn\":\"A1\",\"ip\":\"192.168.1.7.8\"}",
         "192.168.1.50", "A1", "192.168.1.50"},
        {"ip empty", "{\"cmd\":\"Pong\",\"sn\":\"A1\",\"ip\":\"\"}", "192.168.1.50", "A1",
         "192.168.1.50"},
        {"ip as a number", "{\"cmd\":\"Pong\",\"sn\":\"A1\",\"ip\":3232235827}", "192.168.1.50",
         "A1", "192.168.1.50"},
        {"extra keys ignored", "{\"v\":2,\"cmd\":\"Pong\",\"x\":[1,{}],\"sn\":\"A1\"}",
         "192.168.1.50", "A1", "192.168.1.50"},
        {"white space around", " \n{ \"cmd\" : \"Pong\" , \"sn\" : \"A1\" }\t ", "192.168.1.50",
         "A1", "192.168.1.50"},
        {"largest datagram", Padded(pong, 4095), "192.168.1.50", "A1", "192.168.1.50"},
        {"one byte too long", Padded(pong, 4096), "192.168.1.50", nullptr, nullptr},
        {"lower-case pong", "{\"cmd\":\"pong\",\"sn\":\"A1\"}", "192.168.1.50", nullptr, nullptr},
        {"ping", "{\"cmd\":\"Ping\",\"sn\":\"A1\"}", "192.168.1.50", nullptr, nullptr},
        {"key in upper case", "{\"CMD\":\"Pong\",\"SN\":\"A1\"}", "192.168.1.50", nullptr,
         nullptr},
        {"no cmd", "{\"sn\":\"A1\"}", "192.168.1.50", nullptr, nullptr},
        {"no sn", "{\"cmd\":\"Pong\"}", "192.168.1.50", nullptr, nullptr},
        {"empty sn", "{\"cmd\":\"Pong\",\"sn\":\"\"}", "192.168.1.50", nullptr, nullptr},
        {"sn a number", "{\"cmd\":\"Pong\",\"sn\":17}", "192.168.1.50", nullptr, nullptr},
        {"sn with a line break", "{\"cmd\":\"Pong\",\"sn\":\"A1\\n[ERR] forged\"}",
         "192.168.1.50", nullptr, nullptr},
        {"not JSON", "Pong A1", "192.168.1.50", nullptr, nullptr},
        {"JSON then garbage", pong + "xyz", "192.168.1.50", nullptr, nullptr},
        {"JSON, NUL, garbage", pong + std::string("\0xyz", 4), "192.168.1.50", nullptr, nullptr},
        {"truncated", pong.substr(0, pong.size() - 1), "192.168.1.50", nullptr, nullptr},
        {"array", "[\"Pong\",\"A1\"]", "192.168.1.50", nullptr, nullptr},
        {"empty payload", "", "192.168.1.50", nullptr, nullptr},
        {"cmd not a string", "{\"cmd\":true,\"sn\":\"A1\"}", "192.168.1.50", nullptr, nullptr},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeClock clock;
        int calls = 0;
        LanDiscoveryOptions options;
        options.clock = clock.fn();
        LanDiscovery discovery([&] { ++calls; }, options);
        discovery.HandleReply(c.payload, c.sender);
        auto table = discovery.Snapshot();
        if (c.sn == nullptr) {
            EXPECT_TRUE(table.empty());
            EXPECT_EQ(calls, 0);
            continue;
        }
        ASSERT_EQ(table.size(), 1u);
        ASSERT_EQ(table.count(c.sn), 1u);
        EXPECT_EQ(table[c.sn].ip, c.ip);
        EXPECT_EQ(table[c.sn].last_seen, clock.now.load());
        EXPECT_EQ(calls, 1);
        std::string ip;
        EXPECT_TRUE(discovery.Lookup(c.sn, &ip));
        EXPECT_EQ(ip, c.ip);
    }
}

TEST(LanDiscoveryReply, FirstReplyAnnouncesRepeatsOnlyRefresh) {
    FakeClock clock;
    int calls = 0;
    LanDiscoveryOptions options;
    options.clock = clock.fn();
    LanDiscovery discovery([&] { ++calls; }, options);
    const std::string line = "局域网发现 sn=A1 ip=192.168.1.50";
    const int before = CountLogLines("INF", line);

    discovery.HandleReply("{\"cmd\":\"Pong\",\"sn\":\"A1\"}", "192.168.1.50");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(CountLogLines("INF", line), before + 1);
    const int64_t first = clock.now;

    clock.now += 5000;
    discovery.HandleReply("{\"cmd\":\"Pong\",\"sn\":\"A1\"}", "192.168.1.50");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(CountLogLines("INF", line), before + 1);
    auto table = discovery.Snapshot();
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table["A1"].last_seen, first + 5000);

    // A known device that moved is no news for the callback, but support
    // must see it: one warning naming both addresses, none for the refresh
    // that follows from the new one.
    const std::string moved = "局域网设备地址变更 sn=A1 原 ip=192.168.1.50 新 ip=192.168.1.60";
    EXPECT_EQ(CountLogLines("WRN", moved), 0);
    clock.now += 5000;
    const int movedBefore = CountLogLinesStarting("INF", "局域网发现 sn=A1 ip=192.168.1.60");
    discovery.HandleReply("{\"cmd\":\"Pong\",\"sn\":\"A1\"}", "192.168.1.60");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(CountLogLinesStarting("INF", "局域网发现 sn=A1 ip=192.168.1.60"), movedBefore);
    EXPECT_EQ(CountLogLines("WRN", moved), 1);
    clock.now += 5000;
    discovery.HandleReply("{\"cmd\":\"Pong\",\"sn\":\"A1\"}", "192.168.1.60");
    EXPECT_EQ(CountLogLines("WRN", moved), 1);
    std::string ip;
    ASSERT_TRUE(discovery.Lookup("A1", &ip));
    EXPECT_EQ(ip, "192.168.1.60");

    // A second device is news again.
    discovery.HandleReply("{\"cmd\":\"Pong\",\"sn\":\"B2\"}", "192.168.1.61");
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(discovery.Snapshot().size(), 2u);
}

TEST(LanDiscoveryReply, LookupHonoursTheLifetimeToTheMillisecond) {
    FakeClock clock;
    LanDiscoveryOptions options;
    options.clock = clock.fn();
    LanDiscovery discovery(nullptr, options);
    discovery.HandleReply("{\"cmd\":\"Pong\",\"sn\":\"A1\"}", "192.168.1.50");
    const int64_t seen = clock.now;
    std::string ip;

    clock.now = seen + 90000;
    EXPECT_TRUE(discovery.Lookup("A1", &ip));
    EXPECT_EQ(ip, "192.168.1.50");

    clock.now = seen + 90001;
    ip = "unchanged";
    EXPECT_FALSE(discovery.Lookup("A1", &ip));
    EXPECT_EQ(ip, "unchanged");
    // Expired entries stay visible to Snapshot until the probe thread ages them.
    EXPECT_EQ(discovery.Snapshot().count("A1"), 1u);
    EXPECT_FALSE(discovery.Lookup("B2", &ip));

    // A fresh reply brings it back.
    discovery.HandleReply("{\"cmd\":\"Pong\",\"sn\":\"A1\"}", "192.168.1.50");
    EXPECT_TRUE(discovery.Lookup("A1", &ip));
}

TEST(LanDiscoveryReply, TableStopsGrowingAtItsCap) {
    FakeClock clock;
    int calls = 0;
    LanDiscoveryOptions options;
    options.clock = clock.fn();
    LanDiscovery discovery([&] { ++calls; }, options);
    for (size_t i = 0; i < LanDiscovery::kMaxEntries + 50; ++i) {
        discovery.HandleReply("{\"cmd\":\"Pong\",\"sn\":\"F" + std::to_string(i) + "\"}",
                              "192.168.1.50");
    }
    EXPECT_EQ(discovery.Snapshot().size(), LanDiscovery::kMaxEntries);
    EXPECT_EQ(calls, static_cast<int>(LanDiscovery::kMaxEntries));
    std::string ip;
    EXPECT_FALSE(discovery.Lookup("F" + std::to_string(LanDiscovery::kMaxEntries), &ip));
    // Devices already known are still refreshed and moved.
    clock.now += 1000;
    discovery.HandleReply("{\"cmd\":\"Pong\",\"sn\":\"F0\"}", "192.168.1.51");
    ASSERT_TRUE(discovery.Lookup("F0", &ip));
    EXPECT_EQ(ip, "192.168.1.51");
    EXPECT_EQ(discovery.Snapshot()["F0"].last_seen, clock.now.load());
}

TEST(LanDiscoveryReply, CallbackMayReadTheTable) {
    LanDiscovery* self = nullptr;
    std::string seenIp;
    size_t seenSize = 0;
    LanDiscovery discovery(
        [&] {
            // Both take the table's mutex: held by the caller, this hangs.
            self->Lookup("A1", &seenIp);
            seenSize = self->Snapshot().size();
        });
    self = &discovery;
    ASSERT_TRUE(FinishesWithin(
        [&] { discovery.HandleReply("{\"cmd\":\"Pong\",\"sn\":\"A1\"}", "10.1.2.3"); }, 5000ms))
        << "the change callback ran with the table locked";
    EXPECT_EQ(seenIp, "10.1.2.3");
    EXPECT_EQ(seenSize, 1u);
}

TEST(LanDiscoveryReply, CallbackThatThrowsDoesNotLoseTheEntry) {
    LanDiscovery discovery([] { throw std::runtime_error("callback trouble"); });
    discovery.HandleReply("{\"cmd\":\"Pong\",\"sn\":\"A1\"}", "10.1.2.3");
    std::string ip;
    EXPECT_TRUE(discovery.Lookup("A1", &ip));
}

// ---- probe targets and adapters ------------------------------------------

TEST(LanDiscoveryProbe, TargetsPerAdapter) {
    const uint32_t group = Ip("239.100.100.1");
    EXPECT_EQ(ProbeTargets({}, group), (std::vector<ProbeTarget>{{0, group}}));

    LocalAdapter lan{Ip("192.168.1.10"), Ip("192.168.1.255"), true, "192.168.1.10"};
    EXPECT_EQ(ProbeTargets({lan}, group),
              (std::vector<ProbeTarget>{{Ip("192.168.1.10"), group},
                                        {Ip("192.168.1.10"), Ip("192.168.1.255")}}));

    LocalAdapter noBroadcast{Ip("10.8.0.2"), 0, false, "10.8.0.2"};
    EXPECT_EQ(ProbeTargets({noBroadcast, lan}, group),
              (std::vector<ProbeTarget>{{Ip("10.8.0.2"), group},
                                        {Ip("192.168.1.10"), group},
                                        {Ip("192.168.1.10"), Ip("192.168.1.255")}}));
}

// A hand-made adapter list in the layout GetAdaptersAddresses returns.
class FakeAdapters {
public:
    struct Address {
        const char* ip;
        int prefix;
    };
    void Add(IF_OPER_STATUS status, DWORD type, std::vector<Address> addresses) {
        auto adapter = std::make_unique<IP_ADAPTER_ADDRESSES>();
        std::memset(adapter.get(), 0, sizeof(IP_ADAPTER_ADDRESSES));
        adapter->OperStatus = status;
        adapter->IfType = type;
        IP_ADAPTER_UNICAST_ADDRESS** link = &adapter->FirstUnicastAddress;
        for (const Address& a : addresses) {
            auto sa = std::make_unique<sockaddr_in>();
            std::memset(sa.get(), 0, sizeof(sockaddr_in));
            sa->sin_family = AF_INET;
            sa->sin_addr.s_addr = Ip(a.ip);
            auto u = std::make_unique<IP_ADAPTER_UNICAST_ADDRESS>();
            std::memset(u.get(), 0, sizeof(IP_ADAPTER_UNICAST_ADDRESS));
            u->Address.lpSockaddr = reinterpret_cast<sockaddr*>(sa.get());
            u->Address.iSockaddrLength = sizeof(sockaddr_in);
            u->OnLinkPrefixLength = static_cast<UINT8>(a.prefix);
            *link = u.get();
            link = &u->Next;
            sockets_.push_back(std::move(sa));
            unicast_.push_back(std::move(u));
        }
        if (!adapters_.empty()) adapters_.back()->Next = adapter.get();
        adapters_.push_back(std::move(adapter));
    }
    void AddIpv6(IP_ADAPTER_ADDRESSES* adapter) {
        auto sa = std::make_unique<sockaddr_in6>();
        std::memset(sa.get(), 0, sizeof(sockaddr_in6));
        sa->sin6_family = AF_INET6;
        auto u = std::make_unique<IP_ADAPTER_UNICAST_ADDRESS>();
        std::memset(u.get(), 0, sizeof(IP_ADAPTER_UNICAST_ADDRESS));
        u->Address.lpSockaddr = reinterpret_cast<sockaddr*>(sa.get());
        u->Address.iSockaddrLength = sizeof(sockaddr_in6);
        u->OnLinkPrefixLength = 64;
        u->Next = adapter->FirstUnicastAddress;
        adapter->FirstUnicastAddress = u.get();
        sockets6_.push_back(std::move(sa));
        unicast_.push_back(std::move(u));
    }
    IP_ADAPTER_ADDRESSES* first() { return adapters_.empty() ? nullptr : adapters_[0].get(); }
    IP_ADAPTER_ADDRESSES* at(size_t i) { return adapters_[i].get(); }

private:
    std::vector<std::unique_ptr<IP_ADAPTER_ADDRESSES>> adapters_;
    std::vector<std::unique_ptr<IP_ADAPTER_UNICAST_ADDRESS>> unicast_;
    std::vector<std::unique_ptr<sockaddr_in>> sockets_;
    std::vector<std::unique_ptr<sockaddr_in6>> sockets6_;
};

TEST(LanDiscoveryProbe, AdapterSelection) {
    FakeAdapters list;
    list.Add(IfOperStatusUp, IF_TYPE_ETHERNET_CSMACD,
             {{"192.168.1.10", 24}, {"127.0.0.5", 8}, {"169.254.3.4", 16}, {"10.1.2.3", 32}});
    list.Add(IfOperStatusUp, IF_TYPE_SOFTWARE_LOOPBACK, {{"10.9.9.9", 8}});
    list.Add(IfOperStatusDown, IF_TYPE_ETHERNET_CSMACD, {{"172.16.0.1", 16}});
    list.Add(IfOperStatusUp, IF_TYPE_IEEE80211, {{"172.20.5.6", 0}, {"172.21.5.6", 33}});
    list.AddIpv6(list.at(3));
    list.Add(IfOperStatusUp, IF_TYPE_ETHERNET_CSMACD, {{"192.168.7.9", 22}, {"192.168.7.8", 1}});

    std::vector<LocalAdapter> got = LocalAdaptersFrom(list.first());
    struct Want {
        const char* text;
        bool has_broadcast;
        const char* broadcast;
    } want[] = {
        {"192.168.1.10", true, "192.168.1.255"},
        {"10.1.2.3", true, "10.1.2.3"},  // a /32 is its own broadcast
        {"172.20.5.6", false, nullptr},
        {"172.21.5.6", false, nullptr},
        {"192.168.7.9", true, "192.168.7.255"},
        {"192.168.7.8", true, "255.255.255.255"},
    };
    ASSERT_EQ(got.size(), std::size(want));
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(want[i].text);
        EXPECT_EQ(got[i].text, want[i].text);
        EXPECT_EQ(got[i].address, Ip(want[i].text));
        EXPECT_EQ(got[i].has_broadcast, want[i].has_broadcast);
        if (want[i].has_broadcast) {
            EXPECT_EQ(got[i].broadcast, Ip(want[i].broadcast));
        }
    }
    EXPECT_TRUE(LocalAdaptersFrom(nullptr).empty());
}

// ---- the socket and the threads ------------------------------------------

class Winsock : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { ::WSACleanup(); }

    // A UDP socket bound to address:port (port 0 = any free one).
    static UniqueSocket BoundUdp(const char* address, uint16_t port, uint16_t* boundPort) {
        UniqueSocket s(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &a.sin_addr);
        if (!s.valid() || ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
            return UniqueSocket();
        }
        int len = sizeof(a);
        ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
        if (boundPort != nullptr) *boundPort = ntohs(a.sin_port);
        return s;
    }

    static void SendTo(SOCKET s, const std::string& payload, uint16_t port) {
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::sendto(s, payload.data(), static_cast<int>(payload.size()), 0,
                           reinterpret_cast<sockaddr*>(&to), sizeof(to)),
                  static_cast<int>(payload.size()));
    }

    // Options aimed at loopback only: no adapter list means the group
    // through the default interface, which the namespace routes to lo.
    static LanDiscoveryOptions LoopbackOptions(uint16_t devicePort) {
        LanDiscoveryOptions o;
        o.local_port = 0;
        o.device_port = devicePort;
        o.list_adapters = [] { return std::vector<LocalAdapter>(); };
        return o;
    }
};

using LanDiscoverySocket = Winsock;

TEST_F(LanDiscoverySocket, BindFailureLeavesItIdle) {
    uint16_t port = 0;
    // No SO_REUSEADDR on the holder, so nobody may share its port.
    UniqueSocket holder = BoundUdp("0.0.0.0", 0, &port);
    ASSERT_TRUE(holder.valid());
    LanDiscoveryOptions options = LoopbackOptions(9);
    options.local_port = port;
    int calls = 0;
    LanDiscovery discovery([&] { ++calls; }, options);
    const std::string prefix = "UDP 发现绑定 " + std::to_string(port) + " 失败：Win32(";
    const int before = CountLogLinesStarting("WRN", prefix);

    EXPECT_FALSE(discovery.Start());
    EXPECT_EQ(CountLogLinesStarting("WRN", prefix), before + 1);
    EXPECT_EQ(discovery.BoundPort(), 0);
    std::string ip;
    EXPECT_FALSE(discovery.Lookup("A1", &ip));
    discovery.ProbeNow();  // idle: nothing to send on, must not crash
    discovery.Stop();
    discovery.Stop();
    EXPECT_EQ(calls, 0);
}

TEST_F(LanDiscoverySocket, StopIsPromptAndRestartWorks) {
    LanDiscoveryOptions options = LoopbackOptions(9);
    options.tick_ms = 1000;  // the real tick: Stop must not wait it out
    LanDiscovery discovery(nullptr, options);
    discovery.Stop();  // never started
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(discovery.Start());
        EXPECT_TRUE(discovery.Start());  // already running
        EXPECT_NE(discovery.BoundPort(), 0);
        std::this_thread::sleep_for(50ms);  // both threads are in their waits
        auto begin = std::chrono::steady_clock::now();
        discovery.Stop();
        auto took = std::chrono::steady_clock::now() - begin;
        EXPECT_LT(took, 500ms) << "round " << round;
        EXPECT_EQ(discovery.BoundPort(), 0);
    }
}

TEST_F(LanDiscoverySocket, DatagramsOverTheCapAreDroppedAndReceivingGoesOn) {
    FakeClock clock;
    LanDiscoveryOptions options = LoopbackOptions(9);
    options.clock = clock.fn();
    LanDiscovery discovery(nullptr, options);
    ASSERT_TRUE(discovery.Start());
    const uint16_t port = discovery.BoundPort();
    UniqueSocket sender = BoundUdp("127.0.0.1", 0, nullptr);
    ASSERT_TRUE(sender.valid());

    auto pong = [](const std::string& sn, size_t size) {
        return Padded("{\"cmd\":\"Pong\",\"sn\":\"" + sn + "\"}", size);
    };
    // Too long by one byte, and far too long: a receiver that kept the first
    // 4095 bytes would see a valid reply (the tail is white space).
    SendTo(sender.get(), pong("OVER1", 4096), port);
    SendTo(sender.get(), pong("OVER2", 60000), port);
    SendTo(sender.get(), "not json at all", port);
    SendTo(sender.get(), "", port);
    SendTo(sender.get(), pong("EDGE", 4095), port);
    SendTo(sender.get(), pong("AFTER", 30), port);

    std::string ip;
    ASSERT_TRUE(Eventually([&] { return discovery.Lookup("AFTER", &ip); }, 2000ms));
    EXPECT_EQ(ip, "127.0.0.1");
    EXPECT_TRUE(discovery.Lookup("EDGE", &ip));
    auto table = discovery.Snapshot();
    EXPECT_EQ(table.size(), 2u);
    EXPECT_EQ(table.count("OVER1"), 0u);
    EXPECT_EQ(table.count("OVER2"), 0u);
    discovery.Stop();
}

// ---- against the simulated devices -----------------------------------------

class LanDiscoverySim : public Winsock {
protected:
    void SetUp() override {
        Winsock::SetUp();
        ASSERT_TRUE(sim.available()) << "started without tools/device_sim.py";
        ASSERT_TRUE(sim.Reset());
    }
    test::DeviceSim sim;
};

TEST_F(LanDiscoverySim, ProbeRoundTripOverLoopbackMulticast) {
    std::atomic<int> calls{0};
    LanDiscovery discovery([&] { ++calls; }, LoopbackOptions(sim.udpPort()));
    ASSERT_TRUE(discovery.Start());

    // Start probes at once; every answering device ends up in the table.
    std::string ip;
    ASSERT_TRUE(Eventually([&] { return discovery.Snapshot().size() >= 3; }))
        << "no replies; probes seen by the simulator: " << sim.Probes();
    std::string probe;
    EXPECT_GE(sim.Probes(&probe), 1);
    EXPECT_EQ(probe, "{\"cmd\":\"Ping\"}");
    EXPECT_EQ(probe.size(), 14u);

    ASSERT_TRUE(discovery.Lookup("A1", &ip));
    EXPECT_EQ(ip, sim.AddressOf("A1"));
    // B2 reports an address in its own /24, C3 one elsewhere.
    ASSERT_TRUE(discovery.Lookup("B2", &ip));
    EXPECT_EQ(ip, "127.0.0.77");
    ASSERT_TRUE(discovery.Lookup("C3", &ip));
    EXPECT_EQ(ip, sim.AddressOf("C3"));
    EXPECT_FALSE(discovery.Lookup("D4", &ip)) << "a silent device was found";
    EXPECT_EQ(calls.load(), 3);
    EXPECT_EQ(CountLogLines("INF", "局域网发现 sn=A1 ip=" + sim.AddressOf("A1")), 1);

    // Another round refreshes without news.
    const int64_t probes = sim.Probes();
    const int64_t replies = sim.Replies("A1");
    discovery.ProbeNow();
    ASSERT_TRUE(Eventually([&] { return sim.Replies("A1") > replies; }));
    EXPECT_GT(sim.Probes(), probes);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(calls.load(), 3);
    EXPECT_EQ(CountLogLines("INF", "局域网发现 sn=A1 ip=" + sim.AddressOf("A1")), 1);

    // A device that sends its Pong to the group at our port counts too.
    ASSERT_TRUE(sim.Set("D4", "discovery", "group"));
    discovery.ProbeNow();
    ASSERT_TRUE(Eventually([&] { return discovery.Lookup("D4", &ip); }))
        << "a Pong to the group was not received";
    EXPECT_EQ(ip, sim.AddressOf("D4"));
    discovery.Stop();
}

TEST_F(LanDiscoverySim, ProbeGoesThroughEachAdapterAndToItsBroadcast) {
    // A stand-in adapter on loopback whose "broadcast" address is A1's own
    // address: A1 then hears every round twice, the others once.
    LanDiscoveryOptions options = LoopbackOptions(sim.udpPort());
    options.list_adapters = [this] {
        LocalAdapter a;
        ParseIpv4("127.0.0.1", &a.address);
        a.text = "127.0.0.1";
        ParseIpv4(sim.AddressOf("A1"), &a.broadcast);
        a.has_broadcast = true;
        return std::vector<LocalAdapter>{a};
    };
    LanDiscovery discovery(nullptr, options);
    ASSERT_TRUE(discovery.Start());
    ASSERT_TRUE(Eventually([&] { return sim.DeviceProbes("A1") == 2; }));
    ASSERT_TRUE(Eventually([&] { return sim.DeviceProbes("B2") == 1; }))
        << "the group probe through the adapter's interface did not arrive";
    discovery.ProbeNow();
    ASSERT_TRUE(Eventually([&] { return sim.DeviceProbes("A1") == 4; }));
    ASSERT_TRUE(Eventually([&] { return sim.DeviceProbes("B2") == 2; }));
    std::string ip;
    ASSERT_TRUE(Eventually([&] { return discovery.Lookup("B2", &ip); }));
    EXPECT_TRUE(discovery.Lookup("A1", &ip));
    EXPECT_EQ(ip, sim.AddressOf("A1"));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(sim.DeviceProbes("A1"), 4);
    EXPECT_EQ(sim.DeviceProbes("B2"), 2);
    discovery.Stop();
}

TEST_F(LanDiscoverySim, ScheduleAndAgeingFollowTheClock) {
    FakeClock clock;
    const int64_t t0 = clock.now;
    LanDiscoveryOptions options = LoopbackOptions(sim.udpPort());
    options.clock = clock.fn();
    options.tick_ms = 10;
    LanDiscovery* self = nullptr;
    std::atomic<int> calls{0};
    std::atomic<size_t> sizeSeen{99};
    LanDiscovery discovery(
        [&] {
            sizeSeen = self->Snapshot().size();  // on the discovery's own thread
            ++calls;
        },
        options);
    self = &discovery;
    ASSERT_TRUE(discovery.Start());
    ASSERT_TRUE(Eventually([&] { return discovery.Snapshot().size() == 3; }));
    EXPECT_EQ(sim.Probes(), 1);
    EXPECT_EQ(calls.load(), 3);

    // The first periodic probe comes 8 s after the start, not before.
    clock.now = t0 + 7999;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(sim.Probes(), 1);
    clock.now = t0 + 8000;
    ASSERT_TRUE(Eventually([&] { return sim.Probes() == 2; })) << sim.Probes();
    ASSERT_TRUE(Eventually([&] { return discovery.Snapshot()["A1"].last_seen == t0 + 8000; }));
    ASSERT_TRUE(Eventually([&] { return discovery.Snapshot()["C3"].last_seen == t0 + 8000; }));
    ASSERT_TRUE(Eventually([&] { return discovery.Snapshot()["B2"].last_seen == t0 + 8000; }));

    // From now on nobody answers.
    for (const char* sn : {"A1", "B2", "C3", "D4"}) ASSERT_TRUE(sim.Set(sn, "discovery", "silent"));

    // Then every 30 s.
    clock.now = t0 + 8000 + 29999;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(sim.Probes(), 2);
    clock.now = t0 + 38000;
    ASSERT_TRUE(Eventually([&] { return sim.Probes() == 3; }));

    // The check at 98 000 keeps entries exactly 90 s old.
    clock.now = t0 + 98000;
    ASSERT_TRUE(Eventually([&] { return sim.Probes() == 4; }));
    std::string ip;
    EXPECT_TRUE(discovery.Lookup("A1", &ip));
    EXPECT_EQ(discovery.Snapshot().size(), 3u);
    EXPECT_EQ(calls.load(), 3);

    // One millisecond later Lookup refuses them; removal waits for the next check.
    clock.now = t0 + 98001;
    EXPECT_FALSE(discovery.Lookup("A1", &ip));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(discovery.Snapshot().size(), 3u);
    EXPECT_EQ(calls.load(), 3);

    clock.now = t0 + 128000;
    ASSERT_TRUE(Eventually([&] { return calls.load() == 4; }));
    EXPECT_TRUE(discovery.Snapshot().empty());
    EXPECT_EQ(sizeSeen.load(), 0u);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(calls.load(), 4) << "one ageing pass, one call";
    discovery.Stop();
}

TEST_F(LanDiscoverySim, StopFromTheCallbackDoesNotHang) {
    LanDiscovery* self = nullptr;
    std::atomic<int> calls{0};
    LanDiscovery discovery(
        [&] {
            ++calls;
            self->Stop();
        },
        LoopbackOptions(sim.udpPort()));
    self = &discovery;
    ASSERT_TRUE(discovery.Start());
    ASSERT_TRUE(Eventually([&] { return calls.load() >= 1; }));
    // Stopped from within: no more entries arrive.
    std::this_thread::sleep_for(100ms);
    const size_t size = discovery.Snapshot().size();
    discovery.ProbeNow();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(discovery.Snapshot().size(), size);
    EXPECT_TRUE(FinishesWithin([&] { discovery.Stop(); }, 5000ms));
}

}  // namespace
}  // namespace qs
