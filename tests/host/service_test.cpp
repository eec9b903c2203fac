// quillstone.exe as a Windows service under Wine's service control manager:
// install, answer on the pipe, stop, reinstall and uninstall.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <vector>
#include <string>
#include <thread>

#include "foundation/files.h"
#include "foundation/text.h"
#include "host/service.h"
#include "ipc/core_service.h"
#include "ipc/ipc_client.h"
#include "exe_runner.h"
#include "support/wait.h"

namespace qs {
namespace {

using test::RunExe;
using test::WaitFor;

const std::wstring kExe = test::ExePath();

struct Sc {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    Sc() {
        manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (manager) service = OpenServiceW(manager, kServiceName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_STOP);
    }
    ~Sc() {
        if (service) CloseServiceHandle(service);
        if (manager) CloseServiceHandle(manager);
    }
    SERVICE_STATUS_PROCESS Status() const {
        SERVICE_STATUS_PROCESS st{};
        DWORD needed = 0;
        QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&st), sizeof(st), &needed);
        return st;
    }
};

bool PingAnswers() {
    return IpcRequest("{\"cmd\":\"ping\"}", 200).find("\"ok\":true") != std::string::npos;
}

class ServiceTest : public ::testing::Test {
protected:
    void TearDown() override {
        RunExe(L"/uninstall /quiet");
    }
};

TEST_F(ServiceTest, InstallStartsTheServiceThatAnswersOnThePipe) {
    auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(RunExe(L"/install /quiet"), 0);
    ASSERT_TRUE(WaitFor(PingAnswers, 20000)) << "the pipe never answered ping";
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count();
    std::printf("install to ping: %lld ms\n", static_cast<long long>(ms));

    Sc sc;
    ASSERT_NE(sc.service, nullptr);
    std::vector<BYTE> buf(8192);
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfigW(sc.service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data()),
                                    static_cast<DWORD>(buf.size()), &needed));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
    EXPECT_EQ(std::wstring(config->lpDisplayName), kServiceDisplayName);
    EXPECT_EQ(std::wstring(config->lpBinaryPathName), L"\"" + kExe + L"\" /service");
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(sc.Status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    DWORD firstPid = sc.Status().dwProcessId;

    // A second install replaces the running service with a fresh process.
    ASSERT_EQ(RunExe(L"/install /quiet"), 0);
    ASSERT_TRUE(WaitFor(PingAnswers, 20000));
    const DWORD secondPid = sc.Status().dwProcessId;
    EXPECT_NE(secondPid, firstPid);

    // What Wine keeps of the settings that only the second config call sets.
    DWORD needed2 = 0;
    SERVICE_DELAYED_AUTO_START_INFO delayed{};
    bool delayedRead = QueryServiceConfig2W(sc.service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO,
                                            reinterpret_cast<BYTE*>(&delayed), sizeof(delayed), &needed2);
    std::vector<BYTE> failureBuf(1024);
    bool failureRead = QueryServiceConfig2W(sc.service, SERVICE_CONFIG_FAILURE_ACTIONS, failureBuf.data(),
                                            static_cast<DWORD>(failureBuf.size()), &needed2);
    auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(failureBuf.data());
    std::printf("delayed auto start: %s %d; failure actions: %s %lu actions, reset %lu s\n",
                delayedRead ? "read" : "unreadable", delayedRead ? delayed.fDelayedAutostart : -1,
                failureRead ? "read" : "unreadable", failureRead ? failure->cActions : 0ul,
                failureRead ? failure->dwResetPeriod : 0ul);

    // The tray's start: true while it runs, without touching it.
    EXPECT_TRUE(StartCoreService());
    EXPECT_EQ(sc.Status().dwProcessId, secondPid) << "a running service was restarted";

    // The stop control ends it in an orderly way.
    SERVICE_STATUS st;
    ASSERT_TRUE(ControlService(sc.service, SERVICE_CONTROL_STOP, &st));
    ASSERT_TRUE(WaitFor([&] { return sc.Status().dwCurrentState == SERVICE_STOPPED; }, 20000));
    EXPECT_EQ(sc.Status().dwWin32ExitCode, 0u);
    EXPECT_FALSE(PingAnswers());

    // A stopped service is started again by the tray's call.
    EXPECT_TRUE(StartCoreService());
    EXPECT_TRUE(WaitFor(PingAnswers, 20000));
}

TEST_F(ServiceTest, UninstallRemovesTheServiceAndSucceedsWhenAbsent) {
    ASSERT_EQ(RunExe(L"/install /quiet"), 0);
    ASSERT_TRUE(WaitFor(PingAnswers, 20000));
    EXPECT_EQ(RunExe(L"/uninstall /quiet"), 0);
    EXPECT_EQ(Sc().service, nullptr) << "the service is still registered";
    EXPECT_FALSE(PingAnswers());
    EXPECT_EQ(RunExe(L"/uninstall /quiet"), 0) << "uninstall without a service failed";
    EXPECT_FALSE(StartCoreService()) << "started a service that is not installed";
}

TEST_F(ServiceTest, UnopenableDatabaseStopsTheServiceWithExitCodeOne) {
    wchar_t programData[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH), 0u);
    std::wstring db = PathJoin(PathJoin(programData, L"Quillstone"), L"qnconfig.db");
    std::wstring moved = db + L".moved";
    bool hadDb = FileExists(db) && MoveFileW(db.c_str(), moved.c_str());
    ASSERT_TRUE(MakeDirs(db));  // a folder where the database should be

    RunExe(L"/install /quiet");
    Sc sc;
    ASSERT_NE(sc.service, nullptr);
    EXPECT_TRUE(WaitFor([&] { return sc.Status().dwCurrentState == SERVICE_STOPPED; }, 20000));
    EXPECT_EQ(sc.Status().dwWin32ExitCode, 1u);

    RemoveDirectoryW(db.c_str());
    if (hadDb) MoveFileW(moved.c_str(), db.c_str());
}

}  // namespace
}  // namespace qs
