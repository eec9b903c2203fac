// The device, jobs and settings dialogs: the issue lines and boxes as
// tables, then every dialog end to end against a real core and its pipe
// server in this process (simulated devices and the fake cloud beside it, the
// in-memory print system), driven from inside the dialogs' own modal loops
// with BM_CLICK and read back from their controls. Message boxes are
// answered by the message-box seam, so nothing ever waits for a person.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>
#include <cJSON.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ble/ble_resource.h"
#include "cloud/fake_cloud_peer.h"
#include "core/core.h"
#include "foundation/files.h"
#include "foundation/handles.h"
#include "foundation/system_info.h"
#include "foundation/text.h"
#include "ipc/command_handler.h"
#include "ipc/ipc_server.h"
#include "ipc/ipc_test_util.h"
#include "jobs/device_sim_client.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "tray/png_writer.h"
#include "tray/dialog_print_queues.h"
#include "tray/add_device_dlg.h"
#include "tray/autostart.h"
#include "tray/bind_dlg.h"
#include "tray/device_actions.h"
#include "tray/device_rows.h"
#include "tray/jobs_dlg.h"
#include "tray/main_dlg.h"
#include "tray/settings_dlg.h"
#include "tray/tray_messages.h"
#include "tray/tray_service.h"
#include "ui/core_request.h"
#include "ui/message_box.h"
#include "ui/theme.h"
#include "ui/ui_text.h"

namespace qs {
namespace {

using test::TempDir;

constexpr char kCoreAbsent[] = "打印服务未运行或未安装";

JsonPtr Parse(const std::string& text) { return JsonPtr(cJSON_Parse(text.c_str())); }

// Every box the code shows, answered from a queue (IDOK when it is empty).
struct Box {
    std::wstring text;
    std::wstring caption;
    UINT flags = 0;
};

class BoxRecorder {
public:
    BoxRecorder() {
        SetMessageBoxFn([this](HWND, const std::wstring& text, const std::wstring& caption,
                               UINT flags) {
            boxes.push_back({text, caption, flags});
            if (answers.empty()) return IDOK;
            const int answer = answers.front();
            answers.pop_front();
            return answer;
        });
    }
    ~BoxRecorder() { SetMessageBoxFn({}); }
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;

    std::vector<Box> boxes;
    std::deque<int> answers;
};

UINT IconOf(UINT flags) { return flags & MB_ICONMASK; }

class Language {
public:
    explicit Language(const char* code) { SetUiLanguage(code); }
    ~Language() { SetUiLanguage("zh-CN"); }
};

// --- Issue lines and boxes ----------------------------------------------

TEST(IssueText, EveryCodeInBothLanguages) {
    struct Row {
        const char* issue;
        const wchar_t* chinese;
        const wchar_t* english;
    };
    const Row rows[] = {
        {R"({"code":"NO_DEVICE","message":"m"})", L"设备不存在", L"Device not found"},
        {R"({"code":"NO_PRINTER"})", L"尚未绑定打印机", L"No printer bound"},
        {R"({"code":"PRINTER_MISSING"})", L"找不到这台打印机", L"Printer not found"},
        {R"({"code":"PRINTER_QUERY_FAIL","arg1":"Win32(5) 拒绝访问","message":"m"})",
         L"无法读取打印机：Win32(5) 拒绝访问", L"Cannot read the printer: Win32(5) 拒绝访问"},
        {R"({"code":"PRINTER_QUERY_FAIL","message":"读取失败"})", L"读取失败", L"读取失败"},
        {R"({"code":"PORT_MISSING","arg1":"Quillnet39100","message":"m"})",
         L"端口 Quillnet39100 不存在", L"Port Quillnet39100 is missing"},
        {R"({"code":"PORT_MISMATCH","arg1":"USB001","arg2":"Quillnet39100","message":"m"})",
         L"当前端口是 USB001，应为 Quillnet39100", L"Port is USB001, expected Quillnet39100"},
        {R"({"code":"PORT_MISSING","message":"端口不见了"})", L"端口不见了", L"端口不见了"},
        {R"({"code":"PORT_MISMATCH","arg1":"","arg2":"Quillnet39100","message":"端口不对"})",
         L"端口不对", L"端口不对"},
        {R"({"code":"PORT_MISMATCH","arg2":"Quillnet39100"})", L"", L""},
        {R"({"code":"WORK_OFFLINE"})", L"已勾选「脱机使用打印机」", L"Use Printer Offline is on"},
        {R"({"code":"BIDI_ENABLED"})", L"已开启双向支持", L"Bidirectional support is on"},
        {R"({"code":"KEEP_PRINTED_JOBS"})", L"已勾选「保留打印的文档」",
         L"Keep printed documents is on"},
        {R"({"code":"PAUSED"})", L"打印机已暂停", L"Printer is paused"},
        {R"({"code":"PRINTER_ERROR"})", L"打印队列报错", L"Printer reports an error"},
        {R"({"code":"OFFLINE"})", L"打印队列显示离线", L"Printer queue is offline"},
        {R"({"code":"PAPER_OUT"})", L"打印队列显示缺纸", L"Printer is out of paper"},
        {R"({"code":"DRIVER_GONE","message":"驱动不见了"})", L"驱动不见了", L"驱动不见了"},
        {R"({"code":"DRIVER_GONE"})", L"", L""},
        // Codes are compared exactly, case included.
        {R"({"code":"paused","message":"小写"})", L"小写", L"小写"},
        {R"({"code":7,"message":"不是文字"})", L"不是文字", L"不是文字"},
        {R"("PAUSED")", L"", L""},
        // An argument is data, never a format.
        {R"({"code":"PORT_MISSING","arg1":"%s%d%n"})", L"端口 %s%d%n 不存在",
         L"Port %s%d%n is missing"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.issue);
        JsonPtr issue = Parse(row.issue);
        ASSERT_TRUE(issue);
        {
            Language zh("zh-CN");
            EXPECT_EQ(IssueText(issue.get()), row.chinese);
        }
        {
            Language en("en-US");
            EXPECT_EQ(IssueText(issue.get()), row.english);
        }
    }
    EXPECT_EQ(IssueText(nullptr), L"");
}

TEST(ShowIssues, QuietAndFullOutcomes) {
    const char* fixedPort = R"({"code":"PORT_MISSING","arg1":"Quillnet39100","fixed":true})";
    const char* openBidi = R"({"code":"BIDI_ENABLED","fixed":false})";
    const std::string oneOfEach = std::string("[") + fixedPort + "," + openBidi + "]";
    struct Row {
        const char* what;
        std::string issues;  // "" for no data at all
        bool quiet;
        bool box;
        std::wstring text;
        UINT icon;
    };
    const Row rows[] = {
        {"quiet, all fixed", std::string("[") + fixedPort + "," +
                                 R"({"code":"PAUSED","fixed":"1"})" + "]",
         true, false, L"", 0},
        {"quiet, no data", "", true, false, L"", 0},
        {"quiet, empty array", "[]", true, false, L"", 0},
        {"quiet, data not an array", R"({"code":"PAUSED"})", true, false, L"", 0},
        {"quiet, one fixed and one not: only the open one", oneOfEach, true, true,
         L"仍有问题未修复\n- 已开启双向支持  未修复", MB_ICONWARNING},
        {"full, one fixed and one not", oneOfEach, false, true,
         L"仍有问题未修复\n- 端口 Quillnet39100 不存在  已修复\n- 已开启双向支持  未修复",
         MB_ICONWARNING},
        {"full, all fixed", std::string("[") + fixedPort + "]", false, true,
         L"已修复\n- 端口 Quillnet39100 不存在  已修复", MB_ICONINFORMATION},
        {"full, no data: the headline", "", false, true, L"未发现问题", MB_ICONINFORMATION},
        {"full, empty array: the headline", "[]", false, true, L"未发现问题",
         MB_ICONINFORMATION},
        {"full, data an object: the headline", R"({"code":"PAUSED"})", false, true,
         L"未发现问题", MB_ICONINFORMATION},
        {"fixed read as a flag: true, 1, \"True\" fixed; \"yes\", 0, null not",
         R"([{"code":"PAUSED","fixed":1},{"code":"OFFLINE","fixed":"True"},)"
         R"({"code":"PAPER_OUT","fixed":"yes"},{"code":"PRINTER_ERROR","fixed":0},)"
         R"({"code":"NO_PRINTER","fixed":null}])",
         false, true,
         L"仍有问题未修复\n- 打印机已暂停  已修复\n- 打印队列显示离线  已修复"
         L"\n- 打印队列显示缺纸  未修复\n- 打印队列报错  未修复\n- 尚未绑定打印机  未修复",
         MB_ICONWARNING},
        {"an unknown code without a message", R"([{"code":"NEW_THING"}])", false, true,
         L"仍有问题未修复\n-   未修复", MB_ICONWARNING},
        {"an element that is not an object counts as unfixed", R"(["PAUSED"])", true, true,
         L"仍有问题未修复\n-   未修复", MB_ICONWARNING},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        JsonPtr issues = row.issues.empty() ? nullptr : Parse(row.issues);
        ASSERT_TRUE(row.issues.empty() || issues);
        BoxRecorder boxes;
        ShowIssues(nullptr, L"体检", L"未发现问题", issues.get(), row.quiet);
        if (!row.box) {
            EXPECT_TRUE(boxes.boxes.empty());
            continue;
        }
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].text, row.text);
        EXPECT_EQ(boxes.boxes[0].caption, L"体检");
        EXPECT_EQ(IconOf(boxes.boxes[0].flags), row.icon);
    }
}

