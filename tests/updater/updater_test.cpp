// The updater's Win32 half: digests, the rollout file, the result boxes and
// the two-choice question through their seams, the installer-close window,
// and the check and download against tools/fake_update_server.py, whose
// origin is the one this test build was configured with.
#include <windows.h>

#include <gtest/gtest.h>

#include <cJSON.h>

#include <deque>
#include <string>
#include <vector>

#include "cloud/http_client.h"
#include "foundation/files.h"
#include "foundation/system_info.h"
#include "foundation/text.h"
#include "host/exe_runner.h"
#include "support/log_lines.h"
#include "support/process_window.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "ui/message_box.h"
#include "ui/ui_text.h"
#include "updater/updater.h"

namespace qs {
namespace {

using test::EnvOr;
using test::TempDir;
using test::WaitFor;

// --- seams -----------------------------------------------------------------

struct Box {
    std::wstring text, caption;
    UINT flags;
};
std::vector<Box> g_boxes;
int g_boxAnswer = IDNO;

struct Asked {
    std::wstring title, instruction, content, first, second;
    TASKDIALOG_FLAGS flags;
    int defaultButton;
    HWND parent;
};
std::vector<Asked> g_asked;
std::deque<int> g_answers;   // button ids the fake task dialog presses in turn
bool g_taskDialogFails = false;

HRESULT WINAPI FakeTaskDialog(const TASKDIALOGCONFIG* c, int* button, int*, BOOL*) {
    if (g_taskDialogFails) return E_FAIL;
    Asked a;
    a.title = c->pszWindowTitle;
    a.instruction = c->pszMainInstruction;
    a.content = c->pszContent ? c->pszContent : L"(none)";
    a.flags = c->dwFlags;
    a.defaultButton = c->nDefaultButton;
    a.parent = c->hwndParent;
    if (c->cButtons == 2 && c->pButtons[0].nButtonID == IDYES && c->pButtons[1].nButtonID == IDNO) {
        a.first = c->pButtons[0].pszButtonText;
        a.second = c->pButtons[1].pszButtonText;
    }
    g_asked.push_back(a);
    int answer = IDCANCEL;
    if (!g_answers.empty()) {
        answer = g_answers.front();
        g_answers.pop_front();
    }
    if (answer != -1) *button = answer;   // -1: leave the result as the caller set it
    return S_OK;
}

// A window that keeps a copy of every WM_UPDATE_RESULT and, when told to,
// hands the record on to HandleUpdateResult as the main window does.
class ResultWindow {
public:
    ResultWindow() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"QsUpdaterTestWindow";
        RegisterClassW(&wc);
        hwnd_ = CreateWindowW(L"QsUpdaterTestWindow", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              wc.hInstance, nullptr);
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~ResultWindow() { DestroyWindow(hwnd_); }
    ResultWindow(const ResultWindow&) = delete;
    ResultWindow& operator=(const ResultWindow&) = delete;

    HWND hwnd() const { return hwnd_; }
    bool handle = false;
    std::vector<UpdateResult> results;
    std::vector<std::wstring> notices;

