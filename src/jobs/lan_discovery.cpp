#include "jobs/lan_discovery.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <memory>

#include <cJSON.h>

#include "foundation/logger.h"
#include "foundation/system_info.h"
#include "foundation/text.h"
#include "foundation/time_util.h"

namespace qs {
namespace {

bool InitWinsockOnce() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        WSADATA data;
        ok = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return ok;
}

std::string StringMember(const cJSON* object, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    if (cJSON_IsString(item) && item->valuestring != nullptr) return item->valuestring;
    return std::string();
}

// A serial number goes into log lines and the tray: no control characters.
bool PlausibleSerial(const std::string& sn) {
    if (sn.empty()) return false;
    for (unsigned char c : sn) {
        if (c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

bool SameSlash24(uint32_t a, uint32_t b) {
    return (ntohl(a) >> 8) == (ntohl(b) >> 8);
}

void Notify(const std::function<void()>& onChange) {
    if (!onChange) return;
    try {
        onChange();
    } catch (...) {
        // The callback's own trouble must not end a discovery thread.
    }
}

}  // namespace

bool ParseIpv4(const std::string& text, uint32_t* address) {
    uint32_t value = 0;
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.') return false;
            ++pos;
        }
        size_t start = pos;
        uint32_t octet = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
            octet = octet * 10 + static_cast<uint32_t>(text[pos] - '0');
            ++pos;
        }
        size_t digits = pos - start;
        if (digits == 0 || octet > 255) return false;
        if (digits > 1 && text[start] == '0') return false;
        value = (value << 8) | octet;
    }
    if (pos != text.size()) return false;
    if (address != nullptr) *address = htonl(value);
    return true;
}

std::string Ipv4Text(uint32_t address) {
    uint32_t host = ntohl(address);
    return Format("%u.%u.%u.%u", static_cast<unsigned>((host >> 24) & 0xff),
                  static_cast<unsigned>((host >> 16) & 0xff),
                  static_cast<unsigned>((host >> 8) & 0xff),
                  static_cast<unsigned>(host & 0xff));
}

std::vector<ProbeTarget> ProbeTargets(const std::vector<LocalAdapter>& adapters,
                                      uint32_t group) {
    std::vector<ProbeTarget> targets;
    if (adapters.empty()) {
        targets.push_back({0, group});
        return targets;
    }
    for (const LocalAdapter& adapter : adapters) {
        targets.push_back({adapter.address, group});
        if (adapter.has_broadcast) targets.push_back({adapter.address, adapter.broadcast});
    }
    return targets;
}

std::vector<LocalAdapter> LocalAdaptersFrom(const IP_ADAPTER_ADDRESSES* first) {
    std::vector<LocalAdapter> adapters;
    for (const IP_ADAPTER_ADDRESSES* a = first; a != nullptr; a = a->Next) {
        if (a->OperStatus != IfOperStatusUp) continue;
        if (a->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
        for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr;
             u = u->Next) {
            const sockaddr* sa = u->Address.lpSockaddr;
            if (sa == nullptr || sa->sa_family != AF_INET ||
                u->Address.iSockaddrLength < static_cast<INT>(sizeof(sockaddr_in))) {
                continue;
            }
            LocalAdapter adapter;
            adapter.address = reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr;
            adapter.text = Ipv4Text(adapter.address);
            if (adapter.text.starts_with("127.") || adapter.text.starts_with("169.254.")) {
                continue;
            }
            uint32_t prefix = u->OnLinkPrefixLength;
            if (prefix >= 1 && prefix <= 32) {
                uint32_t hostBits = prefix == 32 ? 0u : (0xffffffffu >> prefix);
                adapter.broadcast = htonl(ntohl(adapter.address) | hostBits);
                adapter.has_broadcast = true;
            }
            adapters.push_back(adapter);
        }
    }
    return adapters;
}

std::vector<LocalAdapter> ListLocalAdapters() {
    const ULONG flags =
        GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = 16384;
    // uint64_t elements keep the adapter records suitably aligned.
    std::vector<uint64_t> buffer((size + 7) / 8);
    ULONG result = ::GetAdaptersAddresses(
        AF_INET, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    if (result == ERROR_BUFFER_OVERFLOW) {
        buffer.assign((size + 7) / 8, 0);
        result = ::GetAdaptersAddresses(AF_INET, flags, nullptr,
                                        reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()),
                                        &size);
    }
    if (result != NO_ERROR) return {};
    return LocalAdaptersFrom(reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()));
}

LanDiscovery::LanDiscovery(std::function<void()> onChange, LanDiscoveryOptions options)
    : onChange_(std::move(onChange)), options_(std::move(options)) {}

LanDiscovery::~LanDiscovery() { Stop(); }

int64_t LanDiscovery::Now() const {
    return options_.clock ? options_.clock() : NowEpochMs();
}