TEST(ShowIssues, EnglishWordsAndPortMismatchOrder) {
    Language en("en-US");
    JsonPtr issues = Parse(
        R"([{"code":"PORT_MISMATCH","arg1":"USB001","arg2":"Quillnet39101","fixed":false},)"
        R"({"code":"WORK_OFFLINE","fixed":true}])");
    BoxRecorder boxes;
    ShowIssues(nullptr, L"Check", L"No issues", issues.get(), false);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text,
              L"Some issues remain\n- Port is USB001, expected Quillnet39101  Not fixed"
              L"\n- Use Printer Offline is on  Fixed");
}

TEST(DeviceDialogs, DeleteConfirmationAndTrimming) {
    DeviceRow row;
    row.name = L"前台小票机";
    row.sn = L"SN0001";
    row.snUtf8 = "SN0001";
    EXPECT_EQ(DeleteConfirmText(row), L"删除后，打印机会恢复到原来的端口。\n\n前台小票机  (SN0001)");

    struct Trim {
        const wchar_t* in;
        const wchar_t* out;
    };
    const Trim trims[] = {
        {L"", L""},          {L"   ", L""},        {L" \t\r\n", L""},
        {L"  A B  ", L"A B"}, {L"\u3000SN1\u3000", L"SN1"}, {L"x", L"x"},
    };
    for (const Trim& t : trims) EXPECT_EQ(TrimBlanks(t.in), t.out) << WideToUtf8(t.in);
}

TEST(JobsDialogDecisions, StateTextsAndIds) {
    const std::pair<int, TextId> states[] = {
        {0, TxtJobPending}, {1, TxtJobSending},  {2, TxtJobSent},     {3, TxtJobFailed},
        {4, TxtJobCanceled}, {7, TxtStatusUnknown}, {-1, TxtStatusUnknown},
    };
    for (const auto& s : states) EXPECT_EQ(JobStateText(s.first), s.second) << s.first;
    EXPECT_EQ(Tr(JobStateText(7)), L"未知");

    const std::pair<const wchar_t*, int64_t> ids[] = {
        {L"3000000001", 3000000001LL},
        {L"9007199254740993", 9007199254740993LL},
        {L"9223372036854775807", INT64_MAX},
        {L"9223372036854775808", 0},
        {L"-9223372036854775808", INT64_MIN},
        {L"-9223372036854775809", 0},
        {L"-42", -42},
        {L"0", 0},
        {L"", 0},
        {L"-", 0},
        {L"12a", 0},
        {L" 12", 0},
        {L"1e3", 0},
    };
    for (const auto& id : ids) EXPECT_EQ(ParseJobId(id.first), id.second) << WideToUtf8(id.first);
}

TEST(SettingsDialogDecisions, LanguageItems) {
    const std::pair<const char*, int> items[] = {
        {"auto", 0}, {"zh-CN", 1}, {"en-US", 2}, {"zh-TW", 0},
        {"", 0},     {"zh-cn", 0}, {"en", 0},    {"ja-JP", 0},
    };
    for (const auto& i : items) EXPECT_EQ(LanguageItemFor(i.first), i.second) << i.first;
    EXPECT_EQ(LanguageCodeFor(0), "auto");
    EXPECT_EQ(LanguageCodeFor(1), "zh-CN");
    EXPECT_EQ(LanguageCodeFor(2), "en-US");
    EXPECT_EQ(LanguageCodeFor(CB_ERR), "auto");
}

// --- Driving modal dialogs ----------------------------------------------

BOOL CALLBACK FindEnabledDialog(HWND window, LPARAM param) {
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    if (wcscmp(name, L"#32770") == 0 && IsWindowVisible(window) && IsWindowEnabled(window)) {
        *reinterpret_cast<HWND*>(param) = window;
        return FALSE;
    }
    return TRUE;
}

// The enabled, visible dialog of this thread (the one a modal loop runs).
HWND OpenDialog() {
    HWND found = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), &FindEnabledDialog, reinterpret_cast<LPARAM>(&found));
    return found;
}

// Steps run one by one, each on the dialog open at that moment, from a
// thread timer that the dialogs' modal loops dispatch. A script that stops
// making progress cancels the dialog, so a broken dialog fails the test
// instead of hanging it.
class DialogScript {
public:
    using Step = std::function<void(HWND dialog)>;

    explicit DialogScript(std::vector<Step> steps) : steps_(std::move(steps)) {
        current_ = this;
        lastProgress_ = GetTickCount();
        timer_ = SetTimer(nullptr, 0, 40, &DialogScript::Tick);
    }
    ~DialogScript() {
        KillTimer(nullptr, timer_);
        current_ = nullptr;
        if (timedOut_) ADD_FAILURE() << "a dialog stayed open and was cancelled";
    }
    DialogScript(const DialogScript&) = delete;
    DialogScript& operator=(const DialogScript&) = delete;

    size_t done() const { return next_; }
    bool timedOut() const { return timedOut_; }

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        DialogScript* self = current_;
        if (!self || self->running_) return;
        HWND dialog = OpenDialog();
        if (!dialog) return;
        // A dialog left open (by a missing step or a close that failed).
        if (GetTickCount() - self->lastProgress_ > 20000) {
            self->timedOut_ = true;
            EndDialog(dialog, IDCANCEL);
            return;
        }
        if (self->next_ >= self->steps_.size()) return;
        self->running_ = true;
        Step step = self->steps_[self->next_++];
        step(dialog);
        self->lastProgress_ = GetTickCount();
        self->running_ = false;
    }

    static inline DialogScript* current_ = nullptr;
    std::vector<Step> steps_;
    size_t next_ = 0;
    bool running_ = false;
    bool timedOut_ = false;
    DWORD lastProgress_ = 0;
    UINT_PTR timer_ = 0;
};

