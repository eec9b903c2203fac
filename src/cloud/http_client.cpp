#include "cloud/http_client.h"

#include <windows.h>
#include <winhttp.h>

#include <mutex>
#include <vector>

#include "foundation/files.h"
#include "foundation/handles.h"
#include "foundation/ids.h"
#include "foundation/logger.h"
#include "foundation/system_info.h"
#include "foundation/text.h"

namespace qs {
namespace {

constexpr DWORD kAccessAutomatic = WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY;  // 4
constexpr DWORD kAccessDirect = WINHTTP_ACCESS_TYPE_NO_PROXY;            // 1
constexpr DWORD kTlsProtocols =
    WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
static_assert(kTlsProtocols == 0xA00, "TLS 1.1 | TLS 1.2");
constexpr DWORD kChunkBytes = 65536;
constexpr DWORD kHostChars = 256;
constexpr DWORD kPathChars = 2048;

struct InternetCloser {
    void operator()(HINTERNET h) const { ::WinHttpCloseHandle(h); }
};
using UniqueInternet = UniqueValue<HINTERNET, nullptr, InternetCloser>;

struct ParsedUrl {
    std::wstring host;
    INTERNET_PORT port = 0;
    bool https = false;
    std::wstring path;
};

bool ParseUrl(const std::string& url, ParsedUrl& out) {
    std::wstring wide = Utf8ToWide(url);
    if (wide.empty()) return false;
    std::vector<wchar_t> host(kHostChars), path(kPathChars);
    URL_COMPONENTS uc{};
    uc.dwStructSize = sizeof(uc);
    uc.lpszHostName = host.data();
    uc.dwHostNameLength = kHostChars;
    uc.lpszUrlPath = path.data();
    uc.dwUrlPathLength = kPathChars;
    if (!::WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &uc)) return false;
    out.host.assign(uc.lpszHostName, uc.dwHostNameLength);
    if (out.host.empty()) return false;
    out.port = uc.nPort;
    out.https = uc.nScheme == INTERNET_SCHEME_HTTPS;
    out.path.assign(uc.lpszUrlPath, uc.dwUrlPathLength);
    if (out.path.empty()) out.path = L"/";
    return true;
}

std::string LastErrorText(DWORD code) { return Win32ErrorText(code); }

// Windows reports an expired send or receive as ERROR_WINHTTP_TIMEOUT; Wine
// passes the socket's WSAETIMEDOUT through instead.
bool IsTimeout(DWORD code) { return code == ERROR_WINHTTP_TIMEOUT || code == WSAETIMEDOUT; }

std::string BaseName(const std::wstring& path) {
    size_t cut = path.find_last_of(L"\\/");
    return WideToUtf8(cut == std::wstring::npos ? path : path.substr(cut + 1));
}

}  // namespace

struct HttpClient::State {
    HINTERNET session = nullptr;
    DWORD accessType = kAccessAutomatic;
    std::wstring headerName;
    std::wstring headerValue;
    std::wstring userAgent = L"Quillstone/4.3.0";
    DWORD timeoutMs = 20000;
    int64_t maxResponseBytes = kDefaultMaxResponseBytes;
    SessionOpener opener;
    mutable std::mutex lock;

    ~State() { CloseSession(); }

    void CloseSession() {
        if (session) {
            ::WinHttpCloseHandle(session);
            session = nullptr;
        }
    }

    HINTERNET Open(DWORD access) {
        if (opener) return static_cast<HINTERNET>(opener(userAgent, access));
        return ::WinHttpOpen(userAgent.c_str(), access, WINHTTP_NO_PROXY_NAME,
                             WINHTTP_NO_PROXY_BYPASS, 0);
    }

    bool EnsureSession() {
        if (session) return true;
        HINTERNET h = Open(accessType);
        if (!h && accessType != kAccessDirect) {
            // Older Windows versions lack automatic proxy discovery.
            accessType = kAccessDirect;
            h = Open(accessType);
        }
        if (!h) return false;
        session = h;
        ::WinHttpSetTimeouts(session, static_cast<int>(timeoutMs), static_cast<int>(timeoutMs),
                             static_cast<int>(timeoutMs), static_cast<int>(timeoutMs));
        return true;
    }