bool LanDiscovery::Start() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (started_) return true;

    uint32_t group = 0;
    if (!ParseIpv4(options_.group, &group)) {
        LogWarn("UDP 发现组播地址无效：" + options_.group);
        return false;
    }
    InitWinsockOnce();
    UniqueSocket sock(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!sock.valid()) {
        LogWarn("UDP 发现 socket 创建失败");
        return false;
    }
    BOOL one = TRUE;
    ::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one),
                 sizeof(one));
    ::setsockopt(sock.get(), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&one),
                 sizeof(one));

    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(options_.local_port);
    if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        int err = ::WSAGetLastError();
        LogWarn(Format("UDP 发现绑定 %u 失败：", static_cast<unsigned>(options_.local_port)) +
                Win32ErrorText(static_cast<uint32_t>(err)));
        return false;
    }
    sockaddr_in bound = {};
    int boundLen = sizeof(bound);
    uint16_t port = options_.local_port;
    if (::getsockname(sock.get(), reinterpret_cast<sockaddr*>(&bound), &boundLen) == 0) {
        port = ntohs(bound.sin_port);
    }

    ip_mreq join = {};
    join.imr_multiaddr.s_addr = group;
    join.imr_interface.s_addr = htonl(INADDR_ANY);
    ::setsockopt(sock.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&join),
                 sizeof(join));

    // The receive thread waits on "datagram ready" or "stop", so Stop never
    // depends on closing the socket under a blocked call.
    UniqueHandle readEvent(::WSACreateEvent());
    UniqueHandle stopEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!readEvent.valid() || !stopEvent.valid() ||
        ::WSAEventSelect(sock.get(), readEvent.get(), FD_READ) != 0) {
        LogWarn("UDP 发现事件创建失败：" + Win32ErrorText(0));
        return false;
    }

    {
        std::lock_guard<std::mutex> lock(socketMutex_);
        socket_ = std::move(sock);
    }
    readEvent_ = std::move(readEvent);
    stopEvent_ = std::move(stopEvent);
    stop_ = false;
    // Counted from now, not from whenever the new thread first runs.
    const int64_t firstProbe = Now() + kFirstProbeMs;
    try {
        receiveThread_ = std::thread([this] { ReceiveLoop(); });
        probeThread_ = std::thread([this, firstProbe] { ProbeLoop(firstProbe); });
    } catch (...) {
        StopLocked();
        return false;
    }
    boundPort_ = port;
    started_ = true;
    SendProbe();
    return true;
}

bool LanDiscovery::OnOwnThread() const {
    const std::thread::id self = std::this_thread::get_id();
    return receiveThread_.get_id() == self || probeThread_.get_id() == self;
}

void LanDiscovery::Stop() {
    if (OnOwnThread()) {
        // A thread cannot join itself, and closing the socket here could
        // pull it from under the other thread's receive.
        stop_ = true;
        if (stopEvent_.valid()) ::SetEvent(stopEvent_.get());
        return;
    }
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    StopLocked();
}

void LanDiscovery::StopLocked() {
    stop_ = true;
    if (stopEvent_.valid()) ::SetEvent(stopEvent_.get());
    if (receiveThread_.joinable()) receiveThread_.join();
    if (probeThread_.joinable()) probeThread_.join();
    {
        std::lock_guard<std::mutex> lock(socketMutex_);
        socket_.reset();
    }
    boundPort_ = 0;
    started_ = false;
}

bool LanDiscovery::WaitUnlessStopped(int32_t ms) {
    if (stop_) return false;
    ::WaitForSingleObject(stopEvent_.get(), ms < 0 ? 0 : static_cast<DWORD>(ms));
    return !stop_;
}

void LanDiscovery::ReceiveLoop() {
    SOCKET sock = socket_.get();
    HANDLE waits[2] = {readEvent_.get(), stopEvent_.get()};
    char buffer[kMaxDatagram];
    while (!stop_) {
        try {
            sockaddr_in from = {};
            int fromLen = sizeof(from);
            int n = ::recvfrom(sock, buffer, kMaxDatagram, 0, reinterpret_cast<sockaddr*>(&from),
                               &fromLen);
            if (n == SOCKET_ERROR) {
                int err = ::WSAGetLastError();
                if (err == WSAEWOULDBLOCK) {
                    DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
                    if (woke == WAIT_OBJECT_0) {
                        ::WSAResetEvent(readEvent_.get());
                        continue;
                    }
                    if (woke == WAIT_OBJECT_0 + 1 || !WaitUnlessStopped(kReceiveRetryMs)) return;
                    continue;
                }
                // Longer than the largest reply: already dropped by the
                // stack; the next datagram may be a good one, so no pause.
                if (err == WSAEMSGSIZE) continue;
                if (!WaitUnlessStopped(kReceiveRetryMs)) return;
                continue;
            }
            if (n == 0) continue;  // an empty datagram is no reply
            HandleReply(std::string(buffer, static_cast<size_t>(n)),
                        Ipv4Text(from.sin_addr.s_addr));
        } catch (...) {
            // One bad turn must not end the thread.
        }
    }
}