void Click(HWND dialog, int id) {
    HWND button = GetDlgItem(dialog, id);
    ASSERT_TRUE(button) << "no control " << id;
    SendMessageW(button, BM_CLICK, 0, 0);
}

void SetText(HWND dialog, int id, const std::wstring& text) {
    ASSERT_TRUE(SetDlgItemTextW(dialog, id, text.c_str())) << "no control " << id;
}

std::wstring WindowTextOf(HWND window) {
    wchar_t buffer[512] = {};
    GetWindowTextW(window, buffer, 512);
    return buffer;
}

std::vector<std::wstring> ComboItems(HWND combo) {
    std::vector<std::wstring> items;
    const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t buffer[256] = {};
        SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer));
        items.push_back(buffer);
    }
    return items;
}

std::wstring Cell(HWND list, int row, int column) {
    wchar_t buffer[512] = {};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = buffer;
    item.cchTextMax = 512;
    SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return buffer;
}

int RowCount(HWND list) { return static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); }

int RowWithId(HWND list, const std::wstring& id) {
    for (int i = 0; i < RowCount(list); ++i)
        if (Cell(list, i, 0) == id) return i;
    return -1;
}

void Select(HWND list, int row) {
    LVITEMW item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

// The autostart value as the registry holds it.
struct RunValue {
    bool exists = false;
    std::wstring data;
};
RunValue ReadRunValue() {
    RunValue v;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kAutostartKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return v;
    wchar_t buffer[1024] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, kAutostartValue, nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                         &size) == ERROR_SUCCESS) {
        v.exists = true;
        v.data = buffer;
    }
    RegCloseKey(key);
    return v;
}

// --- A real core behind the pipe --------------------------------------------

class DialogsTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        ASSERT_TRUE(sim_.available()) << "run with tools/device_sim.py beside";
        ASSERT_TRUE(cloud_.Available()) << "run with tools/fake_cloud.py beside";
        sim_.Reset();
        cloud_.Reset();
        SetUiLanguage("zh-CN");
        SetAutostart(false);

        CoreOptions o;
        o.dataRoot = dir_.path();
        o.cloudBaseUrl = cloud_.BaseUrl();
        o.discovery.local_port = 0;
        o.discovery.device_port = sim_.udpPort();
        o.delivery.device_port = sim_.tcpPort();
        o.cloudSleep = [](int32_t, const std::atomic<bool>*) {};
        o.printSystem = printers_.system();
        o.isElevated = [] { return true; };
        // Jobs change only when a test asks for it.
        o.workerIntervalMs = 3600000;
        core_ = std::make_unique<Core>(o);
        ASSERT_TRUE(core_->Start(false));

        server_ = std::make_unique<IpcServer>(
            [this](const std::string& request) { return Answer(request); }, pipe_);
        ASSERT_TRUE(server_->Start());
        SetCorePipeName(pipe_);
    }

    void TearDown() override {
        SetCorePipeName(L"");
        SetAutostart(false);
        if (server_) server_->Stop();
        if (core_) core_->Stop();
        WSACleanup();
    }

    // The core's answer, unless the test scripted one for that command.
    std::string Answer(const std::string& request) {
        std::string cmd;
        if (JsonPtr root = Parse(request)) cmd = JsonString(root.get(), "cmd");
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
            auto it = scripted_.find(cmd);
            if (it != scripted_.end()) return it->second;
        }
        return HandleCommand(*core_, request);
    }
    void Script(const std::string& cmd, const std::string& reply) {
        std::lock_guard<std::mutex> lock(mutex_);
        scripted_[cmd] = reply;
    }
    std::vector<std::string> RequestsOf(const std::string& cmd) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (const std::string& r : requests_)
            if (r.rfind("{\"cmd\":\"" + cmd + "\"", 0) == 0) out.push_back(r);
        return out;
    }

    // The rows the main window would build from the core's list now.
    std::vector<DeviceRow> Rows() {
        return RowsFromListReply(CoreRequest("list", nullptr, 3000).get());
    }
    DeviceRow RowOf(const std::string& sn) {
        for (const DeviceRow& row : Rows())
            if (row.snUtf8 == sn) return row;
        ADD_FAILURE() << "no row for " << sn;
        return DeviceRow();
    }
    void Add(const std::string& sn, const std::string& name = "") {
        CloudResult r = core_->AddDevice(sn, "code-" + sn, name, "", 0, 0);
        ASSERT_EQ(r.code, 0) << sn << " " << r.message;
    }

    // Runs SQL on a second connection to the core's database.
    void RawSql(const std::string& sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open16((dir_ / L"qnconfig.db").c_str(), &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 5000);
        char* error = nullptr;
        const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
        const std::string text = error ? error : "";
        sqlite3_free(error);
        sqlite3_close(db);
        ASSERT_EQ(rc, SQLITE_OK) << text;
    }

    // Prints one receipt to a device's loopback port, as the spooler would.
    void PrintTo(int32_t port, const std::string& bytes) {
        UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<u_short>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0) << port;
        ASSERT_EQ(send(s.get(), bytes.data(), static_cast<int>(bytes.size()), 0),
                  static_cast<int>(bytes.size()));
        shutdown(s.get(), SD_SEND);
        char sink[16];
        while (recv(s.get(), sink, sizeof(sink), 0) > 0) {
        }
    }

    void MakeCoreAbsent() { SetCorePipeName(test::UniquePipeName()); }

    test::DialogPrintQueues printers_;  // outlives the core, which points at it
    TempDir dir_;
    test::DeviceSim sim_;
    test::FakeCloudPeer cloud_;
    std::unique_ptr<Core> core_;
    const std::wstring pipe_ = test::UniquePipeName();
    std::unique_ptr<IpcServer> server_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::map<std::string, std::string> scripted_;
};

// --- Add -----------------------------------------------------------------------

TEST_F(DialogsTest, AddFromTheDialogsEditsBringsTheRow) {
    cloud_.Config(R"({"codes":{"DLGOFF1":"right-code"}})");
    BoxRecorder boxes;
    std::wstring title, hint, okText;
    DialogScript script({[&](HWND dialog) {
        title = WindowTextOf(dialog);
        hint = WindowTextOf(GetDlgItem(dialog, AddDeviceDlg::kHint));
        okText = WindowTextOf(GetDlgItem(dialog, IDOK));
        SetText(dialog, AddDeviceDlg::kSnEdit, L"  DLGOFF1\t");
        SetText(dialog, AddDeviceDlg::kCodeEdit, L" right-code ");
        SetText(dialog, AddDeviceDlg::kNameEdit, L"   ");
        Click(dialog, IDOK);
    }});
    EXPECT_TRUE(OnAddDevice(nullptr)) << "a successful add asks for a refresh";
    EXPECT_EQ(script.done(), 1u);
    EXPECT_FALSE(script.timedOut());
    EXPECT_TRUE(boxes.boxes.empty()) << WideToUtf8(boxes.boxes[0].text);
    EXPECT_EQ(title, L"添加设备");
    EXPECT_EQ(hint, L"编号在机身标签上，验证码在云平台上");
    EXPECT_EQ(okText, L"确定");

    // Trimmed values, and the blank name sent as an empty one.
    const std::vector<std::string> adds = RequestsOf("add");
    ASSERT_EQ(adds.size(), 1u);
    EXPECT_EQ(adds[0], R"({"cmd":"add","sn":"DLGOFF1","crc":"right-code","name":""})");

    const DeviceRow row = RowOf("DLGOFF1");
    EXPECT_EQ(row.sn, L"DLGOFF1");
    EXPECT_EQ(row.name, L"DLGOFF1");
    EXPECT_EQ(row.portText, L"Quillnet39100");
}

