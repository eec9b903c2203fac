#include "printers/fake_print_system.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "foundation/text.h"

namespace qs {
namespace {

// Error codes and HRESULTs as Windows gives them.
constexpr uint32_t kInvalidPrinterName = 1801;  // ERROR_INVALID_PRINTER_NAME
constexpr uint32_t kUnknownPort = 1796;         // ERROR_UNKNOWN_PORT
constexpr uint32_t kBusy = 170;                 // ERROR_BUSY
constexpr int32_t kWbemFailed = static_cast<int32_t>(0x80041001u);
constexpr int32_t kWbemInvalidClass = static_cast<int32_t>(0x80041010u);
constexpr int32_t kWbemInvalidPath = static_cast<int32_t>(0x8004103Au);
constexpr int32_t kWbemInvalidParameter = static_cast<int32_t>(0x80041008u);
constexpr int32_t kRpcUnavailable = static_cast<int32_t>(0x800706BAu);
constexpr uint32_t kDeleteRight = 0x10000;  // DELETE, part of full access only

const wchar_t kMonitorName[] = L",XcvMonitor Standard TCP/IP Port";
const wchar_t kPrintersKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\";

bool Fail(uint32_t error) {
    ::SetLastError(error);
    return false;
}

WmiResult Wmi(WmiStep step, int32_t hr) { return WmiResult{step, hr}; }

// The key of Win32_Printer.DeviceID="..." as WMI reads it: a back-slash
// takes the next character literally, an unescaped quote ends the value.
bool ParsePrinterPath(const std::wstring& path, std::wstring* name) {
    const std::wstring head = L"Win32_Printer.DeviceID=\"";
    if (path.compare(0, head.size(), head) != 0) return false;
    name->clear();
    for (size_t i = head.size(); i < path.size(); ++i) {
        wchar_t c = path[i];
        if (c == L'\\') {
            if (++i == path.size()) return false;
            *name += path[i];
        } else if (c == L'"') {
            return i + 1 == path.size();
        } else {
            *name += c;
        }
    }
    return false;
}

bool ParsePortPath(const std::wstring& path, std::wstring* name) {
    const std::wstring head = L"Win32_TCPIPPrinterPort.Name=\"";
    if (path.compare(0, head.size(), head) != 0 || path.size() < head.size() + 1 ||
        path.back() != L'"') {
        return false;
    }
    *name = path.substr(head.size(), path.size() - head.size() - 1);
    return name->find(L'"') == std::wstring::npos;
}

}  // namespace

void FakePrintSystem::AddQueue(const Queue& q) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    queues_.push_back(q);
}

void FakePrintSystem::AddListedPort(const std::wstring& name, const std::wstring& host, uint32_t number) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    ports_.push_back(Port{name, host, number, 1, false, 0});
}

void FakePrintSystem::AddDriver(const std::wstring& name) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    drivers_.push_back(name);
}

FakePrintSystem::Queue* FakePrintSystem::FindQueue(const std::wstring& name) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    for (auto& q : queues_) {
        if (q.name == name) return &q;
    }
    return nullptr;
}

const FakePrintSystem::Port* FakePrintSystem::FindPort(const std::wstring& name) const {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    for (const auto& p : ports_) {
        if (p.name == name) return &p;
    }
    return nullptr;
}

bool FakePrintSystem::HasQueue(const std::wstring& name) const {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    return std::any_of(queues_.begin(), queues_.end(), [&](const Queue& q) { return q.name == name; });
}

size_t FakePrintSystem::PortCount() const {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    return ports_.size();
}

size_t FakePrintSystem::OpenHandles() const {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    return handles_.size();
}

int FakePrintSystem::BadCloses() const {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    return badCloses_;
}

int64_t FakePrintSystem::NowMs() const {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    return now_;
}

std::vector<std::string> FakePrintSystem::Calls() const {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    return calls_;
}

int FakePrintSystem::CountCalls(const std::string& prefix) const {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    return static_cast<int>(std::count_if(calls_.begin(), calls_.end(), [&](const std::string& c) {
        return c.compare(0, prefix.size(), prefix) == 0;
    }));
}