    // Pumps messages until n results arrived (true) or the time is up.
    bool Wait(size_t n, int timeoutMs) {
        return WaitFor([&] {
            Pump();
            return results.size() >= n;
        }, timeoutMs, 10);
    }
    // Lets every running thread finish, then collects what it posted.
    void Settle() {
        WaitFor([] { return !UpdateCheckRunning() && !UpdateDownloadRunning(); }, 30000, 10);
        Pump();
    }
    std::vector<int32_t> Kinds() const {
        std::vector<int32_t> k;
        for (const UpdateResult& r : results) k.push_back(r.resultKind);
        return k;
    }

private:
    void Pump() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<ResultWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (msg == WM_UPDATE_RESULT && self) {
            auto* record = reinterpret_cast<UpdateResult*>(lParam);
            self->results.push_back(*record);
            if (self->handle)
                HandleUpdateResult(hwnd, wParam, lParam, [self](const std::wstring& t) { self->notices.push_back(t); });
            else
                delete record;
            return 0;
        }
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    HWND hwnd_ = nullptr;
};

// Sets an environment variable of this process for one scope.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const wchar_t* value) : name_(name) {
        wchar_t old[1024];
        DWORD n = GetEnvironmentVariableW(name, old, 1024);
        had_ = n > 0 && n < 1024;
        if (had_) old_.assign(old, n);
        SetEnvironmentVariableW(name, value);
    }
    ~ScopedEnv() { SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::wstring name_, old_;
    bool had_ = false;
};

class UpdaterTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetUiLanguage("en-US");
        g_boxes.clear();
        g_asked.clear();
        g_answers.clear();
        g_taskDialogFails = false;
        g_boxAnswer = IDNO;
        SetMessageBoxFn([](HWND, const std::wstring& text, const std::wstring& caption, UINT flags) {
            g_boxes.push_back({text, caption, flags});
            return g_boxAnswer;
        });
        SetTaskDialogFn(FakeTaskDialog);
        DiscardPendingInstaller();
    }
    void TearDown() override {
        window.Settle();
        SetMessageBoxFn(nullptr);
        SetTaskDialogFn(nullptr);
        DiscardPendingInstaller();
    }
    ResultWindow window;
};

// --- digests and the rollout file -------------------------------------------

TEST(Sha256Test, MatchesKnownDigestsAcrossTheSliceBoundary) {
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 3 MiB + 7 bytes, hashed in 1 MiB slices; digest from sha256sum.
    EXPECT_EQ(Sha256Hex(std::string(3 * 1024 * 1024 + 7, 'a')),
              "7d8aedf62548b6943c912ca5192d7a2c13322cd689d7a47d4b3944b4bb2e30c6");
}

TEST(RolloutIdTest, MadeOnceKeptAfterwardsAndReplacedWhenTooShort) {
    TempDir dir;
    ScopedEnv env(L"LOCALAPPDATA", dir.path().c_str());
    const std::wstring file = dir.path() + L"\\Quillstone\\rollout.id";

    std::string first = RolloutId();
    ASSERT_EQ(first.size(), 32u);
    EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
    std::string stored;
    ASSERT_TRUE(ReadFileBytes(file, stored));
    EXPECT_EQ(stored, first);
    EXPECT_EQ(RolloutId(), first);

    ASSERT_TRUE(WriteFileBytes(file, "1234567"));   // 7 bytes: not an identifier
    std::string renewed = RolloutId();
    EXPECT_EQ(renewed.size(), 32u);
    EXPECT_NE(renewed, "1234567");

    ASSERT_TRUE(WriteFileBytes(file, "machine-7\r\n"));   // 8 or more: used as it is
    EXPECT_EQ(RolloutId(), "machine-7\r\n");
}

TEST(RolloutIdTest, EmptyWithoutLocalAppData) {
    ScopedEnv env(L"LOCALAPPDATA", nullptr);
    EXPECT_EQ(RolloutId(), "");
}

// --- boxes and questions ------------------------------------------------------

TEST_F(UpdaterTest, ResultKindsOneToThreeShowTheirBoxes) {
    const std::string running = WideToUtf8(AppVersion());
    ASSERT_FALSE(running.empty()) << "the test executable carries the product's version resource";
    struct Case {
        int32_t kind;
        std::string text, version;
        std::wstring shown;
        UINT icon;
    } cases[] = {
        {kUpdateDevRun, "", "", L"This is a development run, so updates are not checked", MB_ICONINFORMATION},
        {kUpdateFailed, "HTTP 503", "", L"HTTP 503", MB_ICONWARNING},
        {kUpdateFailed, "", "", L"Can't check for updates right now", MB_ICONWARNING},
        {kUpdateUpToDate, "", "4.3.7", L"You're on the latest version\nVersion 4.3.7", MB_ICONINFORMATION},
        {kUpdateUpToDate, "", "", L"You're on the latest version\nVersion " + Utf8ToWide(running),
         MB_ICONINFORMATION},
    };
    for (const Case& c : cases) {
        g_boxes.clear();
        auto* r = new UpdateResult;
        r->resultKind = c.kind;
        r->text = c.text;
        r->version = c.version;
        HandleUpdateResult(window.hwnd(), 0, reinterpret_cast<LPARAM>(r), nullptr);
        ASSERT_EQ(g_boxes.size(), 1u) << c.kind;
        EXPECT_EQ(g_boxes[0].text, c.shown);
        EXPECT_EQ(g_boxes[0].caption, L"Check for updates");
        EXPECT_EQ(g_boxes[0].flags & MB_ICONMASK, c.icon);
    }
    EXPECT_TRUE(g_asked.empty());
}