TEST_F(DialogsTest, BlankSerialIsRefusedAndTheDialogStaysOpen) {
    BoxRecorder boxes;
    bool stillOpen = false;
    DialogScript script({
        [&](HWND dialog) {
            SetText(dialog, AddDeviceDlg::kSnEdit, L"    ");
            SetText(dialog, AddDeviceDlg::kCodeEdit, L"abc");
            Click(dialog, IDOK);
        },
        [&](HWND dialog) {
            stillOpen = true;
            // A code of blanks only is refused the same way.
            SetText(dialog, AddDeviceDlg::kSnEdit, L"DLGOFF1");
            SetText(dialog, AddDeviceDlg::kCodeEdit, L" \u3000 ");
            Click(dialog, IDOK);
        },
        [&](HWND dialog) { Click(dialog, IDCANCEL); },
    });
    EXPECT_FALSE(OnAddDevice(nullptr));
    EXPECT_EQ(script.done(), 3u);
    EXPECT_TRUE(stillOpen);
    ASSERT_EQ(boxes.boxes.size(), 2u);
    for (const Box& box : boxes.boxes) {
        EXPECT_EQ(box.text, L"请填写设备编号和验证码");
        EXPECT_EQ(box.caption, L"提示");
        EXPECT_EQ(IconOf(box.flags), static_cast<UINT>(MB_ICONWARNING));
    }
    EXPECT_TRUE(RequestsOf("add").empty());
    EXPECT_TRUE(cloud_.RequestsTo("/v1/auth/device-token").empty());
}

TEST_F(DialogsTest, WrongCodeShowsTheCloudsRefusalAndNoRefresh) {
    cloud_.Config(R"({"codes":{"DLGOFF2":"right-code"}})");
    BoxRecorder boxes;
    DialogScript script({[&](HWND dialog) {
        SetText(dialog, AddDeviceDlg::kSnEdit, L"DLGOFF2");
        SetText(dialog, AddDeviceDlg::kCodeEdit, L"wrong-code");
        SetText(dialog, AddDeviceDlg::kNameEdit, L"仓库");
        Click(dialog, IDOK);
    }});
    EXPECT_FALSE(OnAddDevice(nullptr)) << "a refused add must not refresh";
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].caption, L"添加失败");
    EXPECT_NE(boxes.boxes[0].text.find(L"验证码错误"), std::wstring::npos)
        << WideToUtf8(boxes.boxes[0].text);
    EXPECT_EQ(IconOf(boxes.boxes[0].flags), static_cast<UINT>(MB_ICONERROR));
    EXPECT_TRUE(Rows().empty());
}

// --- Bind, check, test page, delete ---------------------------------------------

TEST_F(DialogsTest, BindPicksAQueueFromThePrintersReplyAndStaysQuietWhenAllIsFixed) {
    Add("DLGOFF1");
    BoxRecorder boxes;
    std::vector<std::wstring> offered;
    std::wstring selected, hint;
    DialogScript script({[&](HWND dialog) {
        HWND combo = GetDlgItem(dialog, BindDlg::kPrinterCombo);
        offered = ComboItems(combo);
        selected = WindowTextOf(combo);
        hint = WindowTextOf(GetDlgItem(dialog, BindDlg::kHint));
        SendMessageW(combo, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                     reinterpret_cast<LPARAM>(L"收银台"));
        Click(dialog, IDOK);
    }});
    EXPECT_TRUE(OnBindDevice(nullptr, RowOf("DLGOFF1")));
    EXPECT_EQ(script.done(), 1u);
    // Both queues the core reported, in the combo box's sorted order.
    ASSERT_EQ(offered.size(), 2u);
    EXPECT_EQ(offered[0], L"Office Laser");
    EXPECT_EQ(offered[1], L"收银台");
    EXPECT_EQ(selected, L"Office Laser") << "the first entry starts selected";
    EXPECT_EQ(hint, L"绑定后，选择这个驱动打印，会打印到该打印设备。");

    const std::vector<std::string> binds = RequestsOf("bind");
    ASSERT_EQ(binds.size(), 1u);
    EXPECT_EQ(binds[0], R"({"cmd":"bind","sn":"DLGOFF1","printer":"收银台"})");
    // The port and the bidi switch were repaired: nothing to tell.
    EXPECT_TRUE(boxes.boxes.empty()) << WideToUtf8(boxes.boxes[0].text);
    EXPECT_EQ(printers_.PortOf(L"收银台"), L"Quillnet39100");
    EXPECT_EQ(RowOf("DLGOFF1").printerText, L"收银台");
}

TEST_F(DialogsTest, BindShowsOnlyTheIssuesThatRemain) {
    Add("DLGOFF1");
    BoxRecorder boxes;
    DialogScript script({[&](HWND dialog) {
        SendMessageW(GetDlgItem(dialog, BindDlg::kPrinterCombo), CB_SELECTSTRING,
                     static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(L"Office Laser"));
        Click(dialog, IDOK);
    }});
    EXPECT_TRUE(OnBindDevice(nullptr, RowOf("DLGOFF1")));
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].caption, L"绑定打印机");
    // The port mismatch was repaired and stays out of the box.
    EXPECT_EQ(boxes.boxes[0].text, L"仍有问题未修复\n- 打印队列显示缺纸  未修复");
    EXPECT_EQ(IconOf(boxes.boxes[0].flags), static_cast<UINT>(MB_ICONWARNING));
}

TEST_F(DialogsTest, BindWithoutPrintersOffersNothingToConfirm) {
    Add("DLGOFF1");
    Script("printers", R"({"ok":false,"error":"枚举打印机失败"})");
    BoxRecorder boxes;
    std::wstring hint;
    bool stillOpen = false;
    DialogScript script({
        [&](HWND dialog) {
            hint = WindowTextOf(GetDlgItem(dialog, BindDlg::kHint));
            EXPECT_EQ(SendMessageW(GetDlgItem(dialog, BindDlg::kPrinterCombo), CB_GETCOUNT, 0, 0), 0);
            Click(dialog, IDOK);
        },
        [&](HWND dialog) {
            stillOpen = true;
            Click(dialog, IDCANCEL);
        },
    });
    EXPECT_FALSE(OnBindDevice(nullptr, RowOf("DLGOFF1")));
    EXPECT_EQ(hint, L"枚举打印机失败");
    EXPECT_TRUE(stillOpen) << "OK without a printer must do nothing";
    EXPECT_TRUE(RequestsOf("bind").empty());
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(DialogsTest, CheckShowsEveryIssueAndRefreshes) {
    Add("DLGOFF1");
    BoxRecorder boxes;
    EXPECT_TRUE(OnCheckDevice(nullptr, RowOf("DLGOFF1")));
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].caption, L"体检");
    EXPECT_EQ(boxes.boxes[0].text, L"仍有问题未修复\n- 尚未绑定打印机  未修复");
    EXPECT_EQ(IconOf(boxes.boxes[0].flags), static_cast<UINT>(MB_ICONWARNING));
    EXPECT_EQ(RequestsOf("repair").at(0), R"({"cmd":"repair","sn":"DLGOFF1"})");
}

TEST_F(DialogsTest, TestPageReachesTheDevice) {
    Add("DLGLAN1");
    BoxRecorder boxes;
    OnTestDevice(nullptr, RowOf("DLGLAN1"));
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].caption, L"测试页");
    EXPECT_EQ(boxes.boxes[0].text, L"测试页已发送，请看出纸");
    EXPECT_EQ(IconOf(boxes.boxes[0].flags), static_cast<UINT>(MB_ICONINFORMATION));

    const std::vector<test::SimJob> got = sim_.WaitJobs(1, 10000, "DLGLAN1");
    ASSERT_EQ(got.size(), 1u);
    std::string received;
    ASSERT_TRUE(sim_.JobBytes(got[0], &received));
    const std::vector<JobRecord> jobs = core_->ListJobs(10);
    ASSERT_EQ(jobs.size(), 1u);
    std::string page;
    ASSERT_TRUE(ReadFileBytes(Utf8ToWide(jobs[0].path), page));
    EXPECT_EQ(received, page);
    EXPECT_EQ(received.rfind(Core::TestPage("").substr(0, 8), 0), 0u) << "not the test page";
}

