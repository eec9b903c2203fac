#include "printers/printer_ports.h"

#include <windows.h>

#include <cstddef>
#include <cstring>

#include "foundation/ids.h"
#include "foundation/logger.h"
#include "foundation/system_info.h"
#include "foundation/text.h"
#include "printers/enumeration.h"
#include "printers/print_system.h"

namespace qs {
namespace {

const wchar_t kPortPrefix[] = L"Quillnet";
const wchar_t kTcpMonitor[] = L",XcvMonitor Standard TCP/IP Port";
const wchar_t kPrintersKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\";
constexpr int kPortPolls = 20;
constexpr uint32_t kPortPollMs = 100;

// The Standard TCP/IP monitor's "DeletePort" record (tcpxcv.h lays it out
// this way; MinGW does not ship that header).
struct DeletePortData1 {
    wchar_t portName[64];
    uint8_t reserved[98];
    uint32_t version;
    uint32_t reserved2;
};
static_assert(sizeof(wchar_t) == 2);
static_assert(offsetof(DeletePortData1, version) == 228);
static_assert(sizeof(DeletePortData1) == 236);

// Closes a spooler handle on every path.
class ScopedPrinter {
public:
    explicit ScopedPrinter(PrintSystem& ps) : ps_(ps) {}
    ScopedPrinter(const ScopedPrinter&) = delete;
    ScopedPrinter& operator=(const ScopedPrinter&) = delete;
    ~ScopedPrinter() { Close(); }
    void Close() {
        if (h_) ps_.CloseSpooler(h_);
        h_ = 0;
    }
    // Tries the access rights in order until one opens the queue.
    bool Open(const std::wstring& name, std::initializer_list<uint32_t> rights) {
        Close();
        for (uint32_t access : rights) {
            if (ps_.OpenSpooler(name, access, &h_)) return true;
            h_ = 0;
        }
        return false;
    }
    PrinterHandle get() const { return h_; }

private:
    PrintSystem& ps_;
    PrinterHandle h_ = 0;
};

std::string HrText(int32_t hr) { return Format("%u", static_cast<unsigned>(hr)); }

std::string LastErrorText() { return Win32ErrorText(::GetLastError()); }

bool StartsWith(const std::wstring& s, const std::wstring& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool Listed(const std::vector<std::wstring>& names, const std::wstring& name) {
    for (const auto& n : names) {
        if (n == name) return true;
    }
    return false;
}

}  // namespace

std::wstring MakePortName(int port) { return kPortPrefix + std::to_wstring(port); }

std::wstring PortObjectPath(const std::wstring& port) {
    return L"Win32_TCPIPPrinterPort.Name=\"" + port + L"\"";
}

std::wstring PrinterObjectPath(const std::wstring& printer) {
    std::wstring path = L"Win32_Printer.DeviceID=\"";
    for (wchar_t c : printer) {
        if (c == L'\\' || c == L'"') path += L'\\';
        path += c;
    }
    return path + L"\"";
}

std::vector<uint8_t> MakeDeletePortData(const std::wstring& port) {
    DeletePortData1 data;
    std::memset(&data, 0, sizeof(data));
    if (port.empty() || port.size() >= std::size(data.portName)) return {};
    std::memcpy(data.portName, port.data(), port.size() * sizeof(wchar_t));
    data.version = 1;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&data);
    return std::vector<uint8_t>(bytes, bytes + sizeof(data));
}

bool PortExists(const std::wstring& name) { return Listed(ListPorts(), name); }

bool PrinterExists(const std::wstring& name) { return Listed(ListPrinters(), name); }

bool CreatePort(const std::wstring& name, const std::string& host, int port) {
    PrintSystem& ps = ActivePrintSystem();
    const std::string name8 = WideToUtf8(name);
    WmiResult r = ps.WmiCreatePort(name, Utf8ToWide(host), static_cast<uint32_t>(port));
    switch (r.step) {
        case WmiStep::kConnect:
            LogWarn("创建端口失败，连不上 WMI：" + name8);
            return false;
        case WmiStep::kGetObject:
            LogWarn("创建端口失败，找不到端口类：" + name8);
            return false;
        case WmiStep::kSetProperty:
        case WmiStep::kPut:
            LogWarn("创建端口失败 " + name8 + " hr=" + HrText(r.hr));
            return false;
        case WmiStep::kDone:
            break;
    }
    for (int i = 0; i < kPortPolls; ++i) {
        if (PortExists(name)) return true;
        ps.Sleep(kPortPollMs);
    }
    LogWarn("端口已提交但查询不到：" + name8);
    return false;
}

bool DeletePort(const std::wstring& name) {
    PrintSystem& ps = ActivePrintSystem();
    WmiResult r = ps.WmiDeleteInstance(PortObjectPath(name));
    if (r.ok() || (r.step != WmiStep::kConnect && r.hr == kWbemNotFound)) return true;

    std::vector<uint8_t> record = MakeDeletePortData(name);
    if (record.empty()) return false;
    ScopedPrinter monitor(ps);
    // The monitor only takes port commands on a handle with server
    // administration rights.
    if (!monitor.Open(kTcpMonitor, {kServerAccessAdminister})) return false;
    uint32_t status = ERROR_INVALID_FUNCTION;
    ps.XcvData(monitor.get(), L"DeletePort", record, &status);
    return status == ERROR_SUCCESS || status == ERROR_ALREADY_EXISTS;
}

std::optional<PrinterState> QueryPrinter(const std::wstring& name, uint32_t* error) {
    PrintSystem& ps = ActivePrintSystem();
    auto fail = [&]() -> std::optional<PrinterState> {
        if (error) *error = ::GetLastError();
        return std::nullopt;
    };
    ScopedPrinter printer(ps);
    if (!printer.Open(name, {kPrinterAccessUse, kPrinterAccessUse})) return fail();
    uint32_t size = ps.Printer2Size(printer.get());
    if (size == 0) return fail();
    PrinterInfo2 info;
    if (!ps.GetPrinter2(printer.get(), size, &info)) return fail();
    return PrinterState{info.attributes, info.status, info.portName};
}

std::wstring GetPrinterPort(const std::wstring& name) {
    auto state = QueryPrinter(name);
    return state ? state->portName : std::wstring();
}

bool AttachPort(const std::wstring& printer, const std::wstring& port) {
    PrintSystem& ps = ActivePrintSystem();
    const std::string printer8 = WideToUtf8(printer);

    WmiResult r = ps.WmiSetPrinterPort(PrinterObjectPath(printer), port);
    if (r.ok()) {
        if (GetPrinterPort(printer) == port) return true;
    } else if (r.step == WmiStep::kGetObject) {
        LogWarn("找不到打印机 " + printer8 + " hr=" + HrText(r.hr));
    } else if (r.step == WmiStep::kPut) {
        LogWarn("切换端口失败 " + printer8 + " hr=" + HrText(r.hr));
    }

    // The spooler route also clears the attributes that keep data from
    // reaching a loopback port.
    {
        ScopedPrinter h(ps);
        if (!h.Open(printer, {kPrinterAccessAdminister, kPrinterAccessUse})) {
            LogWarn("AttachPort 打不开打印机：" + LastErrorText());
            return false;
        }
        uint32_t size = ps.Printer2Size(h.get());
        if (size == 0) return false;
        PrinterInfo2 info;
        if (!ps.GetPrinter2(h.get(), size, &info)) {
            LogWarn("AttachPort 读打印机失败：" + LastErrorText());
            return false;
        }
        info.portName = port;
        info.attributes &= ~kAttrDataBlockers;
        if (!ps.SetPrinter2(h.get(), info)) {
            LogWarn("AttachPort 失败：" + LastErrorText());
            return false;
        }
    }
    if (GetPrinterPort(printer) != port) {
        LogWarn("AttachPort 调用成功但端口未变：" + printer8);
        return false;
    }
    return true;
}

bool ClearPrinterAttribute(const std::wstring& printer, uint32_t bits) {
    PrintSystem& ps = ActivePrintSystem();
    auto clear = [&]() {
        auto state = QueryPrinter(printer);
        return state && (state->attributes & bits) == 0;
    };
    if (clear()) return true;

    {
        ScopedPrinter h(ps);
        // Setting level 2 needs administration rights, so a handle that only
        // may use the queue is the last resort.
        if (h.Open(printer, {kPrinterAllAccess, kPrinterAccessAdminister, kPrinterAccessUse})) {
            uint32_t size = ps.Printer2Size(h.get());
            PrinterInfo2 info;
            if (size != 0 && ps.GetPrinter2(h.get(), size, &info)) {
                info.attributes &= ~bits;
                if (!ps.SetPrinter2(h.get(), info)) {
                    LogWarn("清除打印机属性失败：" + LastErrorText());
                }
            }
        }
    }
    if (clear()) return true;

    ps.ClearRegistryBits(kPrintersKey + printer, L"Attributes", bits);
    if (clear()) return true;
    LogWarn("双向支持等属性未能关掉：" + WideToUtf8(printer));
    return false;
}

bool ResumePrinter(const std::wstring& printer) {
    PrintSystem& ps = ActivePrintSystem();
    ScopedPrinter h(ps);
    if (!h.Open(printer, {kPrinterAccessAdminister, kPrinterAccessUse})) return false;
    return ps.ControlPrinter(h.get(), kPrinterControlResume);
}

int PurgePortsAndPrinters() {
    PrintSystem& ps = ActivePrintSystem();
    int count = 0;
    // Queues first: a port that a queue still uses cannot be deleted.
    for (const auto& name : ListPrinters()) {
        if (!StartsWith(name, L"维澜云打印-") && !StartsWith(name, L"Quillnet-")) continue;
        ScopedPrinter h(ps);
        // Deleting a queue takes the DELETE right, which only full access carries.
        if (h.Open(name, {kPrinterAllAccess, kPrinterAccessAdminister, kPrinterAccessUse})) {
            ps.DeletePrinter(h.get());
        }
        ++count;
    }
    for (const auto& name : ListPorts()) {
        if (!StartsWith(name, kPortPrefix)) continue;
        DeletePort(name);
        ++count;
    }
    return count;
}

bool PortSelfTest(std::string* error) {
    const std::wstring name = L"Quillnet_SelfTest_" + Utf8ToWide(RandomHex(4));
    std::string text;
    bool ok = false;
    if (!CreatePort(name, "127.0.0.1", 1)) {
        text = "创建端口失败：" + LastErrorText();
        // The port may have been made and only listed late: leave none behind.
        DeletePort(name);
    } else if (!PortExists(name)) {
        text = "端口创建返回成功但查询不到";
        DeletePort(name);
    } else if (!DeletePort(name)) {
        text = "端口已创建但删除失败：" + WideToUtf8(name);
    } else {
        ok = true;
    }
    if (error) *error = text;
    return ok;
}

}  // namespace qs