TEST_F(UpdaterTest, ProgressGoesToTheFooterWithoutABox) {
    auto* r = new UpdateResult;
    r->resultKind = kUpdateProgress;
    r->text = TrUtf8(TxtDownloading);
    std::vector<std::wstring> notices;
    HandleUpdateResult(window.hwnd(), 0, reinterpret_cast<LPARAM>(r),
                       [&](const std::wstring& t) { notices.push_back(t); });
    EXPECT_EQ(notices, std::vector<std::wstring>{L"Downloading the update..."});
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(UpdaterTest, AnOfferAsksDownloadOrLaterAndLaterStartsNothing) {
    auto* r = new UpdateResult;
    r->resultKind = kUpdateAvailable;
    r->version = "4.4.0";
    r->text = "Faster receipts";
    r->downloadUrl = UpdateBaseUrl() + "files/never.exe";
    g_answers = {IDNO};
    HandleUpdateResult(window.hwnd(), 0, reinterpret_cast<LPARAM>(r), nullptr);
    ASSERT_EQ(g_asked.size(), 1u);
    const Asked& a = g_asked[0];
    EXPECT_EQ(a.title, L"Update available");
    EXPECT_EQ(a.instruction, L"Verano Cloud Print 4.4.0 is available");
    EXPECT_EQ(a.content, L"Current version " + AppVersion() +
                             L". After the download you can install it now.\n\nFaster receipts");
    EXPECT_EQ(a.first, L"Download");
    EXPECT_EQ(a.second, L"Later");
    EXPECT_EQ(a.flags, TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW);
    EXPECT_EQ(a.defaultButton, IDYES);
    EXPECT_EQ(a.parent, window.hwnd());
    EXPECT_FALSE(UpdateDownloadRunning());
    window.Settle();
    EXPECT_TRUE(window.results.empty());
}

TEST_F(UpdaterTest, AskTwoChoicesClosedOrFailedAnswersNo) {
    // Closing the task dialog leaves the result as it started: no.
    g_answers = {-1};
    EXPECT_EQ(AskTwoChoices(window.hwnd(), L"c", L"i", L"", L"A", L"B"), IDNO);
    ASSERT_EQ(g_asked.size(), 1u);
    EXPECT_EQ(g_asked[0].content, L"(none)") << "an empty content is left out";

    // Without a task dialog: a Yes/No box with the instruction and content.
    g_taskDialogFails = true;
    g_boxAnswer = IDYES;
    EXPECT_EQ(AskTwoChoices(window.hwnd(), L"Caption", L"Instruction", L"Content", L"A", L"B"), IDYES);
    g_boxAnswer = IDNO;
    EXPECT_EQ(AskTwoChoices(window.hwnd(), L"Caption", L"Instruction", L"", L"A", L"B"), IDNO);
    ASSERT_EQ(g_boxes.size(), 2u);
    EXPECT_EQ(g_boxes[0].text, L"Instruction\n\nContent");
    EXPECT_EQ(g_boxes[0].caption, L"Caption");
    EXPECT_EQ(g_boxes[0].flags, static_cast<UINT>(MB_YESNO | MB_ICONINFORMATION));
    EXPECT_EQ(g_boxes[1].text, L"Instruction");
}

TEST_F(UpdaterTest, PostToAWindowThatIsGoneDropsTheRecord) {
    HWND gone = CreateWindowW(L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(gone);
    DestroyWindow(gone);
    PostResult(gone, new UpdateResult);   // deleted, not posted to a stale handle
    PostResult(nullptr, new UpdateResult);
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_UPDATE_RESULT, WM_UPDATE_RESULT, PM_NOREMOVE));
    StartUpdateCheck(nullptr, true);
    EXPECT_FALSE(UpdateCheckRunning()) << "no window, no check";
}