TEST_F(DialogsTest, DeleteAsksFirstAndRemovesOnYes) {
    Add("DLGOFF3", "前台小票机");
    const DeviceRow row = RowOf("DLGOFF3");
    BoxRecorder boxes;
    boxes.answers = {IDNO};
    EXPECT_FALSE(OnDeleteDevice(nullptr, row));
    EXPECT_TRUE(RequestsOf("remove").empty());
    EXPECT_EQ(Rows().size(), 1u);

    boxes.answers = {IDYES};
    EXPECT_TRUE(OnDeleteDevice(nullptr, row));
    ASSERT_EQ(boxes.boxes.size(), 2u);
    for (const Box& box : boxes.boxes) {
        EXPECT_EQ(box.caption, L"删除设备");
        EXPECT_EQ(box.text, L"删除后，打印机会恢复到原来的端口。\n\n前台小票机  (DLGOFF3)");
        EXPECT_EQ(box.flags & MB_TYPEMASK, static_cast<UINT>(MB_YESNO));
        EXPECT_EQ(IconOf(box.flags), static_cast<UINT>(MB_ICONQUESTION));
    }
    EXPECT_TRUE(Rows().empty()) << "the row is gone after Yes";
}

TEST_F(DialogsTest, EveryActionSaysSoWhenTheCoreIsAbsent) {
    Add("DLGOFF1");
    const DeviceRow row = RowOf("DLGOFF1");
    MakeCoreAbsent();
    const std::wstring absent = Utf8ToWide(kCoreAbsent);
    struct Expected {
        const char* what;
        std::wstring caption;
    };
    {
        BoxRecorder boxes;
        DialogScript script({[&](HWND dialog) {
            SetText(dialog, AddDeviceDlg::kSnEdit, L"DLGOFF2");
            SetText(dialog, AddDeviceDlg::kCodeEdit, L"c");
            Click(dialog, IDOK);
        }});
        EXPECT_FALSE(OnAddDevice(nullptr));
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].caption, L"添加失败");
        EXPECT_EQ(boxes.boxes[0].text, absent);
    }
    {
        BoxRecorder boxes;
        std::wstring hint;
        DialogScript script({[&](HWND dialog) {
            hint = WindowTextOf(GetDlgItem(dialog, BindDlg::kHint));
            Click(dialog, IDCANCEL);
        }});
        EXPECT_FALSE(OnBindDevice(nullptr, row));
        EXPECT_EQ(hint, absent) << "the bind dialog shows it in place of its hint";
        EXPECT_TRUE(boxes.boxes.empty());
    }
    const std::vector<Expected> boxesOf = {{"check", L"错误"}, {"test page", L"测试页"}, {"delete", L"错误"}};
    for (const Expected& e : boxesOf) {
        SCOPED_TRACE(e.what);
        BoxRecorder boxes;
        boxes.answers = {IDYES};
        const std::string what = e.what;
        if (what == "check") {
            EXPECT_FALSE(OnCheckDevice(nullptr, row));
        } else if (what == "test page") {
            OnTestDevice(nullptr, row);
        } else {
            OnDeleteDevice(nullptr, row);
        }
        ASSERT_FALSE(boxes.boxes.empty());
        const Box& last = boxes.boxes.back();
        EXPECT_EQ(last.caption, e.caption);
        EXPECT_EQ(last.text, absent);
        EXPECT_EQ(IconOf(last.flags), static_cast<UINT>(MB_ICONERROR));
    }
    EXPECT_EQ(core_->SnapshotDevices().size(), 1u);
}

// --- Jobs --------------------------------------------------------------------

TEST_F(DialogsTest, JobsListShowsReceiptsAndRetryAndCancelChangeThem) {
    Add("DLGLAN1");
    const int32_t port = core_->FindDevice("DLGLAN1").port;
    PrintTo(port, "\x1B@first receipt\n");
    PrintTo(port, "\x1B@second receipt\n");
    ASSERT_TRUE(test::WaitFor(
        [&] {
            std::vector<JobRecord> jobs = core_->ListJobs(10);
            return jobs.size() == 2 && jobs[0].state == kJobCompleted &&
                   jobs[1].state == kJobCompleted;
        },
        15000));

    BoxRecorder boxes;
    std::vector<std::vector<std::wstring>> shown;
    bool listVisible = false, emptyVisible = true;
    DialogScript first({[&](HWND dialog) {
        HWND list = GetDlgItem(dialog, JobsDlg::kList);
        listVisible = IsWindowVisible(list);
        emptyVisible = IsWindowVisible(GetDlgItem(dialog, JobsDlg::kEmpty));
        // Columns and rows follow the DPI.
        const int widths[] = {70, 140, 100, 150, 220};
        for (int c = 0; c < 5; ++c) {
            EXPECT_EQ(SendMessageW(list, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(c), 0),
                      Scale(dialog, widths[c]))
                << "column " << c;
        }
        RECT item{};
        item.left = LVIR_BOUNDS;
        SendMessageW(list, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&item));
        // The image list sets the height; report rows add one pixel of padding.
        EXPECT_GE(item.bottom - item.top, Scale(dialog, 32));
        EXPECT_LE(item.bottom - item.top, Scale(dialog, 32) + 1);
        const LRESULT style = SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
        EXPECT_EQ(style & (LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP | LVS_EX_DOUBLEBUFFER),
                  LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP | LVS_EX_DOUBLEBUFFER);
        for (int r = 0; r < RowCount(list); ++r) {
            std::vector<std::wstring> cells;
            for (int c = 0; c < 5; ++c) cells.push_back(Cell(list, r, c));
            shown.push_back(cells);
        }
        Click(dialog, IDOK);
    }});
    {
        JobsDlg dialog;
        EXPECT_EQ(dialog.Run(nullptr), IDOK);
    }
    EXPECT_TRUE(listVisible);
    EXPECT_FALSE(emptyVisible);
    const std::vector<JobRecord> jobs = core_->ListJobs(10);
    ASSERT_EQ(shown.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(shown[i][0], std::to_wstring(jobs[i].id));
        EXPECT_EQ(shown[i][1], L"DLGLAN1");
        EXPECT_EQ(shown[i][2], L"已送到设备");
        EXPECT_EQ(shown[i][3], Utf8ToWide(jobs[i].created_at));
        EXPECT_EQ(shown[i][4], L"");
    }

    // One failed job, and one pending job whose id needs more than 32 bits.
    const int64_t failedId = jobs[0].id;
    const int64_t pendingId = jobs[1].id;
    RawSql("UPDATE job SET state=3, error='设备不在线' WHERE id=" + std::to_string(failedId));
    RawSql("UPDATE job_target SET state=3 WHERE job_id=" + std::to_string(failedId));
    RawSql("UPDATE job SET state=0, next_retry_at=9000000000000, id=3000000001 WHERE id=" +
           std::to_string(pendingId));
    RawSql("UPDATE job_target SET job_id=3000000001 WHERE job_id=" + std::to_string(pendingId));

    const std::wstring failed = std::to_wstring(failedId);
    std::wstring failedState, bigState, bigAfterCancel, failedAfterRetry, failedError;
    DialogScript second({[&](HWND dialog) {
        HWND list = GetDlgItem(dialog, JobsDlg::kList);
        failedState = Cell(list, RowWithId(list, failed), 2);
        failedError = Cell(list, RowWithId(list, failed), 4);
        bigState = Cell(list, RowWithId(list, L"3000000001"), 2);

        // Nothing selected: a hint, no request.
        Click(dialog, JobsDlg::kRetry);
        Click(dialog, JobsDlg::kCancelJob);

        Select(list, RowWithId(list, L"3000000001"));
        Click(dialog, JobsDlg::kCancelJob);
        bigAfterCancel = Cell(list, RowWithId(list, L"3000000001"), 2);

        Select(list, RowWithId(list, failed));
        Click(dialog, JobsDlg::kRetry);
        failedAfterRetry = Cell(list, RowWithId(list, failed), 2);
        Click(dialog, IDOK);
    }});
    {
        JobsDlg dialog;
        dialog.Run(nullptr);
    }
    EXPECT_EQ(second.done(), 1u);
    EXPECT_EQ(failedState, L"失败");
    EXPECT_EQ(failedError, L"设备不在线");
    EXPECT_EQ(bigState, L"等待中");
    EXPECT_EQ(bigAfterCancel, L"已取消");
    EXPECT_EQ(failedAfterRetry, L"已送到设备");

    ASSERT_EQ(boxes.boxes.size(), 2u) << "one hint per button pressed without a selection";
    for (const Box& box : boxes.boxes) {
        EXPECT_EQ(box.text, L"请先选择一条任务");
        EXPECT_EQ(box.caption, L"提示");
        EXPECT_EQ(IconOf(box.flags), static_cast<UINT>(MB_ICONINFORMATION));
    }
    const std::vector<std::string> cancels = RequestsOf("cancel");
    ASSERT_EQ(cancels.size(), 1u);
    EXPECT_EQ(cancels[0], R"({"cmd":"cancel","id":3000000001})");
    const std::vector<std::string> retries = RequestsOf("retry");
    ASSERT_EQ(retries.size(), 1u);
    EXPECT_EQ(retries[0], "{\"cmd\":\"retry\",\"id\":" + std::to_string(failedId) + "}");
    EXPECT_EQ(sim_.WaitJobs(3, 10000, "DLGLAN1").size(), 3u) << "the retried job went out again";
}