void FakePrintSystem::ClearCalls() {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    calls_.clear();
}

void FakePrintSystem::Note(const std::string& line) { calls_.push_back(line); }

bool FakePrintSystem::Listed(const Port& p) const { return p.listedAt >= 0 && p.listedAt <= now_; }

bool FakePrintSystem::PortInUse(const std::wstring& name) const {
    return std::any_of(queues_.begin(), queues_.end(), [&](const Queue& q) { return q.port == name; });
}

std::vector<FakePrintSystem::Port>::iterator FakePrintSystem::PortIt(const std::wstring& name) {
    return std::find_if(ports_.begin(), ports_.end(), [&](const Port& p) { return p.name == name; });
}

FakePrintSystem::Queue* FakePrintSystem::QueueOf(PrinterHandle h, const Handle** handle) {
    auto it = handles_.find(h);
    if (it == handles_.end()) return nullptr;
    *handle = &it->second;
    if (it->second.queue.empty()) return nullptr;
    for (auto& q : queues_) {
        if (q.name == it->second.queue) return &q;
    }
    return nullptr;
}

std::vector<std::wstring> FakePrintSystem::EnumPrinterNames() {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Note("enumprinters");
    std::vector<std::wstring> names;
    for (const auto& q : queues_) names.push_back(q.name);
    return names;
}

std::vector<std::wstring> FakePrintSystem::EnumPortNames() {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Note("enumports");
    std::vector<std::wstring> names;
    for (const auto& p : ports_) {
        if (Listed(p)) names.push_back(p.name);
    }
    return names;
}

std::vector<std::wstring> FakePrintSystem::EnumDriverNames() {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Note("enumdrivers");
    return drivers_;
}

WmiResult FakePrintSystem::WmiCreatePort(const std::wstring& name, const std::wstring& host,
                                         uint32_t portNumber) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Note("wmi-create " + WideToUtf8(name));
    if (!wmiReachable) return Wmi(WmiStep::kConnect, kRpcUnavailable);
    if (!wmiHasPortClass) return Wmi(WmiStep::kGetObject, kWbemInvalidClass);
    if (name.empty()) return Wmi(WmiStep::kPut, kWbemInvalidParameter);
    if (wmiPortPutHr) return Wmi(WmiStep::kPut, wmiPortPutHr);
    auto it = PortIt(name);
    if (it == ports_.end()) {
        int64_t at = portListDelayMs < 0 ? -1 : now_ + portListDelayMs;
        ports_.push_back(Port{name, host, portNumber, 1, false, at});
    } else {
        it->host = host;
        it->number = portNumber;
        it->protocol = 1;
        it->snmp = false;
    }
    return Wmi(WmiStep::kDone, 0);
}

WmiResult FakePrintSystem::WmiDeleteInstance(const std::wstring& objectPath) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Note("wmi-delete " + WideToUtf8(objectPath));
    if (!wmiReachable) return Wmi(WmiStep::kConnect, kRpcUnavailable);
    std::wstring name;
    if (!ParsePortPath(objectPath, &name)) return Wmi(WmiStep::kPut, kWbemInvalidPath);
    if (!wmiHasPortClass) return Wmi(WmiStep::kPut, kWbemInvalidClass);
    if (wmiDeleteHr) return Wmi(WmiStep::kPut, wmiDeleteHr);
    auto it = PortIt(name);
    if (it == ports_.end()) return Wmi(WmiStep::kPut, kWbemNotFound);
    if (PortInUse(name)) return Wmi(WmiStep::kPut, kWbemFailed);
    ports_.erase(it);
    return Wmi(WmiStep::kDone, 0);
}

