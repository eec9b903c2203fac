// The test run must be sealed in its private network namespace: Wine opens
// sockets in the wineserver, so a server started outside the namespace
// would let tests reach (and probe) the real network.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/handles.h"
#include "jobs/device_sim_client.h"
#include "jobs/lan_discovery.h"

namespace qs {
namespace {

bool IsLoopbackAddress(const sockaddr* sa) {
    if (sa->sa_family == AF_INET) {
        uint32_t host = ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr);
        return (host >> 24) == 127;
    }
    if (sa->sa_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr;
        static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                                     0, 0, 0, 0, 0, 0, 0, 1};
        return memcmp(a.s6_addr, kLoopback6, 16) == 0;
    }
    return false;
}

TEST(SandboxCanary, WineSeesOnlyLoopbackAdapters) {
    ULONG size = 0;
    ULONG result = ::GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, nullptr, &size);
    ASSERT_EQ(result, static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));
    std::vector<uint64_t> buffer(size / 8 + 1);
    auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    ASSERT_EQ(::GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, first, &size),
              static_cast<ULONG>(NO_ERROR));

    int addresses = 0;
    for (IP_ADAPTER_ADDRESSES* a = first; a != nullptr; a = a->Next) {
        for (IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
            ++addresses;
            char text[64] = {};
            DWORD len = sizeof(text);
            ::WSAAddressToStringA(u->Address.lpSockaddr, u->Address.iSockaddrLength, nullptr,
                                  text, &len);
            EXPECT_TRUE(IsLoopbackAddress(u->Address.lpSockaddr))
                << "adapter " << a->AdapterName << " has address " << text
                << ": the wineserver runs outside the private namespace";
        }
    }
    EXPECT_GT(addresses, 0) << "not even loopback is listed";
    // Discovery would send its probes through none of them.
    EXPECT_TRUE(ListLocalAdapters().empty());
}

TEST(SandboxCanary, WineReachesAListenerThatOnlyTheNamespaceHas) {
    test::DeviceSim sim;
    ASSERT_TRUE(sim.available()) << "started without tools/device_sim.py";
    ASSERT_TRUE(sim.Reset());
    ASSERT_FALSE(sim.devices().empty());
    const test::SimDevice& device = sim.devices().front();

    WSADATA data;
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    UniqueSocket sock(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    ASSERT_TRUE(sock.valid());
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(sim.tcpPort());
    ASSERT_EQ(::inet_pton(AF_INET, device.addr.c_str(), &to.sin_addr), 1);
    ASSERT_EQ(::connect(sock.get(), reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0)
        << "error " << ::WSAGetLastError() << " connecting to " << device.addr << ":"
        << sim.tcpPort();
    const std::string marker = "namespace canary \x01\x02\x03";
    ASSERT_EQ(::send(sock.get(), marker.data(), static_cast<int>(marker.size()), 0),
              static_cast<int>(marker.size()));
    ::shutdown(sock.get(), SD_SEND);
    sock.reset();

    // The bytes must have reached that very listener, not some other one.
    std::vector<test::SimJob> jobs = sim.WaitJobs(1, 10000, device.sn);
    ASSERT_EQ(jobs.size(), 1u);
    std::string received;
    ASSERT_TRUE(sim.JobBytes(jobs[0], &received));
    EXPECT_EQ(received, marker);
    EXPECT_TRUE(jobs[0].complete);
}

}  // namespace
}  // namespace qs
