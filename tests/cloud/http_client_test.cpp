// HttpClient against the local fake cloud: what goes on the wire, what comes
// back for every answer and failure, and byte-exact streamed uploads.
#include "cloud/http_client.h"

#include <windows.h>
#include <winhttp.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <vector>

#include "cloud/fake_cloud_peer.h"
#include "foundation/files.h"
#include "foundation/text.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using test::FakeCloudPeer;
using test::RecordedRequest;

class HttpClientTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fake.Available()) << "QS_CLOUD_PORT not set: run under tools/peer_run.py";
        fake.Reset();
    }
    std::string Url(const std::string& path) const { return fake.BaseUrl() + path; }

    FakeCloudPeer fake;
};

std::string Pattern(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x & 0xFF);
    }
    return out;
}

TEST_F(HttpClientTest, GetSendsNoBodyNoContentTypeAndTheDefaultAgent) {
    HttpClient client;
    HttpResponse r = client.Get(Url("/probe/path?x=1&y=%20"));
    EXPECT_EQ(r.status, 404);
    EXPECT_NE(r.body.find("no such path"), std::string::npos);
    EXPECT_EQ(r.error, "");
    EXPECT_FALSE(r.timedOut);

    auto requests = fake.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const RecordedRequest& q = requests[0];
    EXPECT_EQ(q.method, "GET");
    EXPECT_EQ(q.path, "/probe/path");
    EXPECT_EQ(q.query, "x=1&y=%20");
    EXPECT_EQ(q.Header("User-Agent"), "Quillstone/4.3.0");
    EXPECT_FALSE(q.HasHeader("Content-Type"));
    EXPECT_FALSE(q.HasHeader("Authorization"));
    EXPECT_EQ(q.bodyLen, 0);
}

TEST_F(HttpClientTest, PostJsonSendsBodyBytesUnchangedAndBracesForEmpty) {
    HttpClient client;
    const std::string utf8 = "{\"name\":\"\xe6\x89\x93\xe5\x8d\xb0\",\"n\":1}";
    EXPECT_EQ(client.PostJson(Url("/a"), utf8).status, 404);
    EXPECT_EQ(client.PostJson(Url("/b"), "").status, 404);

    auto requests = fake.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].body, utf8);
    EXPECT_EQ(requests[0].contentLength, std::to_string(utf8.size()));
    EXPECT_EQ(requests[0].Header("Content-Type"), "application/json");
    EXPECT_EQ(requests[1].body, "{}");
    EXPECT_EQ(requests[1].contentLength, "2");
    EXPECT_EQ(requests[1].Header("Content-Type"), "application/json");
}

TEST_F(HttpClientTest, ExtraHeaderIsSentOnlyWhileNameAndValueAreSet) {
    HttpClient client;
    client.SetHeader("Authorization", "Bearer abc");
    client.Get(Url("/1"));
    client.PostJson(Url("/2"), "{}");
    client.SetHeader("Authorization", "");
    client.Get(Url("/3"));
    client.SetHeader("", "orphan value");
    client.Get(Url("/4"));

    auto requests = fake.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].Header("Authorization"), "Bearer abc");
    EXPECT_EQ(requests[1].Header("Authorization"), "Bearer abc");
    EXPECT_EQ(requests[1].Header("Content-Type"), "application/json");
    EXPECT_FALSE(requests[2].HasHeader("Authorization"));
    EXPECT_FALSE(requests[3].HasHeader("Authorization"));
    EXPECT_EQ(requests[3].headers.size(), requests[2].headers.size());
}

TEST_F(HttpClientTest, UserAgentChangesWithTheNextSession) {
    HttpClient client;
    client.SetUserAgent("Other/1");
    client.Get(Url("/1"));
    client.SetUserAgent("Third/3");
    client.Get(Url("/2"));   // the open session keeps its agent
    client.ResetToDirect();
    client.Get(Url("/3"));

    auto requests = fake.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].Header("User-Agent"), "Other/1");
    EXPECT_EQ(requests[1].Header("User-Agent"), "Other/1");
    EXPECT_EQ(requests[2].Header("User-Agent"), "Third/3");
}