TEST_F(UpdaterTest, TheInstallerCloseWindowForgetsThePendingInstallerAndTakesTheExitPath) {
    HWND close = CreateInstallerCloseWindow(window.hwnd(), WM_COMMAND, 3002, 0);
    ASSERT_TRUE(close);
    // The installer finds it by class name alone.
    EXPECT_EQ(test::FindProcessWindow(kInstallerCloseWindowClass, GetCurrentProcessId()), close);
    EXPECT_FALSE(IsWindowVisible(close));

    // Keep an installer for exit, as "Install when quitting" does.
    auto* r = new UpdateResult;
    r->resultKind = kUpdateDownloaded;
    r->installerPath = L"C:\\nowhere\\setup.exe";
    g_answers = {IDNO};
    HandleUpdateResult(window.hwnd(), 0, reinterpret_cast<LPARAM>(r), nullptr);
    ASSERT_EQ(PendingInstaller(), L"C:\\nowhere\\setup.exe");

    SendMessageW(close, WM_CLOSE, 0, 0);
    EXPECT_EQ(PendingInstaller(), L"");
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, window.hwnd(), WM_COMMAND, WM_COMMAND, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 3002u);
    EXPECT_TRUE(IsWindow(close)) << "WM_CLOSE alone does not destroy it; the tray's exit does";
    DestroyWindow(close);
    EXPECT_EQ(test::FindProcessWindow(kInstallerCloseWindowClass, GetCurrentProcessId()), nullptr);
}

// --- against the fake update server -------------------------------------------

class UpdatePeer {
public:
    UpdatePeer() : base_(EnvOr("QS_UPDATE_URL", "")) {}
    const std::string& base() const { return base_; }
    std::string Control(const std::string& path, const std::string& json) {
        HttpClient client;
        return client.PostJson(base_ + "_control/" + path, json).body;
    }
    void Manifest(const std::string& manifestJson, int delayMs = 0) {
        Control("manifest", "{\"manifest\":" + manifestJson + ",\"delay_ms\":" + std::to_string(delayMs) + "}");
    }
    // Registers a file; returns its SHA-256 as the peer computed it.
    std::string File(const std::string& name, const std::string& unixPath) {
        std::string reply = Control("file", "{\"name\":\"" + name + "\",\"path\":\"" + unixPath + "\"}");
        cJSON* root = cJSON_Parse(reply.c_str());
        cJSON* sha = cJSON_GetObjectItemCaseSensitive(root, "sha256");
        std::string out = cJSON_IsString(sha) ? sha->valuestring : "";
        cJSON_Delete(root);
        return out;
    }
    int Count(const std::string& path) {
        HttpClient client;
        cJSON* root = cJSON_Parse(client.Get(base_ + "_control/counts").body.c_str());
        cJSON* n = cJSON_GetObjectItemCaseSensitive(root, path.c_str());
        int out = cJSON_IsNumber(n) ? n->valueint : 0;
        cJSON_Delete(root);
        return out;
    }

private:
    std::string base_;
};

const std::string kManifestUrlPath = std::string("/") + kManifestPath;