TEST_F(DialogsTest, JobsListWithoutJobsOrWithoutCore) {
    Script("jobs", R"({"ok":true,"data":[{"id":"12","sn":"X","state":7},"not a job"]})");
    std::wstring unknownState;
    DialogScript scripted({[&](HWND dialog) {
        HWND list = GetDlgItem(dialog, JobsDlg::kList);
        EXPECT_EQ(RowCount(list), 2);
        EXPECT_EQ(Cell(list, 0, 0), L"12");
        unknownState = Cell(list, 0, 2);
        EXPECT_EQ(Cell(list, 1, 0), L"0") << "a non-object element keeps its defaults";
        Click(dialog, IDOK);
    }});
    {
        JobsDlg dialog;
        dialog.Run(nullptr);
    }
    EXPECT_EQ(unknownState, L"未知");

    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::wstring text;
    };
    const std::vector<Case> cases = {
        {"no jobs", [&] { scripted_.clear(); }, L"暂无任务"},
        {"an error reply", [&] { Script("jobs", R"({"ok":false,"error":"读取失败"})"); },
         L"读取失败"},
        {"core absent", [&] { MakeCoreAbsent(); }, Utf8ToWide(kCoreAbsent)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.arrange();
        std::wstring text;
        bool listVisible = true, emptyVisible = false;
        RECT listRect{}, emptyRect{};
        DialogScript script({[&](HWND dialog) {
            HWND list = GetDlgItem(dialog, JobsDlg::kList);
            HWND empty = GetDlgItem(dialog, JobsDlg::kEmpty);
            text = WindowTextOf(empty);
            listVisible = IsWindowVisible(list);
            emptyVisible = IsWindowVisible(empty);
            GetWindowRect(list, &listRect);
            GetWindowRect(empty, &emptyRect);
            Click(dialog, IDOK);
        }});
        JobsDlg dialog;
        dialog.Run(nullptr);
        EXPECT_EQ(text, c.text);
        EXPECT_FALSE(listVisible);
        EXPECT_TRUE(emptyVisible);
        EXPECT_TRUE(EqualRect(&listRect, &emptyRect)) << "the text takes the list's place";
    }
}

// --- Settings ----------------------------------------------------------------

TEST_F(DialogsTest, SettingsReadTheCoreAndOkSavesThemWithTheRunValue) {
    ASSERT_EQ(HandleCommand(*core_,
                            R"({"cmd":"setconfig","multiPrint":true,"showMessage":false,"language":"zh-TW"})"),
              R"({"ok":true,"data":""})");
    int languageItem = -1;
    bool multi = false, notice = true, autostart = true;
    std::wstring version, languages;
    DialogScript script({[&](HWND dialog) {
        HWND combo = GetDlgItem(dialog, SettingsDlg::kLanguage);
        languageItem = static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
        for (const std::wstring& item : ComboItems(combo)) languages += item + L"|";
        multi = IsDlgButtonChecked(dialog, SettingsDlg::kMultiPrint) == BST_CHECKED;
        notice = IsDlgButtonChecked(dialog, SettingsDlg::kShowNotice) == BST_CHECKED;
        autostart = IsDlgButtonChecked(dialog, SettingsDlg::kAutostart) == BST_CHECKED;
        version = WindowTextOf(GetDlgItem(dialog, SettingsDlg::kVersion));
        Click(dialog, SettingsDlg::kShowNotice);
        Click(dialog, SettingsDlg::kAutostart);
        Click(dialog, SettingsDlg::kCheckUpdates);  // no owner window here, so the check returns at once
        Click(dialog, IDOK);
    }});
    SettingsDlg dialog;
    EXPECT_EQ(dialog.Run(nullptr), IDOK);
    EXPECT_EQ(script.done(), 1u);
    EXPECT_EQ(languageItem, 0) << "a Traditional Chinese code follows the system";
    EXPECT_EQ(languages, L"跟随系统|简体中文|English|");
    EXPECT_TRUE(multi);
    EXPECT_FALSE(notice);
    EXPECT_FALSE(autostart);
    EXPECT_EQ(version, L"版本 " + AppVersion());

    EXPECT_EQ(dialog.language(), "auto");
    const std::vector<std::string> saves = RequestsOf("setconfig");
    ASSERT_EQ(saves.size(), 1u);
    EXPECT_EQ(saves[0], R"({"cmd":"setconfig","multiPrint":true,"showMessage":true,"language":"auto"})");
    const SettingsRecord saved = core_->GetSettings();
    EXPECT_EQ(saved.lang, "auto");
    EXPECT_TRUE(saved.multi);
    EXPECT_TRUE(saved.msg);
    const RunValue run = ReadRunValue();
    EXPECT_TRUE(run.exists);
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    EXPECT_EQ(run.data, L"\"" + std::wstring(exe) + L"\" /tray");

    // Unchecking it again deletes the value once the core took the rest.
    DialogScript again({[&](HWND dialog) {
        EXPECT_EQ(IsDlgButtonChecked(dialog, SettingsDlg::kAutostart), BST_CHECKED);
        EXPECT_EQ(SendMessageW(GetDlgItem(dialog, SettingsDlg::kLanguage), CB_GETCURSEL, 0, 0), 0);
        SendMessageW(GetDlgItem(dialog, SettingsDlg::kLanguage), CB_SETCURSEL, 2, 0);
        Click(dialog, SettingsDlg::kAutostart);
        Click(dialog, IDOK);
    }});
    SettingsDlg second;
    EXPECT_EQ(second.Run(nullptr), IDOK);
    EXPECT_EQ(second.language(), "en-US");
    EXPECT_EQ(core_->GetSettings().lang, "en-US");
    EXPECT_FALSE(ReadRunValue().exists);
}