WmiResult FakePrintSystem::WmiSetPrinterPort(const std::wstring& objectPath,
                                             const std::wstring& portName) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Note("wmi-printer " + WideToUtf8(objectPath) + " " + WideToUtf8(portName));
    if (!wmiReachable) return Wmi(WmiStep::kConnect, kRpcUnavailable);
    std::wstring name;
    if (!ParsePrinterPath(objectPath, &name)) return Wmi(WmiStep::kGetObject, kWbemInvalidPath);
    if (wmiPrinterGetHr) return Wmi(WmiStep::kGetObject, wmiPrinterGetHr);
    Queue* q = nullptr;
    for (auto& each : queues_) {
        if (each.name == name) q = &each;
    }
    if (!q) return Wmi(WmiStep::kGetObject, kWbemNotFound);
    if (wmiPrinterSetHr) return Wmi(WmiStep::kSetProperty, wmiPrinterSetHr);
    if (wmiPrinterPutHr) return Wmi(WmiStep::kPut, wmiPrinterPutHr);
    auto it = PortIt(portName);
    if (it == ports_.end() || !Listed(*it)) return Wmi(WmiStep::kPut, kWbemFailed);
    if (!q->wmiKeepsPort) q->port = portName;
    return Wmi(WmiStep::kDone, 0);
}

bool FakePrintSystem::OpenSpooler(const std::wstring& name, uint32_t access, PrinterHandle* out) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Note(Format("open %s %u", WideToUtf8(name).c_str(), access));
    *out = 0;
    if (name == kMonitorName) {
        if (!monitorPresent) return Fail(kInvalidPrinterName);
    } else {
        const Queue* q = nullptr;
        for (const auto& each : queues_) {
            if (each.name == name) q = &each;
        }
        if (!q) return Fail(kInvalidPrinterName);
        if (access & q->deniedAccess) return Fail(ERROR_ACCESS_DENIED);
        if (access == 0) access = kPrinterAccessUse;
    }
    PrinterHandle h = nextHandle_++;
    handles_[h] = Handle{name == kMonitorName ? std::wstring() : name, access};
    *out = h;
    return true;
}

void FakePrintSystem::CloseSpooler(PrinterHandle h) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Note("close");
    if (handles_.erase(h) == 0) ++badCloses_;
}

uint32_t FakePrintSystem::Printer2Size(PrinterHandle h) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Note("size");
    const Handle* handle = nullptr;
    Queue* q = QueueOf(h, &handle);
    if (!q) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (q->sizeUnknown) {
        ::SetLastError(q->readError ? q->readError : ERROR_INVALID_PARAMETER);
        return 0;
    }
    return static_cast<uint32_t>(136 + 2 * (q->name.size() + q->port.size() + 2));
}

bool FakePrintSystem::GetPrinter2(PrinterHandle h, uint32_t size, PrinterInfo2* out) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    const Handle* handle = nullptr;
    Queue* q = QueueOf(h, &handle);
    Note("get2 " + (q ? WideToUtf8(q->name) : std::string("?")));
    if (!q) return Fail(ERROR_INVALID_HANDLE);
    if (q->readError) return Fail(q->readError);
    if (size < 136 + 2 * (q->name.size() + q->port.size() + 2)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    out->attributes = q->attributes;
    out->status = q->status;
    out->portName = q->port;
    out->native = std::make_shared<std::wstring>(q->name);
    return true;
}

bool FakePrintSystem::SetPrinter2(PrinterHandle h, const PrinterInfo2& info) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    const Handle* handle = nullptr;
    Queue* q = QueueOf(h, &handle);
    Note("set2 " + (q ? WideToUtf8(q->name) : std::string("?")));
    if (!q) return Fail(ERROR_INVALID_HANDLE);
    if (!(handle->access & kPrinterAccessAdminister)) return Fail(ERROR_ACCESS_DENIED);
    // A level-2 set carries the whole record: only one read from this
    // queue is a valid one.
    auto source = std::static_pointer_cast<std::wstring>(info.native);
    if (!source || *source != q->name) return Fail(ERROR_INVALID_PARAMETER);
    if (q->setError) return Fail(q->setError);
    auto it = PortIt(info.portName);
    if (it == ports_.end() || !Listed(*it)) return Fail(kUnknownPort);
    if (!q->setKeepsPort) q->port = info.portName;
    if (!q->setKeepsAttributes) q->attributes = info.attributes;
    return true;
}