class ServerTest : public UpdaterTest {
protected:
    void SetUp() override {
        UpdaterTest::SetUp();
        ASSERT_FALSE(peer.base().empty()) << "QS_UPDATE_URL not set: the test runs beside its peer";
        ASSERT_EQ(peer.base(), UpdateBaseUrl()) << "the test build must be configured with the peer's origin";
        peer.Control("reset", "{}");
        installer = peer.File("setup.exe", RECORDER_UNIX_PATH);
        ASSERT_EQ(installer.size(), 64u);
    }
    std::string Offer(const std::string& version, const std::string& extra = "") {
        return "{\"version\":\"" + version + "\",\"url\":\"@url:setup.exe\"" + extra + "}";
    }
    UpdatePeer peer;
    std::string installer;   // SHA-256 of the served file
    TempDir temp;
    ScopedEnv tmp{L"TMP", temp.path().c_str()};
    const std::wstring setupExe = temp.path() + L"\\Quillstone\\update\\setup.exe";
};

TEST_F(ServerTest, UpToDateIsSilentOnTheTimerAndABoxWhenAsked) {
    peer.Manifest(Offer(WideToUtf8(AppVersion())));
    StartUpdateCheck(window.hwnd(), false);
    window.Settle();
    EXPECT_TRUE(window.results.empty());
    EXPECT_EQ(peer.Count(kManifestUrlPath), 1);
    EXPECT_TRUE(test::Logged("检查更新：已是最新 " + WideToUtf8(AppVersion())));

    StartUpdateCheck(window.hwnd(), true);
    ASSERT_TRUE(window.Wait(1, 20000));
    EXPECT_EQ(window.results[0].resultKind, kUpdateUpToDate);
    EXPECT_EQ(window.results[0].version, WideToUtf8(AppVersion()));
    EXPECT_EQ(peer.Count(kManifestUrlPath), 2);
}

TEST_F(ServerTest, ANewerVersionIsOfferedAndAServerErrorOnlyShownWhenAsked) {
    peer.Manifest(Offer("9.0.0", ",\"sha256\":\"@sha256:setup.exe\",\"notes\":\"n\""));
    StartUpdateCheck(window.hwnd(), false);
    ASSERT_TRUE(window.Wait(1, 20000));
    const UpdateResult& r = window.results[0];
    EXPECT_EQ(r.resultKind, kUpdateAvailable);
    EXPECT_EQ(r.version, "9.0.0");
    EXPECT_EQ(r.downloadUrl, peer.base() + "files/setup.exe");
    EXPECT_EQ(r.sha256Hex, installer);
    EXPECT_EQ(r.text, "n");

    peer.Control("manifest", R"({"status":503,"body":"busy"})");
    StartUpdateCheck(window.hwnd(), false);
    window.Settle();
    EXPECT_EQ(window.results.size(), 1u);
    StartUpdateCheck(window.hwnd(), true);
    ASSERT_TRUE(window.Wait(2, 20000));
    EXPECT_EQ(window.results[1].resultKind, kUpdateFailed);
    EXPECT_EQ(window.results[1].text, "HTTP 503");
}

TEST_F(ServerTest, ASecondCheckWhileOneRunsIsDropped) {
    peer.Manifest(Offer("9.0.0"), 1500);
    StartUpdateCheck(window.hwnd(), true);
    ASSERT_TRUE(UpdateCheckRunning());
    StartUpdateCheck(window.hwnd(), true);
    StartUpdateCheck(window.hwnd(), false);
    window.Settle();
    EXPECT_EQ(window.results.size(), 1u);
    EXPECT_EQ(peer.Count(kManifestUrlPath), 1);
}

