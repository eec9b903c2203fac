// Test-side handle on tools/fake_cloud.py: scripts its behaviour and reads
// back what it received, over a plain socket so the client under test is
// not used to check itself.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qs::test {

struct RecordedPart {
    bool wellFormed = false;
    std::string boundary, name, filename, contentType, md5, head, tail;
    int64_t size = -1;
};

struct RecordedRequest {
    int index = -1;
    std::string method, path, query, body, contentLength;
    int64_t bodyLen = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    bool hasPart = false;
    RecordedPart part;
    // What the fake answered: the status ("200"), "drop", "cut_body", or ""
    // while it has not answered yet.
    std::string answer;
    bool byRule = false;  // a scripted rule answered instead of the default

    bool HasHeader(const std::string& name) const;
    // Value of the header (case-insensitive name), "" when absent.
    std::string Header(const std::string& name) const;
};

class FakeCloudPeer {
public:
    FakeCloudPeer();   // aimed at QS_CLOUD_PORT from the environment
    bool Available() const { return port_ != 0; }
    uint16_t Port() const { return port_; }
    std::string BaseUrl() const;   // http://127.0.0.1:<port>, no trailing slash

    void Reset();
    void Rules(const std::string& rulesArrayJson);   // '[{...},{...}]'
    void Config(const std::string& objectJson);
    void Revoke();
    std::vector<RecordedRequest> Requests();
    std::vector<RecordedRequest> RequestsTo(const std::string& path);
    std::string Body(int index);

    // A raw HTTP/1.0 exchange; returns the status (0 on failure) and body.
    int Exchange(const std::string& method, const std::string& target,
                 const std::string& body, std::string& responseBody);

private:
    void Control(const std::string& target, const std::string& body);
    uint16_t port_ = 0;
};

// A loopback port with nothing listening on it.
uint16_t UnusedLoopbackPort();

}  // namespace qs::test