TEST_F(DialogsTest, SettingsReadFlagsTheWayTheCoreMayWriteThem) {
    struct Row {
        const char* reply;
        int languageItem;
        bool multi;
        bool notice;
    };
    const Row rows[] = {
        {R"({"ok":true,"data":{"multiPrint":"1","showMessage":"yes","language":"en-US"}})", 2,
         true, false},
        {R"({"ok":true,"data":{"multiPrint":"True","showMessage":1,"language":"zh-CN"}})", 1,
         true, true},
        {R"({"ok":true,"data":{"multiPrint":"TRUE","showMessage":"0"}})", 0, false, false},
        {R"({"ok":true,"data":{"multiPrint":true,"showMessage":true,"language":7}})", 0, true,
         true},
        {R"({"ok":false,"data":{"multiPrint":true,"showMessage":true,"language":"en-US"}})", 0,
         false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        Script("config", row.reply);
        int languageItem = -1;
        bool multi = !row.multi, notice = !row.notice;
        DialogScript script({[&](HWND dialog) {
            languageItem = static_cast<int>(
                SendMessageW(GetDlgItem(dialog, SettingsDlg::kLanguage), CB_GETCURSEL, 0, 0));
            multi = IsDlgButtonChecked(dialog, SettingsDlg::kMultiPrint) == BST_CHECKED;
            notice = IsDlgButtonChecked(dialog, SettingsDlg::kShowNotice) == BST_CHECKED;
            Click(dialog, IDCANCEL);
        }});
        SettingsDlg dialog;
        EXPECT_EQ(dialog.Run(nullptr), IDCANCEL);
        EXPECT_EQ(languageItem, row.languageItem);
        EXPECT_EQ(multi, row.multi);
        EXPECT_EQ(notice, row.notice);
    }
    EXPECT_TRUE(RequestsOf("setconfig").empty()) << "cancel saves nothing";
}

TEST_F(DialogsTest, FailedSaveChangesNeitherTheCoreNorTheRegistry) {
    // The database refuses every change of the settings row.
    for (const char* op : {"INSERT", "UPDATE", "DELETE"}) {
        RawSql(std::string("CREATE TRIGGER refuse_") + op + " BEFORE " + op +
               " ON sysconf BEGIN SELECT RAISE(ABORT, 'read-only'); END");
    }
    const SettingsRecord before = core_->GetSettings();
    BoxRecorder boxes;
    bool stillOpen = false;
    DialogScript script({
        [&](HWND dialog) {
            Click(dialog, SettingsDlg::kMultiPrint);
            Click(dialog, SettingsDlg::kAutostart);
            SendMessageW(GetDlgItem(dialog, SettingsDlg::kLanguage), CB_SETCURSEL, 2, 0);
            Click(dialog, IDOK);
        },
        [&](HWND dialog) {
            stillOpen = true;
            Click(dialog, IDCANCEL);
        },
    });
    SettingsDlg dialog;
    EXPECT_EQ(dialog.Run(nullptr), IDCANCEL);
    EXPECT_TRUE(stillOpen);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].caption, L"错误");
    EXPECT_EQ(boxes.boxes[0].text, L"保存设置失败");
    EXPECT_EQ(IconOf(boxes.boxes[0].flags), static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(RequestsOf("setconfig").size(), 1u);
    const SettingsRecord after = core_->GetSettings();
    EXPECT_EQ(after.multi, before.multi);
    EXPECT_EQ(after.lang, before.lang);
    EXPECT_FALSE(ReadRunValue().exists) << "autostart must wait for the core's yes";
}

TEST_F(DialogsTest, SettingsWithoutTheCore) {
    SetAutostart(true);
    MakeCoreAbsent();
    BoxRecorder boxes;
    int languageItem = -1;
    bool multi = true, notice = true, autostart = false, stillOpen = false;
    DialogScript script({
        [&](HWND dialog) {
            languageItem = static_cast<int>(
                SendMessageW(GetDlgItem(dialog, SettingsDlg::kLanguage), CB_GETCURSEL, 0, 0));
            multi = IsDlgButtonChecked(dialog, SettingsDlg::kMultiPrint) == BST_CHECKED;
            notice = IsDlgButtonChecked(dialog, SettingsDlg::kShowNotice) == BST_CHECKED;
            autostart = IsDlgButtonChecked(dialog, SettingsDlg::kAutostart) == BST_CHECKED;
            Click(dialog, SettingsDlg::kAutostart);
            Click(dialog, IDOK);
        },
        [&](HWND dialog) {
            stillOpen = true;
            Click(dialog, IDCANCEL);
        },
    });
    SettingsDlg dialog;
    EXPECT_EQ(dialog.Run(nullptr), IDCANCEL);
    EXPECT_EQ(languageItem, 0);
    EXPECT_FALSE(multi);
    EXPECT_FALSE(notice);
    EXPECT_TRUE(autostart) << "the registry is read without the core";
    EXPECT_TRUE(stillOpen);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, Utf8ToWide(kCoreAbsent));
    EXPECT_EQ(boxes.boxes[0].caption, L"错误");
    EXPECT_TRUE(ReadRunValue().exists);
}

// --- The main window opens them ------------------------------------------------

// The real main window against the same core: its buttons, row actions and
// the tray menu's jobs item reach the dialogs, and the list follows.
class MainWindowDialogsTest : public DialogsTest {
protected:
    void SetUp() override {
        DialogsTest::SetUp();
        // The core is there; should it not be, nothing may start or relaunch.
        SetStartServiceFn([] { return false; });
        SetElevatedLaunchFn([](const std::wstring&, const std::wstring&) -> DWORD {
            return ERROR_CANCELLED;
        });
        main_ = MainDlg::Create(GetModuleHandleW(nullptr));
        ASSERT_TRUE(main_);
        ShowWindow(main_, SW_SHOW);
    }
    void TearDown() override {
        if (main_) DestroyWindow(main_);
        SetStartServiceFn({});
        SetElevatedLaunchFn({});
        DialogsTest::TearDown();
    }
    const std::vector<DeviceRow>& ListRows() { return MainDlg::FromWindow(main_)->list().rows(); }

    HWND main_ = nullptr;
};

TEST_F(MainWindowDialogsTest, AddButtonAndRowDeleteChangeTheList) {
    cloud_.Config(R"({"codes":{"DLGOFF1":"right-code"}})");
    ASSERT_TRUE(ListRows().empty());
    BoxRecorder boxes;
    DialogScript add({[&](HWND dialog) {
        EXPECT_EQ(GetWindow(dialog, GW_OWNER), main_);
        SetText(dialog, AddDeviceDlg::kSnEdit, L"DLGOFF1");
        SetText(dialog, AddDeviceDlg::kCodeEdit, L"right-code");
        SetText(dialog, AddDeviceDlg::kNameEdit, L"前台小票机");
        Click(dialog, IDOK);
    }});
    Click(main_, MainDlg::kAddDevice);
    EXPECT_EQ(add.done(), 1u);
    ASSERT_EQ(ListRows().size(), 1u) << "the new device is listed";
    EXPECT_EQ(ListRows()[0].sn, L"DLGOFF1");
    EXPECT_EQ(ListRows()[0].name, L"前台小票机");

    // The row's delete button: confirmation, then the row is gone.
    boxes.answers = {IDYES};
    SendMessageW(main_, WM_DEVICE_ACTION, 0, kDeviceActionDelete);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, L"删除后，打印机会恢复到原来的端口。\n\n前台小票机  (DLGOFF1)");
    EXPECT_TRUE(ListRows().empty());
    EXPECT_TRUE(core_->SnapshotDevices().empty());
}

