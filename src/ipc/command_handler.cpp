#include "ipc/command_handler.h"

#include <windows.h>

#include <cJSON.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/core.h"
#include "foundation/text.h"
#include "ipc/ipc_protocol.h"
#include "printers/enumeration.h"
#include "printers/printer_ports.h"

namespace qs {
namespace {

struct JsonDeleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
// A request that is not UTF-8 is not a request, and echoing its bytes back
// would make the reply invalid JSON.
bool IsUtf8(std::string_view text) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t extra = 0;
        uint32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

// The request object, or null when the text is no JSON at all. An empty
// text counts as an empty object. Trailing bytes after the value make the
// text invalid, as do NUL bytes, which would hide what follows them.
Json ParseRequest(const std::string& text) {
    if (text.empty()) return Json(cJSON_CreateObject());
    // The pipe never delivers more; a direct caller gets the same bound.
    if (text.size() > kIpcMaxRequestBytes) return Json();
    if (text.find('\0') != std::string::npos || !IsUtf8(text)) return Json();
    // cJSON stops at its nesting limit instead of exhausting the stack.
    return Json(cJSON_ParseWithOpts(text.c_str(), nullptr, true));
}

class Params {
public:
    explicit Params(const cJSON* root) : root_(root) {}

    const cJSON* Get(const char* name) const {
        return cJSON_IsObject(root_) ? cJSON_GetObjectItemCaseSensitive(root_, name) : nullptr;
    }

    // A JSON string, else the fallback.
    std::string Text(const char* name, const std::string& fallback = std::string()) const {
        const cJSON* m = Get(name);
        return cJSON_IsString(m) && m->valuestring ? std::string(m->valuestring) : fallback;
    }

    // A JSON number truncated toward zero, or a string holding a decimal
    // integer; 0 for anything else, also for values no 64-bit id can hold.
    int64_t Id(const char* name) const {
        const cJSON* m = Get(name);
        if (cJSON_IsNumber(m)) {
            const double d = std::trunc(m->valuedouble);
            // 2^63 is exactly representable; anything at or past it is not an id.
            if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0)
                return 0;
            return static_cast<int64_t>(d);
        }
        if (cJSON_IsString(m) && m->valuestring) {
            const std::string_view s(m->valuestring);
            int64_t value = 0;
            auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
            if (ec == std::errc() && end == s.data() + s.size() && !s.empty()) return value;
        }
        return 0;
    }

