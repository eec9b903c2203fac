// The installer of this build's architecture (the x86 one under 32-bit Wine
// in the i686 lane, an amd64 one under wine64) with the real service: a silent install,
// a device with a job left waiting, then the whole update path: this test
// process (carrying version N like the tray) checks the fake update server,
// downloads the real version N+1 installer, verifies and runs it with the
// updater's switches while a tray stand-in keeps an installer pending; the
// upgraded service keeps the device and the job. A silent uninstall then
// leaves nothing registered and keeps the data folder.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cJSON.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "cloud/fake_cloud_peer.h"
#include "cloud/http_client.h"
#include "foundation/files.h"
#include "foundation/handles.h"
#include "foundation/system_info.h"
#include "foundation/text.h"
#include "host/exe_runner.h"
#include "host/service.h"
#include "ipc/ipc_client.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "ui/message_box.h"
#include "updater/updater.h"

namespace qs {
namespace {

using test::EnvOr;
using test::RunCommand;
using test::TempDir;
using test::WaitFor;
using test::WindowsPath;

const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillstone";
// The registry view the installer of this architecture writes: the x86 one
// lands in the 32-bit view on a 64-bit system, the amd64 one in the 64-bit view.
constexpr REGSAM kInstallerView = sizeof(void*) == 4 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;

std::wstring KnownFolder(int csidl) {
    wchar_t path[MAX_PATH];
    return SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, 0, path)) ? path : L"";
}
std::wstring InstallDir() { return KnownFolder(CSIDL_PROGRAM_FILES) + L"\\Quillstone"; }
std::wstring InstalledExe() { return InstallDir() + L"\\quillstone.exe"; }
std::wstring ShortcutDir() { return KnownFolder(CSIDL_COMMON_PROGRAMS) + L"\\Quillstone"; }

// A value of the uninstall registration ("" when absent); DWORDs as decimal.
std::wstring Registration(const wchar_t* name) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ | kInstallerView, &key) != ERROR_SUCCESS)
        return L"";
    UniqueKey owner(key);
    wchar_t buffer[1024];
    DWORD size = sizeof(buffer) - sizeof(wchar_t), type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return L"";
    if (type == REG_DWORD) {
        DWORD value = 0;
        memcpy(&value, buffer, sizeof(value));
        return std::to_wstring(value);
    }
    buffer[size / sizeof(wchar_t)] = 0;
    return buffer;
}
bool Registered() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ | kInstallerView, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

struct ServiceFacts {
    bool exists = false;
    DWORD state = 0, pid = 0;
    std::wstring binary;
};
ServiceFacts QueryService() {
    ServiceFacts f;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return f;
    SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (service) {
        f.exists = true;
        SERVICE_STATUS_PROCESS st{};
        DWORD needed = 0;
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&st), sizeof(st), &needed)) {
            f.state = st.dwCurrentState;
            f.pid = st.dwProcessId;
        }
        alignas(QUERY_SERVICE_CONFIGW) BYTE buffer[8192];
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
        if (QueryServiceConfigW(service, config, sizeof(buffer), &needed) && config->lpBinaryPathName)
            f.binary = config->lpBinaryPathName;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return f;
}

bool Pings() { return IpcRequest("{\"cmd\":\"ping\"}", 3000).find("\"ok\":true") != std::string::npos; }

// The "data" member of a reply to cmd, handed to read; false without one.
template <typename Read>
bool WithData(const std::string& request, Read read) {
    cJSON* root = cJSON_Parse(IpcRequest(request, 45000).c_str());
    cJSON* data = cJSON_GetObjectItemCaseSensitive(root, "data");
    bool ok = data != nullptr && read(data);
    cJSON_Delete(root);
    return ok;
}

bool HasDevice(const std::string& sn) {
    return WithData("{\"cmd\":\"list\"}", [&](cJSON* list) {
        cJSON* d = nullptr;
        cJSON_ArrayForEach(d, list) {
            cJSON* s = cJSON_GetObjectItemCaseSensitive(d, "sn");
            if (cJSON_IsString(s) && sn == s->valuestring) return true;
        }
        return false;
    });
}