TEST_F(HttpClientTest, ErrorStatusesComeBackWithTheirBodies) {
    struct Case { int status; std::string raw; } cases[] = {
        {404, "missing thing"},
        {500, "{error:1}"},
        {503, ""},
        {201, "created"},
        {204, ""},
        {401, "\xe6\x9c\xaa\xe6\x8e\x88\xe6\x9d\x83"},
    };
    HttpClient client;
    for (const auto& c : cases) {
        fake.Rules("[{\"path\":\"/status\",\"status\":" + std::to_string(c.status) +
                   ",\"raw\":\"" + c.raw + "\"}]");
        HttpResponse r = client.Get(Url("/status"));
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.body, c.raw) << c.status;
        EXPECT_EQ(r.error, "") << c.status;
        EXPECT_FALSE(r.timedOut);
    }
}

TEST_F(HttpClientTest, FailuresGiveStatusZeroAndTheirText) {
    const std::string unreachable =
        "http://127.0.0.1:" + std::to_string(test::UnusedLoopbackPort()) + "/x";
    const std::string longHost = "http://" + std::string(300, 'h') + ".test/x";
    const std::string longPath = fake.BaseUrl() + "/" + std::string(2100, 'p');
    struct Case {
        const char* what;
        std::string rules;
        std::string url;
        std::string errorPrefix;
        bool exact;
        bool timedOut;
    } cases[] = {
        {"refused", "", unreachable, "请求失败 ", false, false},
        {"slow", R"([{"path":"/slow","delay_ms":1500,"raw":"late"}])", Url("/slow"), "请求失败 ", false, true},
        {"dropped", R"([{"path":"/drop","action":"drop"}])", Url("/drop"), "请求失败 ", false, false},
        {"not a URL", "", "not a url", "URL 解析失败: not a url", true, false},
        {"host too long", "", longHost, "URL 解析失败: " + longHost, true, false},
        {"path too long", "", longPath, "URL 解析失败: " + longPath, true, false},
    };
    for (const auto& c : cases) {
        if (!c.rules.empty()) fake.Rules(c.rules);
        HttpClient client;
        client.SetTimeout(400);
        for (bool post : {false, true}) {
            HttpResponse r = post ? client.PostJson(c.url, "{}") : client.Get(c.url);
            EXPECT_EQ(r.status, 0) << c.what;
            EXPECT_EQ(r.body, "") << c.what;
            if (c.exact) {
                EXPECT_EQ(r.error, c.errorPrefix) << c.what;
            } else {
                EXPECT_EQ(r.error.rfind(c.errorPrefix, 0), 0u) << c.what << ": " << r.error;
                EXPECT_GT(r.error.size(), c.errorPrefix.size()) << c.what;
            }
            EXPECT_EQ(r.timedOut, c.timedOut) << c.what << (post ? " POST: " : " GET: ") << r.error;
            if (!c.rules.empty()) fake.Rules(c.rules);
        }
    }
}

TEST_F(HttpClientTest, BodyCutOffMidAnswerKeepsStatusAndWhatArrived) {
    fake.Rules(R"([{"path":"/cut","status":200,"raw":"0123456789abcdefghij","action":"cut_body"}])");
    HttpClient client;
    HttpResponse r = client.Get(Url("/cut"));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "0123456789");
    EXPECT_EQ(r.error, "");
}

TEST_F(HttpClientTest, SetTimeoutAppliesToAnOpenSessionAtOnce) {
    HttpClient client;
    client.SetTimeout(5000);
    ASSERT_EQ(client.Get(Url("/warm")).status, 404);   // session now open
    client.SetTimeout(300);
    fake.Rules(R"([{"path":"/slow","delay_ms":2500,"raw":"late"}])");
    auto start = std::chrono::steady_clock::now();
    HttpResponse r = client.Get(Url("/slow"));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.status, 0);
    EXPECT_LT(took, std::chrono::milliseconds(2000));
}