TEST_F(ServerTest, DownloadsAreVerifiedAndOnlyARightOneIsWritten) {
    std::string expected;
    ASSERT_TRUE(ReadFileBytes(test::WindowsPath(RECORDER_UNIX_PATH), expected));

    // Wrong digest: a notice, then the failure; nothing on disk.
    StartDownload(window.hwnd(), peer.base() + "files/setup.exe", std::string(64, '0'));
    window.Settle();
    ASSERT_EQ(window.Kinds(), (std::vector<int32_t>{kUpdateProgress, kUpdateFailed}));
    EXPECT_EQ(window.results[0].text, "Downloading the update...");
    EXPECT_EQ(window.results[1].text, "Can't check for updates right now");
    EXPECT_FALSE(FileExists(setupExe));
    EXPECT_TRUE(test::Logged("下载更新：校验不一致"));

    // Right digest: written, and the path posted.
    window.results.clear();
    StartDownload(window.hwnd(), peer.base() + "files/setup.exe", installer);
    window.Settle();
    ASSERT_EQ(window.Kinds(), (std::vector<int32_t>{kUpdateProgress, kUpdateDownloaded}));
    EXPECT_EQ(window.results[1].installerPath, setupExe);
    std::string written;
    ASSERT_TRUE(ReadFileBytes(setupExe, written));
    EXPECT_EQ(written, expected);

    // No digest to check against: refused like a wrong one, the older file kept.
    ASSERT_TRUE(WriteFileBytes(setupExe, "old"));
    window.results.clear();
    StartDownload(window.hwnd(), peer.base() + "files/setup.exe", "");
    window.Settle();
    ASSERT_EQ(window.Kinds(), (std::vector<int32_t>{kUpdateProgress, kUpdateFailed}));
    ASSERT_TRUE(ReadFileBytes(setupExe, written));
    EXPECT_EQ(written, "old");

    // A missing installer: the status as the failure text.
    window.results.clear();
    StartDownload(window.hwnd(), peer.base() + "files/missing.exe", installer);
    window.Settle();
    ASSERT_EQ(window.Kinds(), (std::vector<int32_t>{kUpdateProgress, kUpdateFailed}));
    EXPECT_EQ(window.results[1].text, "HTTP 404");
}

// Reads the recorder's lines once it has had time to start (and to start twice).
std::vector<std::string> RecordedLaunches(const std::wstring& file, size_t atLeast) {
    std::vector<std::string> lines;
    auto read = [&] {
        lines.clear();
        std::string text;
        if (!ReadFileBytes(file, text)) return false;
        size_t start = 0;
        for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
            lines.push_back(text.substr(start, nl - start));
        return lines.size() >= atLeast;
    };
    WaitFor(read, 20000, 50);
    Sleep(1500);
    read();
    return lines;
}

TEST_F(ServerTest, InstallWhenQuittingThenExitLaunchesTheInstallerOnceWithTheSilentSwitches) {
    const std::wstring record = temp.path() + L"\\launches.txt";
    ScopedEnv recordEnv(L"QS_RECORD_FILE", record.c_str());
    peer.Manifest(Offer("9.0.0", ",\"sha256\":\"@sha256:setup.exe\""));
    window.handle = true;
    g_answers = {IDYES, IDNO};   // "Download", then "Install when quitting"

    StartUpdateCheck(window.hwnd(), true);
    ASSERT_TRUE(window.Wait(1, 20000));
    window.Settle();   // the download the first answer started
    window.Wait(3, 20000);
    window.Settle();
    ASSERT_EQ(window.Kinds(), (std::vector<int32_t>{kUpdateAvailable, kUpdateProgress, kUpdateDownloaded}));
    ASSERT_EQ(g_asked.size(), 2u);
    EXPECT_EQ(g_asked[1].title, L"Update ready");
    EXPECT_EQ(g_asked[1].first, L"Install now");
    EXPECT_EQ(g_asked[1].second, L"Install when quitting");
    EXPECT_EQ(window.notices, std::vector<std::wstring>{L"Downloading the update..."});
    EXPECT_EQ(PendingInstaller(), setupExe);
    EXPECT_FALSE(FileExists(record)) << "nothing is launched before Exit";

    RunPendingInstaller();
    RunPendingInstaller();   // a second Exit path finds nothing pending
    std::vector<std::string> launches = RecordedLaunches(record, 1);
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_NE(launches[0].find("setup.exe"), std::string::npos) << launches[0];
    const std::string switches = " /SILENT /NORESTART /restartapp";
    ASSERT_GE(launches[0].size(), switches.size());
    EXPECT_EQ(launches[0].substr(launches[0].size() - switches.size()), switches) << launches[0];
    EXPECT_EQ(PendingInstaller(), L"");
}