// State of job id (or of the newest job when id is 0, storing its id); -1 when absent.
int JobState(int64_t* id) {
    int state = -1;
    WithData("{\"cmd\":\"jobs\"}", [&](cJSON* jobs) {
        cJSON* j = nullptr;
        cJSON_ArrayForEach(j, jobs) {
            auto jid = static_cast<int64_t>(cJSON_GetObjectItemCaseSensitive(j, "id")->valuedouble);
            if (*id == 0 || jid == *id) {
                *id = jid;
                state = cJSON_GetObjectItemCaseSensitive(j, "state")->valueint;
                return true;
            }
        }
        return false;
    });
    return state;
}

// Runs the silent uninstaller and waits for its copy (NSIS uninstallers
// re-run themselves from %TEMP% and return at once) to finish.
bool UninstallSilently(double* seconds) {
    auto start = std::chrono::steady_clock::now();
    std::wstring quiet = Registration(L"QuietUninstallString");
    if (quiet.empty()) return false;
    if (RunCommand(quiet, 60000) != 0) return false;
    bool done = WaitFor([] { return !Registered() && !FileExists(InstalledExe()) && !QueryService().exists; },
                        90000, 100);
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return done;
}

// Receives the updater's results and handles them as the main window does.
class UpdateWindow {
public:
    UpdateWindow() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"QsInstallerTestWindow";
        RegisterClassW(&wc);
        hwnd_ = CreateWindowW(wc.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
    }
    ~UpdateWindow() { DestroyWindow(hwnd_); }
    UpdateWindow(const UpdateWindow&) = delete;
    UpdateWindow& operator=(const UpdateWindow&) = delete;
    HWND hwnd() const { return hwnd_; }
    void Pump() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    static inline std::string lastKinds;

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        if (msg == WM_UPDATE_RESULT) {
            lastKinds += std::to_string(reinterpret_cast<UpdateResult*>(lParam)->resultKind);
            HandleUpdateResult(hwnd, wParam, lParam, nullptr);
            return 0;
        }
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    HWND hwnd_ = nullptr;
};

int g_questions = 0;
HRESULT WINAPI DownloadThenInstallNow(const TASKDIALOGCONFIG*, int* button, int*, BOOL*) {
    ++g_questions;
    *button = IDYES;
    return S_OK;
}

std::string Control(const std::string& path, const std::string& json) {
    HttpClient client;
    return client.PostJson(EnvOr("QS_UPDATE_URL", "") + "_control/" + path, json).body;
}

class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(cloud_.Available());
        ASSERT_FALSE(EnvOr("QS_UPDATE_URL", "").empty());
        // Whatever an earlier run left: no service, no installation.
        double ignored = 0;
        if (Registered()) UninstallSilently(&ignored);
        test::RunExe(L"/uninstall /quiet");
        ASSERT_FALSE(QueryService().exists);
        ASSERT_FALSE(FileExists(InstalledExe()));
    }
    void TearDown() override {
        double ignored = 0;
        if (Registered()) UninstallSilently(&ignored);
        if (QueryService().exists) test::RunExe(L"/uninstall /quiet");
        if (standin_.hProcess) {
            TerminateProcess(standin_.hProcess, 9);
            CloseHandle(standin_.hProcess);
            CloseHandle(standin_.hThread);
        }
        SetTaskDialogFn(nullptr);
        SetMessageBoxFn(nullptr);
    }
    bool StartStandIn(const std::wstring& pendingInstaller) {
        std::wstring cmd = L"\"" + WindowsPath(STANDIN_UNIX_PATH) + L"\" \"" + pendingInstaller + L"\"";
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &standin_))
            return false;
        return WaitFor([] { return FindWindowW(kInstallerCloseWindowClass, nullptr) != nullptr; }, 15000);
    }
    test::FakeCloudPeer cloud_;
    PROCESS_INFORMATION standin_{};
};