void LanDiscovery::ProbeLoop(int64_t firstProbe) {
    int64_t next = firstProbe;
    while (WaitUnlessStopped(options_.tick_ms)) {
        try {
            int64_t now = Now();
            if (now < next) continue;
            bool removed = false;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (auto it = table_.begin(); it != table_.end();) {
                    if (now - it->second.last_seen > kLifetimeMs) {
                        it = table_.erase(it);
                        removed = true;
                    } else {
                        ++it;
                    }
                }
            }
            if (removed) Notify(onChange_);
            SendProbe();
            next = now + kProbePeriodMs;
        } catch (...) {
            // One bad turn must not end the thread.
        }
    }
}

void LanDiscovery::ProbeNow() {
    if (!started_ || stop_) return;
    SendProbe();
}

void LanDiscovery::SendProbe() {
    uint32_t group = 0;
    if (!ParseIpv4(options_.group, &group)) return;
    std::vector<LocalAdapter> adapters =
        options_.list_adapters ? options_.list_adapters() : ListLocalAdapters();
    std::vector<ProbeTarget> targets = ProbeTargets(adapters, group);

    std::lock_guard<std::mutex> lock(socketMutex_);
    if (!socket_.valid()) return;
    SOCKET sock = socket_.get();
    bool haveInterface = false;
    uint32_t currentInterface = 0;
    for (const ProbeTarget& target : targets) {
        if (!haveInterface || target.interface_address != currentInterface) {
            if (target.interface_address != 0) {
                // Repeated joins fail harmlessly.
                ip_mreq join = {};
                join.imr_multiaddr.s_addr = group;
                join.imr_interface.s_addr = target.interface_address;
                ::setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP,
                             reinterpret_cast<const char*>(&join), sizeof(join));
            }
            // Also set for the default interface: an earlier round may have
            // pinned an adapter that has gone since.
            in_addr iface = {};
            iface.s_addr = target.interface_address;
            ::setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&iface),
                         sizeof(iface));
            currentInterface = target.interface_address;
            haveInterface = true;
        }
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = target.destination;
        to.sin_port = htons(options_.device_port);
        ::sendto(sock, kProbePayload, static_cast<int>(sizeof(kProbePayload) - 1), 0,
                 reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }
}

void LanDiscovery::HandleReply(const std::string& payload, const std::string& sender) {
    if (payload.size() > static_cast<size_t>(kMaxDatagram)) return;
    // A NUL inside would let a parser stop early and accept a prefix.
    if (payload.find('\0') != std::string::npos) return;
    const std::string text = payload.empty() ? std::string("{}") : payload;
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(
        cJSON_ParseWithLengthOpts(text.c_str(), text.size() + 1, nullptr, 1), &cJSON_Delete);
    if (!root) return;
    const std::string cmd = StringMember(root.get(), "cmd");
    const std::string sn = StringMember(root.get(), "sn");
    const std::string ip = StringMember(root.get(), "ip");
    if (cmd != "Pong" || !PlausibleSerial(sn)) return;

    uint32_t senderAddress = 0;
    if (!ParseIpv4(sender, &senderAddress)) return;
    // The reported address counts only inside the sender's /24, and only
    // when it is an address at all: it becomes a connection target.
    std::string address = Ipv4Text(senderAddress);
    uint32_t reported = 0;
    if (!ip.empty() && ParseIpv4(ip, &reported) && SameSlash24(reported, senderAddress)) {
        address = Ipv4Text(reported);
    }

    const int64_t now = Now();
    bool isNew = false;
    std::string movedFrom;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = table_.find(sn);
        if (it == table_.end()) {
            if (table_.size() >= kMaxEntries) return;
            isNew = true;
            table_.emplace(sn, DiscoveredDevice{address, now});
        } else {
            if (it->second.ip != address) movedFrom = it->second.ip;
            it->second.ip = address;
            it->second.last_seen = now;
        }
    }
    // Jobs now go to the new address; support must be able to see why a
    // device printed elsewhere (or a reply claimed it from another host).
    if (!movedFrom.empty()) {
        LogWarn("局域网设备地址变更 sn=" + sn + " 原 ip=" + movedFrom + " 新 ip=" + address);
    }
    if (isNew) {
        LogInfo("局域网发现 sn=" + sn + " ip=" + address);
        Notify(onChange_);
    }
}

bool LanDiscovery::Lookup(const std::string& sn, std::string* ip) const {
    const int64_t now = Now();
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = table_.find(sn);
    if (it == table_.end() || now - it->second.last_seen > kLifetimeMs) return false;
    if (ip != nullptr) *ip = it->second.ip;
    return true;
}

std::map<std::string, DiscoveredDevice> LanDiscovery::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return table_;
}

}  // namespace qs
