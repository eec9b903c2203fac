#include "updater/updater.h"

#include <shellapi.h>
#include <wincrypt.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "cloud/http_client.h"
#include "foundation/dynamic_proc.h"
#include "foundation/files.h"
#include "foundation/handles.h"
#include "foundation/ids.h"
#include "foundation/logger.h"
#include "foundation/system_info.h"
#include "foundation/text.h"
#include "ui/message_box.h"
#include "ui/ui_text.h"

namespace qs {
namespace {

std::atomic<bool> g_checkRunning{false};
std::atomic<bool> g_downloadRunning{false};
// UI thread only: the installer kept for exit and the digest it was
// downloaded with, checked again right before it is launched.
std::wstring g_pendingInstaller;
std::string g_pendingSha256;

std::mutex g_taskDialogLock;
TaskDialogIndirectFn g_taskDialogFn = nullptr;

constexpr int32_t kManifestTimeoutMs = 20000;
constexpr int32_t kInstallerTimeoutMs = 120000;

void Log(int32_t level, const std::string& line) {
    if (!line.empty()) Logger::Instance().Write(level, line);
}

std::unique_ptr<HttpClient> NewClient(int32_t timeoutMs) {
    auto client = std::make_unique<HttpClient>();
    client->SetUserAgent("Quillstone/" + WideToUtf8(AppVersion()));
    client->SetTimeout(timeoutMs);
    return client;
}

UpdateResult* NewResult(int32_t kind) {
    auto* r = new UpdateResult;
    r->resultKind = kind;
    return r;
}

void RunCheck(HWND window, bool interactive) {
    if (IsDevelopmentRun(ModulePath())) {
        if (interactive) PostResult(window, NewResult(kUpdateDevRun));
        return;
    }
    std::unique_ptr<HttpClient> client = NewClient(kManifestTimeoutMs);
    HttpResponse response = client->Get(UpdateBaseUrl() + kManifestPath);
    CheckInput input;
    input.interactive = interactive;
    input.currentVersion = WideToUtf8(AppVersion());
    input.baseUrl = UpdateBaseUrl();
    input.rolloutId = RolloutId;
    CheckOutcome outcome = DecideCheck(response, input);
    Log(outcome.logLevel, outcome.logLine);
    if (outcome.result) PostResult(window, outcome.result.release());
}

void RunDownload(HWND window, const std::string& url, const std::string& sha256Hex) {
    UpdateResult* notice = NewResult(kUpdateProgress);
    notice->text = TrUtf8(TxtDownloading);
    PostResult(window, notice);

    std::unique_ptr<HttpClient> client = NewClient(kInstallerTimeoutMs);
    HttpResponse response = client->Get(url);
    if (response.status >= 200 && response.status <= 299 && !response.body.empty()) {
        // An installer runs elevated: without a digest to hold it to, it is not taken.
        if (sha256Hex.empty() || Sha256Hex(response.body) != sha256Hex) {
            Log(kWarn, "下载更新：校验不一致");
            UpdateResult* r = NewResult(kUpdateFailed);
            r->text = TrUtf8(TxtUpdateUnavailable);
            PostResult(window, r);
            return;
        }
        std::wstring path = DownloadedInstallerPath();
        bool written = !path.empty() && MakeDirs(FolderOfPath(path)) && WriteFileBytes(path, response.body);
        if (written) {
            Log(kInfo, "更新安装包已下载");
            UpdateResult* r = NewResult(kUpdateDownloaded);
            r->installerPath = path;
            r->sha256Hex = sha256Hex;
            PostResult(window, r);
        } else {
            UpdateResult* r = NewResult(kUpdateFailed);
            r->text = TrUtf8(TxtUpdateUnavailable);
            PostResult(window, r);
        }
        return;
    }
    std::string text = RequestFailureText(response);
    Log(kWarn, "下载更新失败：" + text);
    UpdateResult* r = NewResult(kUpdateFailed);
    r->text = text;
    PostResult(window, r);
}

// Runs work on a detached thread that clears flag when it ends; nothing the
// work throws leaves the thread.
template <typename Work>
void StartDetached(std::atomic<bool>& flag, Work work) {
    try {
        std::thread([&flag, work]() {
            try {
                work();
            } catch (...) {
            }
            flag.store(false);
        }).detach();
    } catch (...) {
        flag.store(false);
    }
}

struct CryptProvider {
    HCRYPTPROV handle = 0;
    ~CryptProvider() {
        if (handle) CryptReleaseContext(handle, 0);
    }
};
struct CryptHash {
    HCRYPTHASH handle = 0;
    ~CryptHash() {
        if (handle) CryptDestroyHash(handle);
    }
};

// Where the installer-close window sends the tray's Exit.
struct CloseTarget {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

LRESULT CALLBACK CloseWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_CLOSE) {
        auto* target = reinterpret_cast<CloseTarget*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        // The installer is what is closing us: launching a pending one now
        // would start a second installation over the running one.
        DiscardPendingInstaller();
        if (target) PostMessageW(target->window, target->message, target->wParam, target->lParam);
        return 0;
    }
    if (msg == WM_NCDESTROY)
        delete reinterpret_cast<CloseTarget*>(SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0));
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace

const std::string& UpdateBaseUrl() {
    static const std::string base = [] {
        std::string s = QS_UPDATE_BASE_URL;
        for (char& c : s)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return s;
    }();
    return base;
}

void StartUpdateCheck(HWND window, bool interactive) {
    if (!window) return;
    if (g_checkRunning.exchange(true)) return;
    StartDetached(g_checkRunning, [window, interactive] { RunCheck(window, interactive); });
}

void StartDownload(HWND window, const std::string& url, const std::string& sha256Hex) {
    if (g_downloadRunning.exchange(true)) return;
    StartDetached(g_downloadRunning, [window, url, sha256Hex] { RunDownload(window, url, sha256Hex); });
}

bool UpdateCheckRunning() { return g_checkRunning.load(); }
bool UpdateDownloadRunning() { return g_downloadRunning.load(); }

void PostResult(HWND window, UpdateResult* record) {
    if (!record) return;
    if (!window || !IsWindow(window) ||
        !PostMessageW(window, WM_UPDATE_RESULT, 0, reinterpret_cast<LPARAM>(record)))
        delete record;
}

void HandleUpdateResult(HWND owner, WPARAM, LPARAM lParam, const NoticeFn& showNotice) {
    std::unique_ptr<UpdateResult> r(reinterpret_cast<UpdateResult*>(lParam));
    if (!r) return;
    const std::wstring& caption = Tr(TxtCheckUpdates);
    std::string running = WideToUtf8(AppVersion());
    switch (r->resultKind) {
    case kUpdateProgress:
        if (showNotice) showNotice(Utf8ToWide(r->text));
        break;
    case kUpdateDevRun:
        ShowMessageBox(owner, Tr(TxtDevRun), caption, MB_OK | MB_ICONINFORMATION);
        break;
    case kUpdateFailed:
        ShowMessageBox(owner, r->text.empty() ? Tr(TxtUpdateUnavailable) : Utf8ToWide(r->text), caption,
                       MB_OK | MB_ICONWARNING);
        break;
    case kUpdateUpToDate: {
        std::string version = r->version.empty() ? running : r->version;
        std::wstring text = Tr(TxtUpToDate) + L"\n" + Utf8ToWide(Format(TrUtf8(TxtVersionFmt).c_str(), version.c_str()));
        ShowMessageBox(owner, text, caption, MB_OK | MB_ICONINFORMATION);
        break;
    }
    case kUpdateAvailable: {
        std::wstring instruction = Utf8ToWide(Format(TrUtf8(TxtUpdateTitle).c_str(), r->version.c_str()));
        std::wstring content = Utf8ToWide(Format(TrUtf8(TxtUpdateBody).c_str(), running.c_str()));
        if (!r->text.empty()) content += L"\n\n" + Utf8ToWide(r->text);
        if (r->forced) {
            ShowMessageBox(owner, instruction + L"\n\n" + content, caption, MB_OK | MB_ICONINFORMATION);
            StartDownload(owner, r->downloadUrl, r->sha256Hex);
        } else if (AskTwoChoices(owner, Tr(TxtUpdateAvailable), instruction, content, Tr(TxtDownload),
                                 Tr(TxtLater)) == IDYES) {
            StartDownload(owner, r->downloadUrl, r->sha256Hex);
        }
        break;
    }
    case kUpdateDownloaded:
        if (AskTwoChoices(owner, Tr(TxtUpdateReady), Tr(TxtUpdateDownloaded), Tr(TxtInstallPrompt),
                          Tr(TxtInstallNow), Tr(TxtInstallOnExit)) == IDYES) {
            g_pendingInstaller = r->installerPath;
            g_pendingSha256 = r->sha256Hex;
            RunPendingInstaller(owner);
        } else {
            g_pendingInstaller = r->installerPath;
            g_pendingSha256 = r->sha256Hex;
        }
        break;
    default:
        break;
    }
}

void RunPendingInstaller(HWND owner) {
    if (g_pendingInstaller.empty()) return;
    std::wstring path = g_pendingInstaller;
    std::string sha256 = g_pendingSha256;
    std::string error;
    switch (LaunchVerifiedInstaller(path, sha256, error)) {
    case InstallerLaunch::kLaunched:
        DiscardPendingInstaller();
        break;
    case InstallerLaunch::kChanged:
        // The file is no longer the one that was checked: never run it.
        DiscardPendingInstaller();
        LogWarn("下载更新：校验不一致");
        ShowMessageBox(owner, Tr(TxtUpdateUnavailable), Tr(TxtCheckUpdates), MB_OK | MB_ICONWARNING);
        break;
    case InstallerLaunch::kFailed:
        // Kept, so a later Exit or "install now" can try again.
        LogWarn("启动更新安装包失败：" + error);
        ShowMessageBox(owner, Utf8ToWide("启动更新安装包失败：" + error), Tr(TxtCheckUpdates),
                       MB_OK | MB_ICONWARNING);
        break;
    }
}

std::wstring PendingInstaller() { return g_pendingInstaller; }
void DiscardPendingInstaller() {
    g_pendingInstaller.clear();
    g_pendingSha256.clear();
}

void SetTaskDialogFn(TaskDialogIndirectFn fn) {
    std::lock_guard<std::mutex> lock(g_taskDialogLock);
    g_taskDialogFn = fn;
}

int AskTwoChoices(HWND owner, const std::wstring& caption, const std::wstring& instruction,
                  const std::wstring& content, const std::wstring& firstButton,
                  const std::wstring& secondButton) {
    TaskDialogIndirectFn fn;
    {
        std::lock_guard<std::mutex> lock(g_taskDialogLock);
        fn = g_taskDialogFn;
    }
    if (!fn) fn = FindLoadedProc<TaskDialogIndirectFn>(L"comctl32.dll", "TaskDialogIndirect");
    if (fn) {
        TASKDIALOG_BUTTON buttons[2] = {{IDYES, firstButton.c_str()}, {IDNO, secondButton.c_str()}};
        TASKDIALOGCONFIG config{};
        config.cbSize = sizeof(config);
        config.hwndParent = owner;
        config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW;
        config.pszWindowTitle = caption.c_str();
        config.pszMainInstruction = instruction.c_str();
        config.pszContent = content.empty() ? nullptr : content.c_str();
        config.cButtons = 2;
        config.pButtons = buttons;
        config.nDefaultButton = IDYES;
        int result = IDNO;
        if (SUCCEEDED(fn(&config, &result, nullptr, nullptr))) return result;
    }
    std::wstring text = instruction;
    if (!content.empty()) text += L"\n\n" + content;
    return ShowMessageBox(owner, text, caption, MB_YESNO | MB_ICONINFORMATION);
}

bool LaunchInstaller(const std::wstring& path, std::string& error) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    // No shell error box of its own (ours says what failed) and no return
    // before the launch is done, so the last error is the launch's.
    info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = L"open";
    info.lpFile = path.c_str();
    info.lpParameters = kInstallerParameters;
    info.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExW(&info)) return true;
    DWORD code = GetLastError();
    // Some shells fail without setting the last error; their result code
    // (2, 3, 5, 8, 11...) then says what happened.
    if (code == ERROR_SUCCESS) code = static_cast<DWORD>(reinterpret_cast<INT_PTR>(info.hInstApp));
    error = Win32ErrorText(code ? code : ERROR_GEN_FAILURE);
    return false;
}

