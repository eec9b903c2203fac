// The real first start of quillstone.exe in tray mode on a machine without
// the service: the tray finds no core, launches itself elevated with
// "/install /quiet" (under Wine "runas" simply runs it), the service comes
// up and the list face appears. Then the single-instance rule with a second
// start, and the end through the installer's control window.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "host/exe_runner.h"
#include "ipc/ipc_client.h"
#include "support/process_window.h"
#include "support/wait.h"
#include "tray/main_dlg.h"
#include "ui/ui_text.h"
#include "updater/updater.h"

namespace qs {
namespace {

using test::RunExe;
using test::WaitFor;

struct Found {
    DWORD pid;
    HWND window;
};

BOOL CALLBACK FindDialogOf(HWND window, LPARAM param) {
    auto* found = reinterpret_cast<Found*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t cls[32] = {};
    GetClassNameW(window, cls, 32);
    if (pid == found->pid && std::wstring(cls) == L"#32770" &&
        GetDlgItem(window, MainDlg::kEmptyTitle) != nullptr) {
        found->window = window;
        return FALSE;
    }
    return TRUE;
}

HWND MainWindowOf(DWORD pid) {
    Found found{pid, nullptr};
    EnumWindows(&FindDialogOf, reinterpret_cast<LPARAM>(&found));
    return found.window;
}

std::wstring ItemText(HWND window, int id) {
    wchar_t text[256] = {};
    GetDlgItemTextW(window, id, text, 256);
    return text;
}

bool Shown(HWND window, int id) {
    HWND child = GetDlgItem(window, id);
    return child && (GetWindowLongPtrW(child, GWL_STYLE) & WS_VISIBLE) != 0;
}

class TrayStartTest : public ::testing::Test {
protected:
    void SetUp() override { RunExe(L"/uninstall /quiet"); }
    void TearDown() override {
        if (process_) {
            if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) TerminateProcess(process_, 1);
            CloseHandle(process_);
        }
        RunExe(L"/uninstall /quiet");
    }
    HANDLE process_ = nullptr;
};

TEST_F(TrayStartTest, FirstStartInstallsTheServiceAndTheListFaceAppears) {
    ASSERT_FALSE(ProbeCore(40)) << "a core is running before the test";
    std::wstring cmd = L"\"" + test::ExePath() + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;

    HWND window = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (window = MainWindowOf(pi.dwProcessId)) != nullptr; }, 20000));
    // No core at start: the window is shown at once.
    EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(window) != FALSE; }, 5000));

    // The elevated "/install /quiet" brings the service up, and the service
    // wait fills the window without any click.
    ASSERT_TRUE(WaitFor([] { return ProbeCore(40); }, 60000)) << "the service never answered";
    const bool english = ItemText(window, MainDlg::kAddDevice) == L"Add device";
    SetUiLanguage(english ? "en-US" : "zh-CN");
    EXPECT_TRUE(WaitFor([&] { return ItemText(window, MainDlg::kEmptyTitle) == Tr(TxtEmptyTitle); }, 15000))
        << "empty title: " << WideToUtf8(ItemText(window, MainDlg::kEmptyTitle));
    EXPECT_EQ(ItemText(window, MainDlg::kEmptyAction), Tr(TxtAddDevice));
    EXPECT_TRUE(WaitFor([&] { return !Shown(window, MainDlg::kFooter); }, 6000)) << "footer still shown";

    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof(pmc);
    if (GetProcessMemoryInfo(process_, &pmc, sizeof(pmc))) {
        std::printf("tray working set after start: %llu KiB (peak %llu KiB)\n",
                    static_cast<unsigned long long>(pmc.WorkingSetSize / 1024),
                    static_cast<unsigned long long>(pmc.PeakWorkingSetSize / 1024));
    }

    // Closing only hides; a second start with /tray ends at once and leaves
    // it hidden, one without /tray brings it forward.
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(window); }, 3000));
    EXPECT_EQ(RunExe(L"/tray", 30000), 0);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(RunExe(L"", 30000), 0);
    EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(window) != FALSE; }, 3000));
    EXPECT_EQ(MainWindowOf(pi.dwProcessId), window) << "one main window only";

    // The installer ends the tray through its control window.
    HWND control = test::FindProcessWindow(kInstallerCloseWindowClass, pi.dwProcessId);
    ASSERT_TRUE(control);
    PostMessageW(control, WM_CLOSE, 0, 0);
    ASSERT_EQ(WaitForSingleObject(process_, 15000), WAIT_OBJECT_0) << "the tray did not end";
    DWORD code = 1;
    GetExitCodeProcess(process_, &code);
    EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace qs