TEST_F(ServerTest, AMinVersionAboveTheRunningOneDownloadsWithoutAskingAndInstallNowLaunchesAtOnce) {
    const std::wstring record = temp.path() + L"\\launches.txt";
    ScopedEnv recordEnv(L"QS_RECORD_FILE", record.c_str());
    peer.Manifest(Offer("9.0.0", ",\"sha256\":\"@sha256:setup.exe\",\"minVersion\":\"9.0\",\"rolloutPercent\":0,\"forced\":false"));
    window.handle = true;
    g_answers = {IDYES};   // the only question: "Install now"

    StartUpdateCheck(window.hwnd(), false);
    ASSERT_TRUE(window.Wait(1, 20000));
    EXPECT_TRUE(window.results[0].forced);
    window.Settle();
    window.Wait(3, 20000);
    ASSERT_EQ(window.Kinds(), (std::vector<int32_t>{kUpdateAvailable, kUpdateProgress, kUpdateDownloaded}));
    ASSERT_EQ(g_boxes.size(), 1u) << "a forced update is announced, not offered";
    EXPECT_EQ(g_boxes[0].text.find(L"Verano Cloud Print 9.0.0 is available\n\nCurrent version "), 0u);
    ASSERT_EQ(g_asked.size(), 1u);
    EXPECT_EQ(g_asked[0].title, L"Update ready");
    EXPECT_EQ(PendingInstaller(), L"");
    std::vector<std::string> launches = RecordedLaunches(record, 1);
    EXPECT_EQ(launches.size(), 1u);
    RunPendingInstaller();
    EXPECT_EQ(RecordedLaunches(record, 1).size(), 1u) << "Exit after Install now launches nothing more";
}

// The installer waits in the user's writable temp folder: what runs must be
// what was checked, whether launched now or at Exit.
TEST_F(UpdaterTest, AnInstallerChangedAfterItsCheckIsNeverLaunched) {
    TempDir temp;
    const std::wstring record = temp.path() + L"\\launches.txt";
    ScopedEnv recordEnv(L"QS_RECORD_FILE", record.c_str());
    const std::wstring setup = temp.path() + L"\\setup.exe";
    std::string genuine;
    ASSERT_TRUE(ReadFileBytes(test::WindowsPath(RECORDER_UNIX_PATH), genuine));
    const std::string digest = Sha256Hex(genuine);
    std::string swapped = genuine;
    swapped[swapped.size() / 2] ^= 1;   // still a program that runs, one bit off

    for (int answer : {IDYES, IDNO}) {
        SCOPED_TRACE(answer == IDYES ? "install now" : "install when quitting");
        g_boxes.clear();
        ASSERT_TRUE(WriteFileBytes(setup, answer == IDYES ? swapped : genuine));
        g_answers = {answer};
        auto* r = new UpdateResult;
        r->resultKind = kUpdateDownloaded;
        r->installerPath = setup;
        r->sha256Hex = digest;
        HandleUpdateResult(window.hwnd(), 0, reinterpret_cast<LPARAM>(r), nullptr);
        if (answer == IDNO) {
            ASSERT_EQ(PendingInstaller(), setup);
            ASSERT_TRUE(WriteFileBytes(setup, swapped));   // replaced while waiting for Exit
            RunPendingInstaller();
        }
        ASSERT_EQ(g_boxes.size(), 1u);
        EXPECT_EQ(g_boxes[0].text, L"Can't check for updates right now");
        EXPECT_EQ(g_boxes[0].flags & MB_ICONMASK, static_cast<UINT>(MB_ICONWARNING));
        EXPECT_EQ(PendingInstaller(), L"");
    }
    EXPECT_TRUE(test::Logged("下载更新：校验不一致"));
    Sleep(1500);
    EXPECT_FALSE(FileExists(record)) << "a changed installer was started";

    // The untouched file still goes.
    ASSERT_TRUE(WriteFileBytes(setup, genuine));
    g_answers = {IDYES};
    auto* r = new UpdateResult;
    r->resultKind = kUpdateDownloaded;
    r->installerPath = setup;
    r->sha256Hex = digest;
    HandleUpdateResult(window.hwnd(), 0, reinterpret_cast<LPARAM>(r), nullptr);
    EXPECT_EQ(RecordedLaunches(record, 1).size(), 1u);
}

