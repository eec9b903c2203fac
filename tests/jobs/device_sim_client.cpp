#include "jobs/device_sim_client.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <memory>

#include <cJSON.h>

#include "foundation/files.h"
#include "foundation/handles.h"
#include "foundation/text.h"
#include "support/temp_dir.h"

namespace qs::test {
namespace {

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

JsonPtr Parse(const std::string& text) {
    return JsonPtr(cJSON_Parse(text.c_str()), &cJSON_Delete);
}

uint16_t PortFromEnv(const char* name) {
    return static_cast<uint16_t>(std::atoi(EnvOr(name, "0").c_str()));
}

}  // namespace

DeviceSim::DeviceSim() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    udpPort_ = PortFromEnv("DEVICE_SIM_UDP_PORT");
    tcpPort_ = PortFromEnv("DEVICE_SIM_TCP_PORT");
    controlPort_ = PortFromEnv("DEVICE_SIM_CONTROL_PORT");
    jobDir_ = Utf8ToWide(EnvOr("DEVICE_SIM_JOB_DIR_WIN", ""));
    // "A1@127.0.0.2,B2@127.0.0.3"
    std::string list = EnvOr("DEVICE_SIM_DEVICES", "");
    size_t pos = 0;
    while (pos < list.size()) {
        size_t comma = list.find(',', pos);
        if (comma == std::string::npos) comma = list.size();
        std::string item = list.substr(pos, comma - pos);
        size_t at = item.find('@');
        if (at != std::string::npos) devices_.push_back({item.substr(0, at), item.substr(at + 1)});
        pos = comma + 1;
    }
}

std::string DeviceSim::AddressOf(const std::string& sn) const {
    for (const SimDevice& d : devices_) {
        if (d.sn == sn) return d.addr;
    }
    return std::string();
}

std::string DeviceSim::Request(const std::string& json) const {
    UniqueSocket sock(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!sock.valid()) return std::string();
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(controlPort_);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(sock.get(), reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
        return std::string();
    }
    std::string line = json + "\n";
    if (::send(sock.get(), line.data(), static_cast<int>(line.size()), 0) !=
        static_cast<int>(line.size())) {
        return std::string();
    }
    std::string reply;
    char buffer[4096];
    while (reply.find('\n') == std::string::npos && reply.size() < (16u << 20)) {
        int n = ::recv(sock.get(), buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        reply.append(buffer, static_cast<size_t>(n));
    }
    return reply;
}

bool DeviceSim::Reset() const {
    JsonPtr reply = Parse(Request("{\"cmd\":\"reset\"}"));
    return reply && cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(reply.get(), "ok"));
}

bool DeviceSim::Set(const std::string& sn, const std::string& key,
                    const std::string& value) const {
    JsonPtr request(cJSON_CreateObject(), &cJSON_Delete);
    cJSON_AddStringToObject(request.get(), "cmd", "set");
    cJSON_AddStringToObject(request.get(), "sn", sn.c_str());
    cJSON_AddStringToObject(request.get(), key.c_str(), value.c_str());
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_PrintUnformatted(request.get()),
                                                      &cJSON_free);
    JsonPtr reply = Parse(Request(text.get()));
    return reply && cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(reply.get(), "ok"));
}

int64_t DeviceSim::Probes(std::string* lastProbe) const {
    JsonPtr reply = Parse(Request("{\"cmd\":\"stats\"}"));
    if (!reply) return -1;
    if (lastProbe != nullptr) {
        const cJSON* hex = cJSON_GetObjectItemCaseSensitive(reply.get(), "last_probe_hex");
        lastProbe->clear();
        if (cJSON_IsString(hex)) {
            std::string h = hex->valuestring;
            for (size_t i = 0; i + 1 < h.size(); i += 2) {
                lastProbe->push_back(static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16)));
            }
        }
    }
    const cJSON* probes = cJSON_GetObjectItemCaseSensitive(reply.get(), "probes");
    return cJSON_IsNumber(probes) ? static_cast<int64_t>(probes->valuedouble) : -1;
}

int64_t DeviceSim::Replies(const std::string& sn) const { return DeviceCounter(sn, "replies"); }

int64_t DeviceSim::DeviceProbes(const std::string& sn) const {
    return DeviceCounter(sn, "probes");
}

int64_t DeviceSim::DeviceCounter(const std::string& sn, const char* name) const {
    JsonPtr reply = Parse(Request("{\"cmd\":\"stats\"}"));
    if (!reply) return -1;
    const cJSON* devices = cJSON_GetObjectItemCaseSensitive(reply.get(), "devices");
    const cJSON* device = cJSON_GetObjectItemCaseSensitive(devices, sn.c_str());
    const cJSON* value = cJSON_GetObjectItemCaseSensitive(device, name);
    return cJSON_IsNumber(value) ? static_cast<int64_t>(value->valuedouble) : -1;
}

std::vector<SimJob> DeviceSim::WaitJobs(size_t count, int32_t timeoutMs,
                                        const std::string& sn) const {
    JsonPtr request(cJSON_CreateObject(), &cJSON_Delete);
    cJSON_AddStringToObject(request.get(), "cmd", "wait_jobs");
    cJSON_AddNumberToObject(request.get(), "count", static_cast<double>(count));
    cJSON_AddNumberToObject(request.get(), "timeout_ms", timeoutMs);
    if (!sn.empty()) cJSON_AddStringToObject(request.get(), "sn", sn.c_str());
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_PrintUnformatted(request.get()),
                                                      &cJSON_free);
    std::vector<SimJob> jobs;
    JsonPtr reply = Parse(Request(text.get()));
    const cJSON* list = reply ? cJSON_GetObjectItemCaseSensitive(reply.get(), "jobs") : nullptr;
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, list) {
        SimJob job;
        const cJSON* v = cJSON_GetObjectItemCaseSensitive(item, "sn");
        if (cJSON_IsString(v)) job.sn = v->valuestring;
        v = cJSON_GetObjectItemCaseSensitive(item, "file");
        if (cJSON_IsString(v)) job.file = v->valuestring;
        v = cJSON_GetObjectItemCaseSensitive(item, "size");
        if (cJSON_IsNumber(v)) job.size = static_cast<int64_t>(v->valuedouble);
        job.complete = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(item, "complete"));
        jobs.push_back(job);
    }
    return jobs;
}

bool DeviceSim::JobBytes(const SimJob& job, std::string* bytes) const {
    if (jobDir_.empty() || job.file.empty()) return false;
    return ReadFileBytes(PathJoin(jobDir_, Utf8ToWide(job.file)), *bytes);
}

}  // namespace qs::test