    // true, a number other than 0, "1", "true" or "True"; false, 0 or any
    // other string is false; missing or another type takes the fallback.
    bool Switch(const char* name, bool fallback = false) const {
        const cJSON* m = Get(name);
        if (cJSON_IsBool(m)) return cJSON_IsTrue(m);
        if (cJSON_IsNumber(m)) return m->valuedouble != 0;
        if (cJSON_IsString(m) && m->valuestring) {
            const std::string_view s(m->valuestring);
            return s == "1" || s == "true" || s == "True";
        }
        return fallback;
    }

private:
    const cJSON* root_;
};

struct Reply {
    bool ok = true;
    Json data;  // success
    std::string error;  // failure
};

Reply Data(Json data) {
    Reply r;
    r.data = std::move(data);
    return r;
}

Reply DataText(const std::string& text) { return Data(Json(cJSON_CreateString(text.c_str()))); }

Reply Failure(const std::string& error) {
    Reply r;
    r.ok = false;
    r.error = error;
    return r;
}

// Adds a member; false when it could not be made, so a reply that ran out
// of memory is not sent half built.
bool Add(cJSON* object, const char* name, cJSON* value) {
    if (!value) return false;
    if (!cJSON_AddItemToObject(object, name, value)) {
        cJSON_Delete(value);
        return false;
    }
    return true;
}

bool AddToArray(cJSON* array, cJSON* value) {
    if (!value) return false;
    if (!cJSON_AddItemToArray(array, value)) {
        cJSON_Delete(value);
        return false;
    }
    return true;
}

cJSON* String(const std::string& s) { return cJSON_CreateString(s.c_str()); }

Json NameArray(const std::vector<std::wstring>& names) {
    Json array(cJSON_CreateArray());
    if (!array) return Json();
    for (const std::wstring& name : names)
        if (!AddToArray(array.get(), String(WideToUtf8(name)))) return Json();
    return array;
}

Json IssueArray(const std::vector<HealthIssue>& issues) {
    Json array(cJSON_CreateArray());
    if (!array) return Json();
    for (const HealthIssue& issue : issues) {
        Json item(cJSON_CreateObject());
        if (!item || !Add(item.get(), "code", String(issue.code)) ||
            !Add(item.get(), "message", String(issue.message)) ||
            !Add(item.get(), "fixed", cJSON_CreateBool(issue.fixed)))
            return Json();
        // Details appear only when there are some.
        if (!issue.arg1.empty() && !Add(item.get(), "arg1", String(issue.arg1))) return Json();
        if (!issue.arg2.empty() && !Add(item.get(), "arg2", String(issue.arg2))) return Json();
        if (!AddToArray(array.get(), item.release())) return Json();
    }
    return array;
}

const char* StateText(int32_t state) {
    switch (state) {
        case kJobPending: return "pending";
        case kJobProcessing: return "processing";
        case kJobCompleted: return "completed";
        case kJobAborted: return "aborted";
        case kJobCanceled: return "canceled";
        default: return "unknown";
    }
}

Reply List(Core& core, const Params&) {
    Json array(cJSON_CreateArray());
    if (!array) return Data(Json());
    for (const DeviceRecord& d : core.SnapshotDevices()) {
        Json item(cJSON_CreateObject());
        if (!item || !Add(item.get(), "sn", String(d.sn)) ||
            !Add(item.get(), "devname", String(d.devname)) ||
            !Add(item.get(), "printer", String(d.printer_driver)) ||
            !Add(item.get(), "port", cJSON_CreateNumber(d.port)) ||
            !Add(item.get(), "network", String(d.network)) ||
            !Add(item.get(), "lanIp", String(d.lanIp)) ||
            !Add(item.get(), "status", cJSON_CreateNumber(d.status)) ||
            !AddToArray(array.get(), item.release()))
            return Data(Json());
    }
    return Data(std::move(array));
}

Reply AddDevice(Core& core, const Params& p) {
    const std::string sn = p.Text("sn");
    const std::string crc = p.Text("crc");
    if (sn.empty() || crc.empty()) return Failure("设备编号与验证码不能为空");
    CloudResult r = core.AddDevice(sn, crc, p.Text("name"), "receipt", 0, 0);
    if (r.code == 0) return DataText("");
    if (!r.message.empty()) return Failure(r.message);
    return Failure("绑定失败，云端返回码 " + std::to_string(r.code));
}

Reply Bind(Core& core, const Params& p) {
    std::string error;
    HealthReport report = core.BindPrinter(p.Text("sn"), p.Text("printer"), error);
    if (!error.empty()) return Failure(error);
    return Data(IssueArray(report.issues));
}

Reply Jobs(Core& core, const Params&) {
    Json array(cJSON_CreateArray());
    if (!array) return Data(Json());
    for (const JobRecord& j : core.ListJobs(50)) {
        Json item(cJSON_CreateObject());
        if (!item || !Add(item.get(), "id", cJSON_CreateNumber(static_cast<double>(j.id))) ||
            !Add(item.get(), "sn", String(j.sn)) ||
            !Add(item.get(), "state", cJSON_CreateNumber(j.state)) ||
            !Add(item.get(), "stateText", cJSON_CreateString(StateText(j.state))) ||
            !Add(item.get(), "retries", cJSON_CreateNumber(j.retries)) ||
            !Add(item.get(), "error", String(j.error)) ||
            !Add(item.get(), "createdAt", String(j.created_at)) ||
            !Add(item.get(), "path", String(j.path)) ||
            !AddToArray(array.get(), item.release()))
            return Data(Json());
    }
    return Data(std::move(array));
}

Reply JobTipReply(Core& core, const Params&) {
    JobTip tip = core.GetJobTip();
    Json item(cJSON_CreateObject());
    if (!item || !Add(item.get(), "id", cJSON_CreateNumber(static_cast<double>(tip.id))) ||
        !Add(item.get(), "time", String(tip.time)))
        return Data(Json());
    return Data(std::move(item));
}

Reply Submit(Core& core, const Params& p) {
    CloudResult r = core.SubmitDocument(Utf8ToWide(p.Text("path")));
    if (r.code == 0) return DataText(r.message);
    return Failure(r.message.empty() ? std::string("提交失败") : r.message);
}

Reply Config(Core& core, const Params&) {
    SettingsRecord s = core.GetSettings();
    Json item(cJSON_CreateObject());
    if (!item || !Add(item.get(), "multiPrint", cJSON_CreateBool(s.multi)) ||
        !Add(item.get(), "showMessage", cJSON_CreateBool(s.msg)) ||
        !Add(item.get(), "language", String(s.lang)))
        return Data(Json());
    return Data(std::move(item));
}

Reply SetConfig(Core& core, const Params& p) {
    SettingsRecord s;
    s.multi = p.Switch("multiPrint");
    s.msg = p.Switch("showMessage");
    s.lang = p.Text("language", "auto");
    s.api_enabled = false;
    s.api_port = 39199;
    // The tray shows the reply: a setting that did not stick must not look saved.
    if (!core.SaveSettings(s)) return Failure("保存设置失败");
    return DataText("");
}

Reply PortSelfTestReply(Core&, const Params&) {
    std::string error;
    if (!PortSelfTest(&error)) return Failure(error);
    return DataText("ok");
}

struct Command {
    const char* name;
    Reply (*run)(Core& core, const Params& params);
    bool adminOnly = false;
};

const Command kCommands[] = {
    {"ping", [](Core&, const Params&) { return DataText(""); }},
    {"list", List},
    {"printers", [](Core&, const Params&) { return Data(NameArray(ListPrinters())); }},
    {"drivers", [](Core&, const Params&) { return Data(NameArray(ListDrivers())); }},
    {"add", AddDevice},
    {"bind", Bind},
    {"remove",
     [](Core& core, const Params& p) {
         return core.RemoveDevice(p.Text("sn")) ? DataText("") : Failure("删除失败");
     }},
    {"repair",
     [](Core& core, const Params& p) { return Data(IssueArray(core.RepairDevice(p.Text("sn")).issues)); }},
    {"test",
     [](Core& core, const Params& p) {
         return core.TestPrint(p.Text("sn")) ? DataText("") : Failure("测试页发送失败");
     }},
    {"refresh",
     [](Core& core, const Params&) {
         core.RefreshDeviceStatus();
         return DataText("");
     }},
    {"jobtip", JobTipReply},
    {"jobs", Jobs},
    {"retry",
     [](Core& core, const Params& p) {
         return core.RetryJob(p.Id("id")) ? DataText("") : Failure("重打失败");
     }},
    {"cancel",
     [](Core& core, const Params& p) {
         return core.CancelJob(p.Id("id")) ? DataText("") : Failure("取消失败");
     }},
    {"submit", Submit, true},
    {"config", Config},
    {"setconfig", SetConfig},
    {"portselftest", PortSelfTestReply, true},
    {"diag", [](Core& core, const Params&) { return DataText(core.BuildDiagnostics()); }, true},
    {"cleanup",
     [](Core&, const Params&) { return DataText(std::to_string(PurgePortsAndPrinters())); }, true},
};

std::string Print(const Reply& reply) {
    Json root(cJSON_CreateObject());
    bool built = root && cJSON_AddBoolToObject(root.get(), "ok", reply.ok);
    if (built) {
        if (reply.ok) {
            // The reply keeps owning its data; the root only refers to it.
            built = reply.data && cJSON_AddItemReferenceToObject(root.get(), "data", reply.data.get());
        } else {
            built = cJSON_AddStringToObject(root.get(), "error", reply.error.c_str()) != nullptr;
        }
    }
    std::string text;
    if (built) {
        if (char* printed = cJSON_PrintUnformatted(root.get())) {
            text = printed;
            cJSON_free(printed);
        }
    }
    // Out of memory somewhere above: still a reply the tray can read.
    return text.empty() ? IpcErrorReply(kIpcHandlerFailed) : text;
}

}  // namespace

std::string HandleCommand(Core& core, const std::string& request, const IpcCaller& caller) {
    Json root = ParseRequest(request);
    std::string name;
    if (root && cJSON_IsObject(root.get())) {
        const cJSON* cmd = cJSON_GetObjectItemCaseSensitive(root.get(), "cmd");
        if (cJSON_IsString(cmd) && cmd->valuestring) name = cmd->valuestring;
    }
    const Params params(root.get());
    for (const Command& c : kCommands) {
        if (name != c.name) continue;
        if (c.adminOnly && !caller.isAdmin) return Print(Failure(kAdminRequired));
        return Print(c.run(core, params));
    }
    return Print(Failure("未知命令：" + name));
}

std::string HandleCommand(Core& core, const std::string& request) {
    IpcCaller inProcess;
    inProcess.processId = GetCurrentProcessId();
    inProcess.known = true;
    inProcess.isAdmin = true;
    return HandleCommand(core, request, inProcess);
}

std::string HandleCommand(const std::string& request, const IpcCaller& caller) {
    return HandleCommand(Core::Instance(), request, caller);
}

}  // namespace qs