TEST_F(HttpClientTest, ResponsesOverTheCapAreRefusedWhole) {
    HttpClient client;
    client.SetMaxResponseBytes(1000);
    std::string big(1001, 'b'), fits(1000, 'f');
    fake.Rules("[{\"path\":\"/big\",\"raw\":\"" + big + "\"},{\"path\":\"/fits\",\"raw\":\"" + fits + "\"}]");
    HttpResponse over = client.Get(Url("/big"));
    EXPECT_EQ(over.status, 0);
    EXPECT_EQ(over.body, "");
    EXPECT_EQ(over.error.rfind("响应过大", 0), 0u) << over.error;
    HttpResponse ok = client.Get(Url("/fits"));
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(ok.body, fits);
}

TEST_F(HttpClientTest, AutomaticProxyFailureFallsBackToDirectForGood) {
    std::vector<uint32_t> calls;
    HttpClient client;
    EXPECT_EQ(client.AccessType(), 4u);
    client.SetSessionOpener([&](const std::wstring& agent, uint32_t access) -> void* {
        calls.push_back(access);
        if (access == WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        return WinHttpOpen(agent.c_str(), access, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    });
    EXPECT_EQ(client.Get(Url("/1")).status, 404);
    EXPECT_EQ(calls, (std::vector<uint32_t>{4, 1}));
    EXPECT_EQ(client.AccessType(), 1u);
    client.ResetToDirect();
    EXPECT_EQ(client.Get(Url("/2")).status, 404);
    EXPECT_EQ(calls, (std::vector<uint32_t>{4, 1, 1}));
}

TEST_F(HttpClientTest, SessionThatCannotOpenReportsWinHttpOpen) {
    int calls = 0;
    HttpClient client;
    client.SetSessionOpener([&](const std::wstring&, uint32_t) -> void* {
        ++calls;
        SetLastError(ERROR_OUTOFMEMORY);
        return nullptr;
    });
    test::TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / L"f.bin", "x"));
    HttpResponse results[] = {client.Get(Url("/1")), client.PostJson(Url("/2"), ""),
                              client.UploadFile(Url("/3"), dir / L"f.bin", "file", "a/b", "")};
    for (const auto& r : results) {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.error, "WinHttpOpen 失败");
        EXPECT_FALSE(r.timedOut);
    }
    EXPECT_EQ(calls, 4);   // automatic, then direct, then direct twice more
    EXPECT_TRUE(fake.Requests().empty());
}