InstallerLaunch LaunchVerifiedInstaller(const std::wstring& path, const std::string& sha256Hex,
                                        std::string& error) {
    // Held without write or delete sharing from the check through the
    // launch, so the file cannot be swapped in between.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = Win32ErrorText(0);
        return InstallerLaunch::kFailed;
    }
    UniqueHandle held(file);
    std::string bytes;
    LARGE_INTEGER size{};
    bool read = GetFileSizeEx(file, &size) && size.QuadPart >= 0 && size.QuadPart <= (1LL << 31);
    if (read) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        size_t at = 0;
        while (read && at < bytes.size()) {
            DWORD chunk = static_cast<DWORD>(bytes.size() - at < (1u << 20) ? bytes.size() - at : (1u << 20));
            DWORD got = 0;
            read = ReadFile(file, &bytes[at], chunk, &got, nullptr) && got > 0;
            at += got;
        }
    }
    if (!read) {
        error = Win32ErrorText(0);
        return InstallerLaunch::kFailed;
    }
    if (sha256Hex.empty() || Sha256Hex(bytes) != sha256Hex) return InstallerLaunch::kChanged;
    return LaunchInstaller(path, error) ? InstallerLaunch::kLaunched : InstallerLaunch::kFailed;
}

std::string RolloutId() {
    wchar_t buffer[260];
    DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, 260);
    if (n == 0 || n >= 260) return "";
    std::wstring folder = std::wstring(buffer, n) + L"\\Quillstone";
    MakeDirs(folder);
    std::wstring file = folder + L"\\rollout.id";
    std::string id;
    if (ReadFileBytes(file, id) && id.size() >= 8) return id;
    id = NewId();
    WriteFileBytes(file, id);
    return id;
}