TEST_F(MainWindowDialogsTest, JobsFromButtonAndTrayMenuSettingsSwitchTheLanguage) {
    int jobsOpened = 0;
    auto closeJobs = [&](HWND dialog) {
        EXPECT_TRUE(GetDlgItem(dialog, JobsDlg::kList));
        EXPECT_EQ(WindowTextOf(dialog), L"打印任务");
        ++jobsOpened;
        Click(dialog, IDOK);
    };
    {
        DialogScript script({closeJobs});
        Click(main_, MainDlg::kPrintJobs);
    }
    {
        DialogScript script({closeJobs});
        SendMessageW(main_, WM_COMMAND, MAKEWPARAM(MainDlg::kMenuJobs, 0), 0);
    }
    EXPECT_EQ(jobsOpened, 2);

    DialogScript settings({[&](HWND dialog) {
        EXPECT_EQ(WindowTextOf(dialog), L"设置");
        SendMessageW(GetDlgItem(dialog, SettingsDlg::kLanguage), CB_SETCURSEL, 2, 0);
        Click(dialog, IDOK);
    }});
    Click(main_, MainDlg::kSettings);
    EXPECT_EQ(settings.done(), 1u);
    EXPECT_EQ(core_->GetSettings().lang, "en-US");
    EXPECT_TRUE(UiIsEnglish());
    EXPECT_EQ(WindowTextOf(GetDlgItem(main_, MainDlg::kAddDevice)), L"Add device");
    EXPECT_EQ(MainDlg::FromWindow(main_)->notice(), L"Saved");
}

TEST_F(MainWindowDialogsTest, BleButtonOpensTheProvisioningDialog) {
    DialogScript script({[&](HWND dialog) {
        EXPECT_EQ(WindowTextOf(dialog), Tr(TxtBleTitle));
        EXPECT_TRUE(GetDlgItem(dialog, IDC_BLE_SCAN));
        Click(dialog, IDOK);
    }});
    Click(main_, MainDlg::kBleSetup);
    EXPECT_EQ(script.done(), 1u);
}

// --- Screenshots -----------------------------------------------------------------

// What the screen shows of a dialog's client area (the dialog is on top;
// Wine's PrintWindow would give black, and without a window manager the
// frame is not drawn at all), after the dialog and its children painted.
struct ScreenShot {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> bgra;

    COLORREF ClientPixel(int x, int y) const {
        if (x < 0 || y < 0 || x >= width || y >= height) return CLR_INVALID;
        const uint32_t v = bgra[static_cast<size_t>(y) * width + x];
        return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
    }
};

ScreenShot ShootFromScreen(HWND dialog) {
    RedrawWindow(dialog, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    GdiFlush();
    ScreenShot shot;
    RECT client{};
    GetClientRect(dialog, &client);
    POINT origin{0, 0};
    ClientToScreen(dialog, &origin);
    shot.width = client.right;
    shot.height = client.bottom;

    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, shot.width, shot.height);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, shot.width, shot.height, screen, origin.x, origin.y, SRCCOPY);
    SelectObject(memory, previous);

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = shot.width;
    info.bmiHeader.biHeight = -shot.height;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    shot.bgra.resize(static_cast<size_t>(shot.width) * shot.height);
    if (!GetDIBits(memory, bitmap, 0, static_cast<UINT>(shot.height), shot.bgra.data(), &info,
                   DIB_RGB_COLORS)) {
        shot.bgra.clear();
    }
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return shot;
}

// A control's rectangle in its dialog's client coordinates.
RECT ItemRect(HWND dialog, int id) {
    RECT r{};
    GetWindowRect(GetDlgItem(dialog, id), &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// Writes the picture and checks the pixels every working paint gives: the
// page colour in the top left corner, the primary button's accent fill just
// inside its left edge, and white inside the given control when asked.
void SaveAndCheck(HWND dialog, const std::wstring& name, int primaryId, int whiteId) {
    const ScreenShot shot = ShootFromScreen(dialog);
    ASSERT_FALSE(shot.bgra.empty()) << WideToUtf8(name);
    CreateDirectoryW(L"screenshots", nullptr);
    EXPECT_TRUE(test::WritePng(L"screenshots\\" + name + L".png", shot.width, shot.height,
                               shot.bgra.data()));
    SCOPED_TRACE(WideToUtf8(name));
    EXPECT_EQ(shot.ClientPixel(3, 3), palette::kPage);
    const RECT primary = ItemRect(dialog, primaryId);
    EXPECT_EQ(shot.ClientPixel(primary.left + Scale(dialog, 6), (primary.top + primary.bottom) / 2),
              palette::kAccent)
        << "the default button is not drawn as the primary one";
    if (whiteId) {
        const RECT inside = ItemRect(dialog, whiteId);
        EXPECT_EQ(shot.ClientPixel(inside.left + 8, inside.bottom - 8), palette::kWhite);
    }
}

TEST_F(DialogsTest, ScreenshotsOfTheFourDialogsInBothLanguages) {
    Add("DLGLAN1", "前台小票机");
    const int32_t port = core_->FindDevice("DLGLAN1").port;
    PrintTo(port, "\x1B@receipt one\n");
    PrintTo(port, "\x1B@receipt two\n");
    ASSERT_TRUE(test::WaitFor([&] { return core_->ListJobs(10).size() == 2; }, 15000));
    const int64_t failedId = core_->ListJobs(10)[0].id;
    RawSql("UPDATE job SET state=3, error='设备不在线' WHERE id=" + std::to_string(failedId));
    const DeviceRow row = RowOf("DLGLAN1");

    for (const char* language : {"zh-CN", "en-US"}) {
        SetUiLanguage(language);
        const std::wstring suffix = L"_" + Utf8ToWide(language);
        BoxRecorder boxes;
        {
            DialogScript script({[&](HWND dialog) {
                SetText(dialog, AddDeviceDlg::kSnEdit, L"VN2024000123");
                SetText(dialog, AddDeviceDlg::kCodeEdit, L"8F3K2Q");
                SetText(dialog, AddDeviceDlg::kNameEdit, L"前台小票机");
                SaveAndCheck(dialog, L"dialog_add" + suffix, IDOK, AddDeviceDlg::kSnEdit);
                Click(dialog, IDCANCEL);
            }});
            EXPECT_FALSE(OnAddDevice(nullptr));
            EXPECT_EQ(script.done(), 1u);
        }
        {
            DialogScript script({[&](HWND dialog) {
                SaveAndCheck(dialog, L"dialog_bind" + suffix, IDOK, 0);
                Click(dialog, IDCANCEL);
            }});
            EXPECT_FALSE(OnBindDevice(nullptr, row));
            EXPECT_EQ(script.done(), 1u);
        }
        {
            DialogScript script({[&](HWND dialog) {
                EXPECT_EQ(RowCount(GetDlgItem(dialog, JobsDlg::kList)), 2);
                SaveAndCheck(dialog, L"dialog_jobs" + suffix, IDOK, JobsDlg::kList);
                Click(dialog, IDOK);
            }});
            JobsDlg jobs;
            jobs.Run(nullptr);
            EXPECT_EQ(script.done(), 1u);
        }
        {
            DialogScript script({[&](HWND dialog) {
                SaveAndCheck(dialog, L"dialog_settings" + suffix, IDOK, 0);
                Click(dialog, IDCANCEL);
            }});
            SettingsDlg settings;
            settings.Run(nullptr);
            EXPECT_EQ(script.done(), 1u);
        }
        EXPECT_TRUE(boxes.boxes.empty());
    }
}

}  // namespace
}  // namespace qs
