#include "cloud/fake_cloud_peer.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cJSON.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "support/temp_dir.h"

namespace qs::test {
namespace {

struct WinsockInit {
    WinsockInit() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};

void EnsureWinsock() { static WinsockInit init; }

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Str(const cJSON* o, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(o, name);
    return cJSON_IsString(item) ? item->valuestring : "";
}

int64_t Num(const cJSON* o, const char* name, int64_t fallback) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(o, name);
    return cJSON_IsNumber(item) ? static_cast<int64_t>(item->valuedouble) : fallback;
}

SOCKET ConnectLoopback(uint16_t port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return s;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

}  // namespace

bool RecordedRequest::HasHeader(const std::string& name) const {
    for (const auto& h : headers) {
        if (Lower(h.first) == Lower(name)) return true;
    }
    return false;
}

std::string RecordedRequest::Header(const std::string& name) const {
    for (const auto& h : headers) {
        if (Lower(h.first) == Lower(name)) return h.second;
    }
    return "";
}

FakeCloudPeer::FakeCloudPeer() {
    EnsureWinsock();
    port_ = static_cast<uint16_t>(std::atoi(EnvOr("QS_CLOUD_PORT", "0").c_str()));
}

std::string FakeCloudPeer::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

int FakeCloudPeer::Exchange(const std::string& method, const std::string& target,
                            const std::string& body, std::string& responseBody) {
    responseBody.clear();
    SOCKET s = ConnectLoopback(port_);
    if (s == INVALID_SOCKET) return 0;
    std::string request = method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" +
                          "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    size_t sent = 0;
    while (sent < request.size()) {
        int n = send(s, request.data() + sent, static_cast<int>(request.size() - sent), 0);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    std::string reply;
    char buf[65536];
    for (;;) {
        int n = recv(s, buf, sizeof(buf), 0);
        if (n <= 0) break;
        reply.append(buf, static_cast<size_t>(n));
    }
    closesocket(s);
    size_t split = reply.find("\r\n\r\n");
    if (split == std::string::npos || reply.compare(0, 5, "HTTP/") != 0) return 0;
    responseBody = reply.substr(split + 4);
    size_t sp = reply.find(' ');
    return std::atoi(reply.c_str() + sp + 1);
}

void FakeCloudPeer::Control(const std::string& target, const std::string& body) {
    std::string reply;
    int status = Exchange("POST", target, body, reply);
    ASSERT_EQ(status, 200) << target << " " << reply;
}

void FakeCloudPeer::Reset() { Control("/_control/reset", "{}"); }

void FakeCloudPeer::Rules(const std::string& rulesArrayJson) {
    Control("/_control/rules", "{\"rules\":" + rulesArrayJson + "}");
}

void FakeCloudPeer::Config(const std::string& objectJson) { Control("/_control/config", objectJson); }

void FakeCloudPeer::Revoke() { Control("/_control/revoke", "{}"); }

std::vector<RecordedRequest> FakeCloudPeer::Requests() {
    std::vector<RecordedRequest> out;
    std::string reply;
    int status = Exchange("GET", "/_control/requests", "", reply);
    EXPECT_EQ(status, 200);
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(cJSON_Parse(reply.c_str()), cJSON_Delete);
    const cJSON* list = cJSON_GetObjectItemCaseSensitive(root.get(), "requests");
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, list) {
        RecordedRequest r;
        r.index = static_cast<int>(Num(item, "index", -1));
        r.method = Str(item, "method");
        r.path = Str(item, "path");
        r.query = Str(item, "query");
        r.body = Str(item, "body");
        r.contentLength = Str(item, "content_length");
        r.bodyLen = Num(item, "body_len", -1);
        const cJSON* answer = cJSON_GetObjectItemCaseSensitive(item, "answer");
        if (cJSON_IsNumber(answer)) r.answer = std::to_string(answer->valueint);
        else if (cJSON_IsString(answer)) r.answer = answer->valuestring;
        r.byRule = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(item, "by_rule"));
        const cJSON* header = nullptr;
        cJSON_ArrayForEach(header, cJSON_GetObjectItemCaseSensitive(item, "headers")) {
            const cJSON* k = cJSON_GetArrayItem(header, 0);
            const cJSON* v = cJSON_GetArrayItem(header, 1);
            if (cJSON_IsString(k) && cJSON_IsString(v)) r.headers.emplace_back(k->valuestring, v->valuestring);
        }
        const cJSON* part = cJSON_GetObjectItemCaseSensitive(item, "multipart");
        if (cJSON_IsObject(part)) {
            r.hasPart = true;
            r.part.wellFormed = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(part, "well_formed"));
            r.part.boundary = Str(part, "boundary");
            r.part.name = Str(part, "name");
            r.part.filename = Str(part, "filename");
            r.part.contentType = Str(part, "content_type");
            r.part.md5 = Str(part, "md5");
            r.part.head = Str(part, "head");
            r.part.tail = Str(part, "tail");
            r.part.size = Num(part, "size", -1);
        }
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<RecordedRequest> FakeCloudPeer::RequestsTo(const std::string& path) {
    std::vector<RecordedRequest> out;
    for (auto& r : Requests()) {
        if (r.path == path) out.push_back(std::move(r));
    }
    return out;
}

std::string FakeCloudPeer::Body(int index) {
    std::string reply;
    int status = Exchange("GET", "/_control/body?i=" + std::to_string(index), "", reply);
    EXPECT_EQ(status, 200);
    return reply;
}

uint16_t UnusedLoopbackPort() {
    EnsureWinsock();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    int len = sizeof(addr);
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    closesocket(s);
    return ntohs(addr.sin_port);
}

}  // namespace qs::test