TEST_F(HttpClientTest, UploadIsByteExactAcrossChunkBoundaries) {
    test::TempDir dir;
    HttpClient client;
    client.SetHeader("Authorization", "Bearer up");
    std::string lastBoundary;
    const std::regex boundaryForm("----QuillstoneBoundary[0-9a-f]{16}");
    for (size_t size : {size_t(0), size_t(1), size_t(65535), size_t(65536), size_t(65537),
                        size_t(3 * 65536 + 17)}) {
        fake.Reset();
        fake.Config(R"({"require_auth":false})");
        std::string bytes = Pattern(size, static_cast<uint32_t>(size));
        std::wstring path = dir / (L"spool_" + std::to_wstring(size) + L".dat");
        ASSERT_TRUE(WriteFileBytes(path, bytes));
        HttpResponse r = client.UploadFile(Url("/v1/files"), path, "file",
                                           "application/octet-stream", "qn-7.bin");
        ASSERT_EQ(r.status, 200) << size << " " << r.error;
        EXPECT_NE(r.body.find("file_id"), std::string::npos);

        auto requests = fake.Requests();
        ASSERT_EQ(requests.size(), 1u);
        const RecordedRequest& q = requests[0];
        std::string contentType = q.Header("Content-Type");
        const std::string prefix = "multipart/form-data; boundary=";
        ASSERT_EQ(contentType.rfind(prefix, 0), 0u) << contentType;
        std::string boundary = contentType.substr(prefix.size());
        EXPECT_TRUE(std::regex_match(boundary, boundaryForm)) << boundary;
        EXPECT_NE(boundary, lastBoundary);
        lastBoundary = boundary;
        EXPECT_EQ(q.Header("Authorization"), "Bearer up");

        std::string head = "--" + boundary + "\r\n" +
                           "Content-Disposition: form-data; name=\"file\"; filename=\"qn-7.bin\"\r\n" +
                           "Content-Type: application/octet-stream\r\n\r\n";
        std::string tail = "\r\n--" + boundary + "--\r\n";
        EXPECT_EQ(q.contentLength, std::to_string(head.size() + size + tail.size()));
        EXPECT_EQ(q.bodyLen, static_cast<int64_t>(head.size() + size + tail.size()));
        std::string received = fake.Body(q.index);
        EXPECT_TRUE(received == head + bytes + tail) << "size " << size << ": body differs";
        ASSERT_TRUE(q.hasPart);
        EXPECT_TRUE(q.part.wellFormed);
        EXPECT_EQ(q.part.md5, Md5Hex(bytes));
    }
}

TEST_F(HttpClientTest, UploadWithoutFileNameUsesTheBaseName) {
    test::TempDir dir;
    std::wstring path = dir / L"\x4f5c\x4e1a-base.dat";
    ASSERT_TRUE(WriteFileBytes(path, "abc"));
    HttpClient client;
    HttpResponse r = client.UploadFile(Url("/v1/files"), path, "upload", "text/plain", "");
    ASSERT_EQ(r.status, 401);   // no token: the fake refuses, but it parsed the part
    auto requests = fake.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].part.filename, "\xe4\xbd\x9c\xe4\xb8\x9a-base.dat");
    EXPECT_EQ(requests[0].part.name, "upload");
    EXPECT_EQ(requests[0].part.contentType, "text/plain");
    EXPECT_EQ(requests[0].part.size, 3);
    EXPECT_FALSE(requests[0].HasHeader("Authorization"));
}

TEST_F(HttpClientTest, UploadFailures) {
    test::TempDir dir;
    std::wstring file = dir / L"f.dat";
    ASSERT_TRUE(WriteFileBytes(file, std::string(200000, 'z')));
    const std::string unreachable =
        "http://127.0.0.1:" + std::to_string(test::UnusedLoopbackPort()) + "/v1/files";
    struct Case {
        const char* what;
        std::string rules;
        std::string url;
        std::wstring path;
        std::string errorPrefix;
        bool exact;
        bool timedOut;
        size_t requestsSeen;
    } cases[] = {
        {"missing file", "", Url("/v1/files"), dir / L"missing.dat", "文件不存在或无法读取", true, false, 0},
        {"bad URL", "", "::::", file, "URL 解析失败", true, false, 0},
        {"refused", "", unreachable, file, "上传发起失败 ", false, false, 0},
        {"slow", R"([{"path":"/v1/files","delay_ms":1500}])", Url("/v1/files"), file, "上传失败 ", false, true, 1},
        {"dropped", R"([{"path":"/v1/files","action":"drop"}])", Url("/v1/files"), file, "上传失败 ", false, false, 1},
    };
    for (const auto& c : cases) {
        fake.Reset();
        if (!c.rules.empty()) fake.Rules(c.rules);
        HttpClient client;
        client.SetTimeout(400);
        HttpResponse r = client.UploadFile(c.url, c.path, "file", "application/octet-stream", "");
        EXPECT_EQ(r.status, 0) << c.what;
        if (c.exact) {
            EXPECT_EQ(r.error, c.errorPrefix) << c.what;
        } else {
            EXPECT_EQ(r.error.rfind(c.errorPrefix, 0), 0u) << c.what << ": " << r.error;
        }
        EXPECT_EQ(r.timedOut, c.timedOut) << c.what;
        EXPECT_EQ(fake.Requests().size(), c.requestsSeen) << c.what;
    }
}

}  // namespace
}  // namespace qs

