// qsctl: sends one request to the core over its pipe and prints the reply.
//
//   qsctl [--pipe NAME] [--timeout MS] [REQUEST]
//
// REQUEST is a JSON object, or a bare command name such as ping, which is
// sent as {"cmd":"ping"}. Without REQUEST the request is read from standard
// input. Exit status 0 when the reply's "ok" is true, 1 otherwise.
#include <windows.h>

#include <cJSON.h>

#include <cstdio>
#include <cwctype>
#include <string>

#include "foundation/text.h"
#include "ipc/ipc_client.h"

namespace {

constexpr uint32_t kDefaultTimeoutMs = 3000;

void WriteOut(HANDLE out, const std::string& utf8) {
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
        // A console shows UTF-16 correctly whatever its code page.
        std::wstring wide = qs::Utf8ToWide(utf8);
        DWORD written = 0;
        WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    size_t done = 0;
    while (done < utf8.size()) {
        DWORD written = 0;
        if (!WriteFile(out, utf8.data() + done, static_cast<DWORD>(utf8.size() - done),
                       &written, nullptr) || written == 0) {
            return;
        }
        done += written;
    }
}

void Fail(const std::string& message) {
    WriteOut(GetStdHandle(STD_ERROR_HANDLE), "qsctl: " + message + "\n");
}

bool IsBareWord(const std::wstring& arg) {
    if (arg.empty()) return false;
    for (wchar_t c : arg) {
        if (!std::iswalnum(c) && c != L'_') return false;
    }
    return true;
}

// Standard input up to one byte past the request cap (enough to refuse it).
bool ReadStdin(std::string* out) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in, buffer, sizeof(buffer), &got, nullptr) || got == 0) break;
        out->append(buffer, got);
        if (out->size() > qs::kIpcMaxRequestBytes) return false;
    }
    while (!out->empty() && (out->back() == '\n' || out->back() == '\r')) out->pop_back();
    return true;
}

bool ReplyIsOk(const std::string& reply) {
    cJSON* root = cJSON_ParseWithLength(reply.data(), reply.size());
    bool ok = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(root, "ok"));
    cJSON_Delete(root);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring pipeName = qs::kIpcPipeName;
    uint32_t timeoutMs = kDefaultTimeoutMs;
    std::wstring requestArg;
    bool haveRequest = false;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if ((arg == L"--pipe" || arg == L"--timeout") && i + 1 < argc) {
            std::wstring value = argv[++i];
            if (arg == L"--pipe") {
                pipeName = value;
            } else {
                wchar_t* end = nullptr;
                unsigned long parsed = wcstoul(value.c_str(), &end, 10);
                if (value.empty() || *end != L'\0') {
                    Fail("--timeout takes milliseconds");
                    return 1;
                }
                timeoutMs = static_cast<uint32_t>(parsed);
            }
        } else if (!haveRequest && arg.rfind(L"--", 0) != 0) {
            requestArg = arg;
            haveRequest = true;
        } else {
            Fail("usage: qsctl [--pipe NAME] [--timeout MS] [REQUEST]");
            return 1;
        }
    }

    std::string request;
    if (!haveRequest) {
        if (!ReadStdin(&request)) {
            Fail("request too long");
            return 1;
        }
    } else if (IsBareWord(requestArg)) {
        request = "{\"cmd\":\"" + qs::WideToUtf8(requestArg) + "\"}";
    } else {
        request = qs::WideToUtf8(requestArg);
    }

    std::string reply = qs::IpcRequest(request, timeoutMs, pipeName);
    WriteOut(GetStdHandle(STD_OUTPUT_HANDLE), reply + "\n");
    return ReplyIsOk(reply) ? 0 : 1;
}