bool FakePrintSystem::ControlPrinter(PrinterHandle h, uint32_t command) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    const Handle* handle = nullptr;
    Queue* q = QueueOf(h, &handle);
    Note(Format("control %s %u", q ? WideToUtf8(q->name).c_str() : "?", command));
    if (!q) return Fail(ERROR_INVALID_HANDLE);
    if (!(handle->access & kPrinterAccessAdminister)) return Fail(ERROR_ACCESS_DENIED);
    if (command != kPrinterControlResume) return Fail(ERROR_INVALID_PARAMETER);
    q->status &= ~kStatusPaused;
    if (!q->offlineSticks) q->status &= ~kStatusOffline;
    q->status |= q->statusAfterResume;
    return true;
}

bool FakePrintSystem::DeletePrinter(PrinterHandle h) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    const Handle* handle = nullptr;
    Queue* q = QueueOf(h, &handle);
    Note("deleteprinter " + (q ? WideToUtf8(q->name) : std::string("?")));
    if (!q) return Fail(ERROR_INVALID_HANDLE);
    if (!(handle->access & kDeleteRight)) return Fail(ERROR_ACCESS_DENIED);
    std::wstring name = q->name;
    queues_.erase(std::remove_if(queues_.begin(), queues_.end(),
                                 [&](const Queue& each) { return each.name == name; }),
                  queues_.end());
    return true;
}

bool FakePrintSystem::XcvData(PrinterHandle h, const std::wstring& command,
                              const std::vector<uint8_t>& input, uint32_t* status) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    auto hit = handles_.find(h);
    // The monitor's record: the name in 64 UTF-16 units, 98 reserved bytes,
    // two bytes of alignment, then the version.
    std::wstring port;
    if (input.size() == 236) {
        const wchar_t* text = reinterpret_cast<const wchar_t*>(input.data());
        port.assign(text, wcsnlen(text, 64));
    }
    Note("xcv " + WideToUtf8(command) + " " + WideToUtf8(port));
    if (hit == handles_.end() || !hit->second.queue.empty()) return Fail(ERROR_INVALID_HANDLE);
    if (command != L"DeletePort") {
        *status = ERROR_INVALID_PARAMETER;
        return true;
    }
    uint32_t version = 0;
    if (input.size() == 236) std::memcpy(&version, input.data() + 228, sizeof(version));
    if (input.size() != 236 || version != 1 || port.empty()) {
        *status = ERROR_INVALID_PARAMETER;
    } else if (!(hit->second.access & kServerAccessAdminister)) {
        *status = ERROR_ACCESS_DENIED;
    } else if (PortIt(port) == ports_.end()) {
        *status = kUnknownPort;
    } else if (PortInUse(port)) {
        *status = kBusy;
    } else {
        ports_.erase(PortIt(port));
        *status = ERROR_SUCCESS;
    }
    if (monitorStatus) *status = *monitorStatus;
    return true;
}

bool FakePrintSystem::ClearRegistryBits(const std::wstring& keyPath, const std::wstring& valueName,
                                        uint32_t bits) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Note("registry " + WideToUtf8(keyPath));
    const std::wstring prefix = kPrintersKey;
    if (keyPath.compare(0, prefix.size(), prefix) != 0) return Fail(ERROR_FILE_NOT_FOUND);
    std::wstring name = keyPath.substr(prefix.size());
    for (auto& q : queues_) {
        if (q.name != name) continue;
        if (!q.inRegistry || valueName != L"Attributes") return Fail(ERROR_FILE_NOT_FOUND);
        q.attributes &= ~bits;
        return true;
    }
    return Fail(ERROR_FILE_NOT_FOUND);
}

void FakePrintSystem::Sleep(uint32_t ms) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Note(Format("sleep %u", ms));
    now_ += ms;
}

}  // namespace qs
