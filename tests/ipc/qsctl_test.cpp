// qsctl.exe run as its own process against a server in this test process.
#include <windows.h>

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/handles.h"
#include "foundation/text.h"
#include "ipc/ipc_server.h"
#include "ipc/ipc_test_util.h"

namespace qs {
namespace {

using test::ErrorJson;
using test::UniquePipeName;

// The build names the program by its Unix path; Wine maps / to drive Z:.
std::wstring QsctlPath() {
    std::wstring path = Utf8ToWide(QS_QSCTL_EXE);
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path.rfind(L"\\", 0) == 0 ? L"Z:" + path : path;
}

// Quotes one argument the way CommandLineToArgvW reads it back.
std::wstring Quote(const std::wstring& arg) {
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, L'\\');
    return out + L"\"";
}

struct RunResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;
};

RunResult RunQsctl(const std::vector<std::wstring>& args, const std::string& input = "") {
    RunResult result;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, inRead = nullptr, inWrite = nullptr;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) return result;
    UniqueHandle outReadOwner(outRead), outWriteOwner(outWrite);
    if (!CreatePipe(&inRead, &inWrite, &inherit, 0)) return result;
    UniqueHandle inReadOwner(inRead), inWriteOwner(inWrite);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);

    std::wstring commandLine = Quote(QsctlPath());
    for (const std::wstring& arg : args) commandLine += L" " + Quote(arg);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process)) {
        ADD_FAILURE() << "cannot start qsctl: " << GetLastError();
        return result;
    }
    UniqueHandle processOwner(process.hProcess), threadOwner(process.hThread);
    outWriteOwner.reset();
    inReadOwner.reset();

    DWORD written = 0;
    if (!input.empty()) {
        WriteFile(inWrite, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    }
    inWriteOwner.reset();  // end of input
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(outRead, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        result.out.append(buffer, got);
    }
    WaitForSingleObject(process.hProcess, 30000);
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    return result;
}

class QsctlTest : public testing::Test {
protected:
    QsctlTest()
        : name_(UniquePipeName()),
          server_(
              [this](const std::string& request) {
                  std::lock_guard<std::mutex> lock(mutex_);
                  seen_.push_back(request);
                  if (request.find("\"fail\"") != std::string::npos) {
                      return std::string("{\"ok\":false,\"error\":\"设备不存在\"}");
                  }
                  return std::string("{\"ok\":true,\"msg\":\"已收到\"}");
              },
              name_) {}

    void SetUp() override { ASSERT_TRUE(server_.Start()); }

    std::vector<std::string> Seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

    std::wstring name_;
    std::mutex mutex_;
    std::vector<std::string> seen_;
    IpcServer server_;
};

TEST_F(QsctlTest, SendsTheRequestAndPrintsTheReplyWithItsStatus) {
    struct Case {
        std::vector<std::wstring> args;
        std::string input;
        std::string sent;
        std::string printed;
        DWORD exitCode;
    };
    const std::string okReply = "{\"ok\":true,\"msg\":\"已收到\"}\n";
    const std::string failReply = "{\"ok\":false,\"error\":\"设备不存在\"}\n";
    const Case cases[] = {
        {{L"{\"cmd\":\"ping\"}"}, "", "{\"cmd\":\"ping\"}", okReply, 0},
        {{L"{\"cmd\":\"fail\",\"name\":\"收银台\"}"}, "",
         "{\"cmd\":\"fail\",\"name\":\"收银台\"}", failReply, 1},
        {{L"ping"}, "", "{\"cmd\":\"ping\"}", okReply, 0},
        {{}, "{\"cmd\":\"list\"}\r\n", "{\"cmd\":\"list\"}", okReply, 0},
        {{L"--timeout", L"500"}, "{\"cmd\":\"fail\"}", "{\"cmd\":\"fail\"}", failReply, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        std::vector<std::wstring> args = {L"--pipe", name_};
        args.insert(args.end(), c.args.begin(), c.args.end());
        size_t before = Seen().size();
        RunResult run = RunQsctl(args, c.input);
        EXPECT_EQ(run.out, c.printed);
        EXPECT_EQ(run.exitCode, c.exitCode);
        std::vector<std::string> seen = Seen();
        ASSERT_EQ(seen.size(), before + 1);
        EXPECT_EQ(seen.back(), c.sent);
    }
}

TEST_F(QsctlTest, NoServerPrintsTheTransportReplyAndFails) {
    RunResult run = RunQsctl({L"--pipe", UniquePipeName(), L"--timeout", L"100", L"ping"});
    EXPECT_EQ(run.out, ErrorJson("打印服务未运行或未安装") + "\n");
    EXPECT_EQ(run.exitCode, 1u);
}

TEST_F(QsctlTest, BadArgumentsFailWithoutSending) {
    RunResult run = RunQsctl({L"--pipe", name_, L"--timeout", L"soon", L"ping"});
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(Seen().empty());
}

}  // namespace
}  // namespace qs