std::string Sha256Hex(const std::string& bytes) {
    CryptProvider provider;
    if (!CryptAcquireContextW(&provider.handle, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return "";
    CryptHash hash;
    if (!CryptCreateHash(provider.handle, CALG_SHA_256, 0, 0, &hash.handle)) return "";
    // CryptHashData takes a DWORD length: feed large bodies in slices.
    const size_t kSlice = 1u << 20;
    for (size_t at = 0; at < bytes.size(); at += kSlice) {
        size_t len = bytes.size() - at < kSlice ? bytes.size() - at : kSlice;
        if (!CryptHashData(hash.handle, reinterpret_cast<const BYTE*>(bytes.data() + at),
                           static_cast<DWORD>(len), 0))
            return "";
    }
    BYTE digest[32];
    DWORD size = sizeof(digest);
    if (!CryptGetHashParam(hash.handle, HP_HASHVAL, digest, &size, 0) || size != sizeof(digest)) return "";
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (BYTE b : digest) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    return hex;
}

std::wstring DownloadedInstallerPath() {
    wchar_t buffer[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
    if (n == 0 || n > MAX_PATH) return L"";
    std::wstring temp(buffer, n);
    if (temp.back() != L'\\') temp += L'\\';
    return temp + L"Quillstone\\update\\setup.exe";
}

HWND CreateInstallerCloseWindow(HWND target, UINT message, WPARAM wParam, LPARAM lParam) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = CloseWindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = kInstallerCloseWindowClass;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;
    // Top-level (not message-only), so that FindWindow in the installer sees it.
    HWND hwnd = CreateWindowExW(0, kInstallerCloseWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                instance, nullptr);
    if (!hwnd) return nullptr;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(new CloseTarget{target, message, wParam, lParam}));
    return hwnd;
}

}  // namespace qs
