// The switches and the mode they choose; the tray's reading of "config".
#include <gtest/gtest.h>

#include <windows.h>

#include "foundation/text.h"
#include "host/command_line.h"
#include "host/install_mode.h"
#include "host/service.h"
#include "host/tray_start.h"
#include "ui/message_box.h"
#include "ui/ui_text.h"

namespace qs {
namespace {

TEST(CommandLine, ModesByPrecedence) {
    struct Case {
        std::vector<std::wstring> args;
        HostMode mode;
    };
    const Case cases[] = {
        {{}, HostMode::kTray},
        {{L"/tray"}, HostMode::kTray},
        {{L"/install", L"/uninstall"}, HostMode::kInstall},
        {{L"/uninstall", L"/install"}, HostMode::kInstall},
        {{L"/uninstall"}, HostMode::kUninstall},
        {{L"/Console"}, HostMode::kTray},           // case-sensitive
        {{L"/INSTALL"}, HostMode::kTray},
        {{L"-install"}, HostMode::kTray},
        {{L"/console"}, HostMode::kConsole},
        {{L"/service", L"/console"}, HostMode::kService},
        {{L"/console", L"/install"}, HostMode::kInstall},
        {{L"extra", L"/service", L"/quiet"}, HostMode::kService},
    };
    for (const Case& c : cases) {
        std::wstring joined;
        for (const auto& a : c.args) joined += a + L" ";
        EXPECT_EQ(ChooseMode(ParseCommandLine(c.args)), c.mode) << std::string(joined.begin(), joined.end());
    }
}

TEST(CommandLine, QuietAndTrayAreFlagsBesideTheMode) {
    ModeFlags f = ParseCommandLine({L"/install", L"/quiet", L"/tray"});
    EXPECT_TRUE(f.install);
    EXPECT_TRUE(f.quiet);
    EXPECT_TRUE(f.tray);
    EXPECT_FALSE(f.service);
    EXPECT_FALSE(f.uninstall);
    EXPECT_FALSE(f.console);
}

TEST(TrayStart, ConfigReplyDecidesReachabilityAndLanguage) {
    struct Case {
        const char* reply;
        bool reachable;
        const char* language;
    };
    const Case cases[] = {
        {R"({"ok":true,"data":{"language":"en-US"}})", true, "en-US"},
        {R"({"ok":"True","data":{"language":"zh-CN"}})", true, "zh-CN"},
        {R"({"ok":"true","data":{}})", true, "auto"},
        {R"({"ok":"1","data":{"language":""}})", true, "auto"},
        {R"({"ok":2,"data":{"language":5}})", true, "auto"},
        {R"({"ok":0,"data":{"language":"en-US"}})", false, "auto"},
        {R"({"ok":"yes"})", false, "auto"},
        {R"({"ok":false,"error":"打印服务未运行或未安装"})", false, "auto"},
        {R"({"data":{"language":"en-US"}})", false, "auto"},
        {"not json", false, "auto"},
        {"", false, "auto"},
    };
    for (const Case& c : cases) {
        ConfigProbe p = ReadConfigReply(c.reply);
        EXPECT_EQ(p.reachable, c.reachable) << c.reply;
        EXPECT_EQ(p.language, c.language) << c.reply;
    }
}

struct Box {
    std::wstring text, caption;
    UINT flags = 0;
};

// Runs the install mode with a stand-in operation and records the boxes.
std::vector<Box> RunMode(bool install, bool quiet, bool ok, const std::string& error, int& exitCode) {
    std::vector<Box> boxes;
    SetMessageBoxFn([&](HWND, const std::wstring& text, const std::wstring& caption, UINT flags) {
        boxes.push_back({text, caption, flags});
        return IDOK;
    });
    exitCode = RunInstallMode(install, quiet, [&](std::string& e) {
        e = error;
        return ok;
    });
    SetMessageBoxFn(nullptr);
    return boxes;
}

TEST(InstallMode, QuietSuccessIsSilentAndFailuresAreAlwaysShown) {
    SetUiLanguage("zh-CN");
    int code = -1;
    EXPECT_TRUE(RunMode(true, true, true, "", code).empty());
    EXPECT_EQ(code, 0);

    std::vector<Box> boxes = RunMode(true, false, true, "", code);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(boxes[0].text, Tr(TxtInstallingService));
    EXPECT_EQ(boxes[0].caption, Tr(TxtAppName));
    EXPECT_EQ(boxes[0].flags & MB_ICONMASK, static_cast<UINT>(MB_ICONINFORMATION));

    boxes = RunMode(true, true, false, "OpenSCManager 失败（需要管理员）", code);
    ASSERT_EQ(boxes.size(), 1u) << "a quiet failure must still be shown";
    EXPECT_EQ(code, 1);
    EXPECT_EQ(boxes[0].text, L"OpenSCManager 失败（需要管理员）");
    EXPECT_EQ(boxes[0].flags & MB_ICONMASK, static_cast<UINT>(MB_ICONERROR));

    // A failure without a text keeps the operation's own message.
    boxes = RunMode(false, false, false, "", code);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(boxes[0].text, Tr(TxtServiceRemoved));
}

// Wine lets every process open every service, so the refusal a standard
// user meets comes through the seam. Only "does not exist" may pass as
// removed; any other failure is reported with its code and exit code 1, and
// the uninstaller goes no further (no ports restored or purged).
TEST(InstallMode, UninstallWithoutRightToOpenTheServiceFails) {
    SetUiLanguage("zh-CN");
    struct Case {
        DWORD error;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {ERROR_ACCESS_DENIED, L"OpenService 失败（需要管理员）：Win32(5)"},
        {ERROR_INVALID_NAME, L"OpenService 失败：Win32(123)"},
        {ERROR_SERVICE_MARKED_FOR_DELETE, L"OpenService 失败：Win32(1072)"},
    };
    for (const Case& c : cases) {
        int opened = 0;
        SetOpenServiceFnForTest([&](SC_HANDLE, DWORD access) -> SC_HANDLE {
            ++opened;
            EXPECT_TRUE(access & DELETE);
            SetLastError(c.error);
            return nullptr;
        });
        std::vector<Box> boxes;
        SetMessageBoxFn([&](HWND, const std::wstring& text, const std::wstring& caption, UINT flags) {
            boxes.push_back({text, caption, flags});
            return IDOK;
        });
        const int code = RunInstallMode(false, true, RemoveService);
        SetMessageBoxFn(nullptr);
        SetOpenServiceFnForTest(nullptr);

        EXPECT_EQ(opened, 1);
        EXPECT_EQ(code, 1) << c.error;
        ASSERT_EQ(boxes.size(), 1u) << c.error;
        EXPECT_EQ(boxes[0].text.rfind(c.expected, 0), 0u) << WideToUtf8(boxes[0].text);
        EXPECT_NE(boxes[0].text, Tr(TxtServiceRemoved));
        EXPECT_EQ(boxes[0].flags & MB_ICONMASK, static_cast<UINT>(MB_ICONERROR));
    }
}

}  // namespace
}  // namespace qs