TEST_F(UpdaterTest, AFailedLaunchShowsItsRealErrorAndKeepsThePendingInstaller) {
    TempDir temp;
    const std::wstring setup = temp.path() + L"\\setup.exe";
    const std::string notAProgram = "this is not a Windows program";
    ASSERT_TRUE(WriteFileBytes(setup, notAProgram));
    g_answers = {IDNO};
    auto* r = new UpdateResult;
    r->resultKind = kUpdateDownloaded;
    r->installerPath = setup;
    r->sha256Hex = Sha256Hex(notAProgram);
    HandleUpdateResult(window.hwnd(), 0, reinterpret_cast<LPARAM>(r), nullptr);
    ASSERT_EQ(PendingInstaller(), setup);

    RunPendingInstaller();
    ASSERT_EQ(g_boxes.size(), 1u);
    const std::wstring prefix = L"启动更新安装包失败：Win32(";
    EXPECT_EQ(g_boxes[0].text.rfind(prefix, 0), 0u) << WideToUtf8(g_boxes[0].text);
    EXPECT_EQ(g_boxes[0].text.find(L"Win32(0)"), std::wstring::npos) << WideToUtf8(g_boxes[0].text);
    EXPECT_EQ(g_boxes[0].flags & MB_ICONMASK, static_cast<UINT>(MB_ICONWARNING));
    EXPECT_EQ(PendingInstaller(), setup) << "a failed launch keeps the install for the next try";
    EXPECT_TRUE(test::Logged(WideToUtf8(g_boxes[0].text)));
}

// Run from a copy in a "\Build\Bin\" folder: the timer's check does nothing,
// the asked one shows the development-run box, and neither asks the server.
TEST_F(ServerTest, FromABuildBinFolderNoCheckReachesTheServer) {
    if (EnvOr("QS_DEVRUN_CHILD", "") == "1") {
        ASSERT_TRUE(IsDevelopmentRun(ModulePath())) << WideToUtf8(ModulePath());
        window.handle = true;
        StartUpdateCheck(window.hwnd(), false);
        window.Settle();
        EXPECT_TRUE(window.results.empty());
        StartUpdateCheck(window.hwnd(), true);
        ASSERT_TRUE(window.Wait(1, 20000));
        EXPECT_EQ(window.Kinds(), std::vector<int32_t>{kUpdateDevRun});
        ASSERT_EQ(g_boxes.size(), 1u);
        EXPECT_EQ(g_boxes[0].text, L"This is a development run, so updates are not checked");
        return;
    }
    const std::wstring bin = temp.path() + L"\\Build\\Bin";
    ASSERT_TRUE(MakeDirs(bin));
    const std::wstring copy = bin + L"\\updater_tests.exe";
    ASSERT_TRUE(CopyFileW(ModulePath().c_str(), copy.c_str(), FALSE));
    peer.Manifest(Offer("9.0.0"));
    ScopedEnv child(L"QS_DEVRUN_CHILD", L"1");
    EXPECT_EQ(test::RunCommand(L"\"" + copy + L"\" --gtest_filter=ServerTest.FromABuildBinFolderNoCheckReachesTheServer",
                               120000),
              0);
    EXPECT_EQ(peer.Count(kManifestUrlPath), 0);
}

}  // namespace
}  // namespace qs