namespace qs {
namespace {

// Trusts a PEM certificate in the machine's root store (the one chain
// engines consult) for the life of the object. The store is closed after
// each change: a registry-backed store writes its changes out on close.
class TrustedRoot {
public:
    explicit TrustedRoot(const std::wstring& pemPath) {
        std::string pem;
        if (!ReadFileBytes(pemPath, pem)) return;
        DWORD size = 0;
        if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                  nullptr, &size, nullptr, nullptr)) {
            return;
        }
        der_.resize(size);
        if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                  der_.data(), &size, nullptr, nullptr)) {
            return;
        }
        HCERTSTORE store = Open();
        if (!store) return;
        ok_ = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der_.data(), size,
                                               CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
        CertCloseStore(store, 0);
    }
    ~TrustedRoot() {
        if (!ok_) return;
        HCERTSTORE store = Open();
        if (!store) return;
        PCCERT_CONTEXT mine = CertCreateCertificateContext(X509_ASN_ENCODING, der_.data(),
                                                           static_cast<DWORD>(der_.size()));
        if (mine) {
            PCCERT_CONTEXT found =
                CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, mine, nullptr);
            if (found) CertDeleteCertificateFromStore(found);   // frees found
            CertFreeCertificateContext(mine);
        }
        CertCloseStore(store, 0);
    }
    bool ok() const { return ok_; }

private:
    static HCERTSTORE Open() {
        return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    }
    std::vector<BYTE> der_;
    bool ok_ = false;
};

// Z:\ is Wine's view of the Unix root, where the peer wrote its certificate.
std::wstring UnixToWine(const std::string& path) {
    std::wstring out = L"Z:" + Utf8ToWide(path);
    for (auto& c : out) {
        if (c == L'/') c = L'\\';
    }
    return out;
}

TEST_F(HttpClientTest, HttpsRequestsRunOverTlsWithATrustedCertificate) {
    const std::string tlsUrl = test::EnvOr("QS_CLOUD_TLS_URL", "");
    const std::string cert = test::EnvOr("QS_CLOUD_TLS_CERT", "");
    if (tlsUrl.empty() || cert.empty()) GTEST_SKIP() << "the peer made no TLS certificate";
    std::string origin = tlsUrl.substr(0, tlsUrl.size() - 1);

    // Trust comes first: the process's chain engine reads the root store
    // once, at its first TLS handshake.
    TrustedRoot root(UnixToWine(cert));
    ASSERT_TRUE(root.ok()) << "cannot add the test certificate to the root store";
    HttpClient client;
    HttpResponse get = client.Get(origin + "/over-tls?q=1");
    EXPECT_EQ(get.status, 404) << get.error;
    EXPECT_NE(get.body.find("no such path"), std::string::npos);
    HttpResponse post = client.PostJson(origin + "/post-tls", "");
    EXPECT_EQ(post.status, 404) << post.error;

    test::TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / L"tls.dat", std::string(70000, 't')));
    fake.Config(R"({"require_auth":false})");
    HttpResponse up = client.UploadFile(origin + "/v1/files", dir / L"tls.dat", "file",
                                        "application/octet-stream", "tls.bin");
    EXPECT_EQ(up.status, 200) << up.error;

    auto requests = fake.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].path, "/over-tls");
    EXPECT_EQ(requests[0].query, "q=1");
    EXPECT_EQ(requests[1].body, "{}");
    EXPECT_TRUE(requests[2].part.wellFormed);
    EXPECT_EQ(requests[2].part.size, 70000);
}

}  // namespace
}  // namespace qs