TEST_F(InstallerTest, SilentInstallThenTheUpdatersUpgradeInPlaceThenSilentUninstall) {
    const std::wstring current = AppVersion();
    const std::wstring next = Utf8ToWide(NEXT_VERSION);
    ASSERT_FALSE(current.empty());
    ASSERT_NE(current, next);

    // Under Wine explorer.exe does not start its argument, so the tray's
    // unelevated relaunch after an update is recorded instead: a recorder
    // takes the place of the explorer.exe the installer names (the desktop
    // runs system32's own).
    TempDir records;
    const std::wstring relaunches = records / L"relaunches.txt";
    wchar_t windows[MAX_PATH];
    ASSERT_GT(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    ASSERT_TRUE(CopyFileW(WindowsPath(RECORDER_UNIX_PATH).c_str(),
                          (std::wstring(windows) + L"\\explorer.exe").c_str(), FALSE));
    SetEnvironmentVariableW(L"QS_RECORD_FILE", relaunches.c_str());
    const std::string trayRelaunch =
        WideToUtf8(L"\"" + std::wstring(windows) + L"\\explorer.exe\" \"" + InstalledExe() + L"\"") + "\n";

    // --- fresh silent install -------------------------------------------------
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(RunCommand(L"\"" + WindowsPath(INSTALLER_CURRENT) + L"\" /S", 120000), 0);
    double installSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(FileVersionText(InstalledExe()), current);
    EXPECT_TRUE(FileExists(InstallDir() + L"\\uninstall.exe"));
    EXPECT_GT(FileSize(ShortcutDir() + L"\\Verano Cloud Print.lnk"), 0)
        << "the Start menu shortcut (English: the prefix's language)";
    EXPECT_EQ(Registration(L"DisplayName"), L"Verano Cloud Print");
    EXPECT_EQ(Registration(L"DisplayVersion"), current);
    EXPECT_EQ(Registration(L"Publisher"), L"Quillstone");
    EXPECT_EQ(Registration(L"DisplayIcon"), InstalledExe() + L",0");
    EXPECT_EQ(Registration(L"UninstallString"), L"\"" + InstallDir() + L"\\uninstall.exe\"");
    EXPECT_EQ(Registration(L"QuietUninstallString"), L"\"" + InstallDir() + L"\\uninstall.exe\" /S");
    EXPECT_GT(_wtoi(Registration(L"EstimatedSize").c_str()), 100) << "KiB";
    ServiceFacts before = QueryService();
    ASSERT_TRUE(before.exists);
    EXPECT_EQ(before.binary, L"\"" + InstalledExe() + L"\" /service");
    ASSERT_TRUE(WaitFor(Pings, 20000)) << "the installed service answers on its pipe";
    // The service opens its pipe just before it reports running.
    EXPECT_TRUE(WaitFor([] { return QueryService().state == SERVICE_RUNNING; }, 20000))
        << "state " << QueryService().state;
    before = QueryService();
    EXPECT_FALSE(FileExists(relaunches)) << "without /restartapp the tray is not started";

    // --- a device and a job that waits (the cloud refuses uploads) -------------
    cloud_.Rules(R"([{"path":"/v1/files","status":500,"times":0}])");
    ASSERT_EQ(IpcRequest(R"({"cmd":"add","sn":"UPG1","crc":"123456","name":"Upgrade"})", 45000),
              R"({"ok":true,"data":""})");
    IpcRequest(R"({"cmd":"test","sn":"UPG1"})", 45000);
    int64_t jobId = 0;
    ASSERT_TRUE(WaitFor([&] { return JobState(&jobId) == 0; }, 30000)) << "a pending test-page job";

    // --- the update path, as the tray runs it -----------------------------------
    TempDir temp;
    SetEnvironmentVariableW(L"TMP", temp.path().c_str());
    const std::wstring neverRun = temp / L"never-run.exe";
    ASSERT_TRUE(StartStandIn(neverRun)) << "the tray stand-in owns the installer-close window";

    Control("reset", "{}");
    Control("file", std::string("{\"name\":\"setup.exe\",\"path\":\"") + INSTALLER_NEXT + "\"}");
    Control("manifest", std::string(R"({"manifest":{"version":")") + NEXT_VERSION +
                            R"(","url":"@url:setup.exe","sha256":"@sha256:setup.exe","notes":"next"}})");
    SetTaskDialogFn(DownloadThenInstallNow);
    SetMessageBoxFn([](HWND, const std::wstring& text, const std::wstring&, UINT) {
        ADD_FAILURE() << "unexpected box: " << WideToUtf8(text);
        return IDOK;
    });
    UpdateWindow window;
    start = std::chrono::steady_clock::now();
    StartUpdateCheck(window.hwnd(), false);
    // 4 offered → download → 0, 5 → "Install now" launches the installer.
    ASSERT_TRUE(WaitFor([&] {
        window.Pump();
        return UpdateWindow::lastKinds == "405";
    }, 60000)) << "kinds so far: " << UpdateWindow::lastKinds;
    EXPECT_EQ(g_questions, 2);
    EXPECT_TRUE(FileExists(temp.path() + L"\\Quillstone\\update\\setup.exe"));

    // Watch the registry, not the exe: reading the exe's version while the
    // installer replaces it would itself hold the file open.
    ASSERT_TRUE(WaitFor([&] { return Registration(L"DisplayVersion") == next; }, 120000));
    ASSERT_TRUE(WaitFor([&] { return QueryService().state == SERVICE_RUNNING && Pings(); }, 60000));
    EXPECT_EQ(FileVersionText(InstalledExe()), next) << "the installed exe is version N+1";
    double upgradeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ServiceFacts after = QueryService();
    EXPECT_NE(after.pid, before.pid) << "the service runs the new exe in a new process";
    EXPECT_FALSE(FileExists(InstallDir() + L"\\quillstone.old")) << "the stopped service left the exe free";

    // The tray stand-in left through its Exit path, without launching the
    // installer it kept for exit (the installer itself was running).
    ASSERT_EQ(WaitForSingleObject(standin_.hProcess, 20000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeProcess(standin_.hProcess, &code);
    EXPECT_EQ(code, 0u) << "closed through its window, not ended";

    std::string relaunched;
    EXPECT_TRUE(WaitFor([&] { return ReadFileBytes(relaunches, relaunched) && !relaunched.empty(); }, 30000));
    EXPECT_EQ(relaunched, trayRelaunch) << "/restartapp starts the installed tray once, through explorer.exe";

    EXPECT_TRUE(HasDevice("UPG1"));
    int64_t sameJob = jobId;
    EXPECT_EQ(JobState(&sameJob), 0) << "the waiting job survived the upgrade";

    // --- silent uninstall -------------------------------------------------------
    HKEY run;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, &run, nullptr), ERROR_SUCCESS);
    std::wstring autostart = L"\"" + InstalledExe() + L"\" /tray";
    RegSetValueExW(run, L"Quillstone", 0, REG_SZ, reinterpret_cast<const BYTE*>(autostart.c_str()),
                   static_cast<DWORD>((autostart.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(run);

    double uninstallSeconds = 0;
    ASSERT_TRUE(UninstallSilently(&uninstallSeconds));
    EXPECT_FALSE(QueryService().exists);
    EXPECT_FALSE(FileExists(InstallDir()));
    EXPECT_FALSE(FileExists(ShortcutDir()));
    EXPECT_FALSE(Registered());
    HKEY check;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0, KEY_READ, &check),
              ERROR_SUCCESS);
    EXPECT_NE(RegQueryValueExW(check, L"Quillstone", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    RegCloseKey(check);
    EXPECT_TRUE(FileExists(KnownFolder(CSIDL_COMMON_APPDATA) + L"\\Quillstone\\qnconfig.db"))
        << "the data folder stays unless the user ticks its removal";
    ASSERT_TRUE(ReadFileBytes(relaunches, relaunched));
    EXPECT_EQ(relaunched, trayRelaunch) << "the uninstaller starts nothing";

    std::printf("installer sizes: N %lld bytes, N+1 %lld bytes\n",
                static_cast<long long>(FileSize(WindowsPath(INSTALLER_CURRENT))),
                static_cast<long long>(FileSize(WindowsPath(INSTALLER_NEXT))));
    std::printf("silent install %.1f s; check+download+upgrade to running N+1 %.1f s; silent uninstall %.1f s\n",
                installSeconds, upgradeSeconds, uninstallSeconds);
}

}  // namespace
}  // namespace qs