    // Waiting for the answer's headers has a time-out of its own, which
    // WinHttpSetTimeouts does not reach on every implementation (Wine waits
    // on it alone): a silent server must fail after timeoutMs as well.
    void ApplyResponseTimeout(HINTERNET request) const {
        DWORD ms = timeoutMs;
        ::WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &ms, sizeof(ms));
    }

    std::wstring ExtraHeader() const {
        if (headerName.empty() || headerValue.empty()) return L"";
        return headerName + L": " + headerValue + L"\r\n";
    }

    // Status code and body of an answered request. A cut-off body keeps what
    // arrived; a body over the cap is refused as a whole.
    void ReadAnswer(HINTERNET request, HttpResponse& r) {
        DWORD status = 0;
        DWORD size = sizeof(status);
        if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                   WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                                   WINHTTP_NO_HEADER_INDEX)) {
            r.error = "未取得 HTTP 状态 " + LastErrorText(::GetLastError());
            return;
        }
        r.status = static_cast<int32_t>(status);
        std::vector<char> buffer;
        for (;;) {
            DWORD available = 0;
            if (!::WinHttpQueryDataAvailable(request, &available) || available == 0) break;
            DWORD want = available < kChunkBytes ? available : kChunkBytes;
            if (static_cast<int64_t>(r.body.size()) + want > maxResponseBytes) {
                r.status = 0;
                r.body.clear();
                r.error = Format("响应过大（超过 %lld 字节）", static_cast<long long>(maxResponseBytes));
                return;
            }
            buffer.resize(want);
            DWORD got = 0;
            if (!::WinHttpReadData(request, buffer.data(), want, &got) || got == 0) break;
            r.body.append(buffer.data(), got);
        }
    }

    HttpResponse Send(const std::string& url, const std::string& body,
                      const std::string& contentType, bool isGet) {
        HttpResponse r;
        std::lock_guard<std::mutex> hold(lock);
        if (!EnsureSession()) {
            r.error = "WinHttpOpen 失败";
            return r;
        }
        ParsedUrl u;
        if (!ParseUrl(url, u)) {
            r.error = "URL 解析失败: " + url;
            return r;
        }
        UniqueInternet connect(::WinHttpConnect(session, u.host.c_str(), u.port, 0));
        if (!connect) {
            r.error = "WinHttpConnect 失败";
            return r;
        }
        UniqueInternet request(::WinHttpOpenRequest(
            connect.get(), isGet ? L"GET" : L"POST", u.path.c_str(), nullptr,
            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, u.https ? WINHTTP_FLAG_SECURE : 0));
        if (!request) {
            r.error = "WinHttpOpenRequest 失败";
            return r;
        }
        ApplyResponseTimeout(request.get());
        if (u.https) {
            DWORD protocols = kTlsProtocols;
            if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                                    sizeof(protocols))) {
                LogWarn("未能强制 TLS1.2（Win7 需 KB3140245）：" + LastErrorText(::GetLastError()));
            }
        }
        std::wstring headers = ExtraHeader();
        if (!isGet && !contentType.empty()) headers += L"Content-Type: " + Utf8ToWide(contentType) + L"\r\n";
        const std::string& payload = isGet ? std::string() : body;
        DWORD length = static_cast<DWORD>(payload.size());
        BOOL sent = ::WinHttpSendRequest(
            request.get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
            static_cast<DWORD>(headers.size()),
            length ? const_cast<char*>(payload.data()) : WINHTTP_NO_REQUEST_DATA, length, length, 0);
        if (!sent || !::WinHttpReceiveResponse(request.get(), nullptr)) {
            DWORD err = ::GetLastError();
            r.error = "请求失败 " + LastErrorText(err);
            r.timedOut = IsTimeout(err);
            return r;
        }
        ReadAnswer(request.get(), r);
        return r;
    }

    HttpResponse Upload(const std::string& url, const std::wstring& filePath,
                        const std::string& fieldName, const std::string& contentType,
                        const std::string& givenName) {
        HttpResponse r;
        std::lock_guard<std::mutex> hold(lock);
        if (!EnsureSession()) {
            r.error = "WinHttpOpen 失败";
            return r;
        }
        ParsedUrl u;
        if (!ParseUrl(url, u)) {
            r.error = "URL 解析失败";
            return r;
        }
        int64_t fileSize = FileSize(filePath);
        if (fileSize < 0) {
            r.error = "文件不存在或无法读取";
            return r;
        }
        std::string fileName = givenName.empty() ? BaseName(filePath) : givenName;
        std::string boundary = "----QuillstoneBoundary" + RandomHex(8);
        std::string head = "--" + boundary + "\r\n" +
                           "Content-Disposition: form-data; name=\"" + fieldName +
                           "\"; filename=\"" + fileName + "\"\r\n" +
                           "Content-Type: " + contentType + "\r\n\r\n";
        std::string tail = "\r\n--" + boundary + "--\r\n";
        int64_t total = static_cast<int64_t>(head.size()) + fileSize + static_cast<int64_t>(tail.size());
        // The announced length is a DWORD: a larger file would go out with a
        // wrapped Content-Length and a corrupt body.
        if (total > static_cast<int64_t>(MAXDWORD)) {
            r.error = "上传发起失败 " + LastErrorText(ERROR_FILE_TOO_LARGE);
            return r;
        }

        UniqueInternet connect(::WinHttpConnect(session, u.host.c_str(), u.port, 0));
        if (!connect) {
            r.error = "WinHttpConnect 失败";
            return r;
        }
        UniqueInternet request(::WinHttpOpenRequest(connect.get(), L"POST", u.path.c_str(), nullptr,
                                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                    u.https ? WINHTTP_FLAG_SECURE : 0));
        if (!request) {
            r.error = "WinHttpOpenRequest 失败";
            return r;
        }
        ApplyResponseTimeout(request.get());
        if (u.https) {
            DWORD protocols = kTlsProtocols;
            ::WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                               sizeof(protocols));
        }
        std::wstring headers = L"Content-Type: multipart/form-data; boundary=" +
                               Utf8ToWide(boundary) + L"\r\n" + ExtraHeader();
        if (!::WinHttpSendRequest(request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                                  WINHTTP_NO_REQUEST_DATA, 0, static_cast<DWORD>(total), 0)) {
            r.error = "上传发起失败 " + LastErrorText(::GetLastError());
            return r;
        }
        DWORD err = StreamBody(request.get(), head, filePath, fileSize, tail);
        if (err == ERROR_SUCCESS && !::WinHttpReceiveResponse(request.get(), nullptr)) {
            err = ::GetLastError();
        }
        if (err != ERROR_SUCCESS) {
            r.error = "上传失败 " + LastErrorText(err);
            r.timedOut = IsTimeout(err);
            return r;
        }
        ReadAnswer(request.get(), r);
        return r;
    }

    static DWORD Write(HINTERNET request, const char* data, DWORD size) {
        DWORD done = 0;
        if (!::WinHttpWriteData(request, data, size, &done)) return ::GetLastError();
        return done == size ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
    }

    // Head, exactly fileSize bytes of the file, tail. A file that shrank
    // since it was measured would leave the server waiting for bytes that
    // never come; one that grew would overrun the announced length.
    static DWORD StreamBody(HINTERNET request, const std::string& head, const std::wstring& path,
                            int64_t fileSize, const std::string& tail) {
        DWORD err = Write(request, head.data(), static_cast<DWORD>(head.size()));
        if (err != ERROR_SUCCESS) return err;
        {
            UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
            if (!file) return ::GetLastError();
            std::vector<char> chunk(kChunkBytes);
            int64_t left = fileSize;
            while (left > 0) {
                DWORD want = left < kChunkBytes ? static_cast<DWORD>(left) : kChunkBytes;
                DWORD got = 0;
                if (!::ReadFile(file.get(), chunk.data(), want, &got, nullptr)) return ::GetLastError();
                if (got == 0) return ERROR_HANDLE_EOF;
                err = Write(request, chunk.data(), got);
                if (err != ERROR_SUCCESS) return err;
                left -= got;
            }
        }
        return Write(request, tail.data(), static_cast<DWORD>(tail.size()));
    }
};

HttpClient::HttpClient() : state_(std::make_unique<State>()) {}

HttpClient::~HttpClient() = default;

void HttpClient::SetTimeout(int32_t ms) {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->timeoutMs = static_cast<DWORD>(ms);
    if (state_->session) {
        ::WinHttpSetTimeouts(state_->session, ms, ms, ms, ms);
    }
}

void HttpClient::SetUserAgent(const std::string& userAgent) {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->userAgent = Utf8ToWide(userAgent);
}

void HttpClient::SetHeader(const std::string& name, const std::string& value) {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->headerName = Utf8ToWide(name);
    state_->headerValue = Utf8ToWide(value);
}

void HttpClient::SetMaxResponseBytes(int64_t maxBytes) {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->maxResponseBytes = maxBytes;
}

void HttpClient::SetSessionOpener(SessionOpener opener) {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->opener = std::move(opener);
}

void HttpClient::ResetToDirect() {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->CloseSession();
    state_->accessType = kAccessDirect;
}

uint32_t HttpClient::AccessType() const {
    std::lock_guard<std::mutex> hold(state_->lock);
    return state_->accessType;
}

HttpResponse HttpClient::Get(const std::string& url) {
    return state_->Send(url, std::string(), std::string(), true);
}

HttpResponse HttpClient::PostJson(const std::string& url, const std::string& body) {
    return state_->Send(url, body.empty() ? std::string("{}") : body, "application/json", false);
}

HttpResponse HttpClient::UploadFile(const std::string& url, const std::wstring& filePath,
                                    const std::string& fieldName, const std::string& contentType,
                                    const std::string& fileName) {
    return state_->Upload(url, filePath, fieldName, contentType, fileName);
}

}  // namespace qs
