// The real print system: winspool, WMI through COM, the registry.
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>
#include <winspool.h>

#include <atomic>
#include <cstring>

#include "foundation/handles.h"
#include "printers/print_system.h"

// MinGW's winspool.h leaves XcvDataW out although the import library has it.
extern "C" BOOL WINAPI XcvDataW(HANDLE hXcv, PCWSTR pszDataName, PBYTE pInputData,
                                DWORD cbInputData, PBYTE pOutputData, DWORD cbOutputData,
                                PDWORD pcbOutputNeeded, PDWORD pdwStatus);

namespace qs {
namespace {

static_assert(kPrinterAccessAdminister == PRINTER_ACCESS_ADMINISTER);
static_assert(kPrinterAccessUse == PRINTER_ACCESS_USE);
static_assert(kPrinterAllAccess == PRINTER_ALL_ACCESS);
static_assert(kServerAccessAdminister == SERVER_ACCESS_ADMINISTER);
static_assert(kAttrKeepPrintedJobs == PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS);
static_assert(kAttrWorkOffline == PRINTER_ATTRIBUTE_WORK_OFFLINE);
static_assert(kAttrEnableBidi == PRINTER_ATTRIBUTE_ENABLE_BIDI);
static_assert(kStatusPaused == PRINTER_STATUS_PAUSED);
static_assert(kStatusError == PRINTER_STATUS_ERROR);
static_assert(kStatusPaperOut == PRINTER_STATUS_PAPER_OUT);
static_assert(kStatusOffline == PRINTER_STATUS_OFFLINE);
static_assert(kPrinterControlResume == PRINTER_CONTROL_RESUME);
static_assert(kWbemNotFound == static_cast<int32_t>(WBEM_E_NOT_FOUND));
static_assert(sizeof(PrinterHandle) == sizeof(HANDLE));

// Releases a COM interface on every path.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() {
        if (p_) p_->Release();
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T** put() { return &p_; }

private:
    T* p_ = nullptr;
};

class Bstr {
public:
    explicit Bstr(const std::wstring& s) : b_(::SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { ::SysFreeString(b_); }
    BSTR get() const { return b_; }

private:
    BSTR b_;
};

class Variant {
public:
    Variant() { ::VariantInit(&v_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { ::VariantClear(&v_); }
    VARIANT* get() { return &v_; }
    static void Text(Variant& v, const std::wstring& s) {
        v.v_.vt = VT_BSTR;
        v.v_.bstrVal = ::SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    }

private:
    VARIANT v_;
};

// COM for one WMI operation on this thread. Only an initialisation that
// succeeded here (S_OK or S_FALSE) is undone; a thread already in another
// apartment (RPC_E_CHANGED_MODE) keeps its COM as it was.
class ComScope {
public:
    ComScope() {
        HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        mine_ = SUCCEEDED(hr);
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    ~ComScope() {
        if (mine_) ::CoUninitialize();
    }

private:
    bool mine_ = false;
};

// A WMI connection to ROOT\CIMV2; usable only when the proxy blanket is set.
// Declared after ComScope in each operation so its interfaces are released
// before COM goes.
class WmiConnection {
public:
    WmiConnection() {
        // Fails harmlessly when the process has set its security already.
        ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                               RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
        hr_ = ::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                 reinterpret_cast<void**>(locator_.put()));
        if (FAILED(hr_)) return;
        Bstr ns(L"ROOT\\CIMV2");
        hr_ = locator_->ConnectServer(ns.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                      services_.put());
        if (FAILED(hr_)) return;
        hr_ = ::CoSetProxyBlanket(services_.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                  RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                                  EOAC_NONE);
        connected_ = SUCCEEDED(hr_);
    }
    bool connected() const { return connected_; }
    HRESULT hr() const { return hr_; }
    IWbemServices* services() const { return services_.get(); }

private:
    ComPtr<IWbemLocator> locator_;
    ComPtr<IWbemServices> services_;
    HRESULT hr_ = E_FAIL;
    bool connected_ = false;
};

WmiResult Stop(WmiStep step, HRESULT hr) { return WmiResult{step, static_cast<int32_t>(hr)}; }

HRESULT PutText(IWbemClassObject* obj, const wchar_t* name, const std::wstring& value) {
    Variant v;
    Variant::Text(v, value);
    return obj->Put(name, 0, v.get(), 0);
}

HRESULT PutInt(IWbemClassObject* obj, const wchar_t* name, int32_t value) {
    Variant v;
    v.get()->vt = VT_I4;
    v.get()->lVal = value;
    return obj->Put(name, 0, v.get(), 0);
}

HRESULT PutBool(IWbemClassObject* obj, const wchar_t* name, bool value) {
    Variant v;
    v.get()->vt = VT_BOOL;
    v.get()->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return obj->Put(name, 0, v.get(), 0);
}

// The two-call enumeration pattern shared by the three lists: ask for the
// size, fill a zeroed buffer, take each non-null name.
template <typename Info, typename Call>
std::vector<std::wstring> Enumerate(Call call, LPWSTR Info::*field) {
    std::vector<std::wstring> names;
    DWORD needed = 0, count = 0;
    call(nullptr, 0, &needed, &count);
    if (needed == 0) return names;
    std::vector<BYTE> buffer(needed, 0);
    if (!call(buffer.data(), needed, &needed, &count) || count == 0) return names;
    const Info* items = reinterpret_cast<const Info*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        if (items[i].*field) names.emplace_back(items[i].*field);
    }
    return names;
}

class WindowsSystem final : public PrintSystem {
public:
    std::vector<std::wstring> EnumPrinterNames() override {
        return Enumerate<PRINTER_INFO_2W>(
            [](BYTE* buf, DWORD size, DWORD* needed, DWORD* count) {
                return ::EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2,
                                       buf, size, needed, count) != FALSE;
            },
            &PRINTER_INFO_2W::pPrinterName);
    }

    std::vector<std::wstring> EnumPortNames() override {
        return Enumerate<PORT_INFO_1W>(
            [](BYTE* buf, DWORD size, DWORD* needed, DWORD* count) {
                return ::EnumPortsW(nullptr, 1, buf, size, needed, count) != FALSE;
            },
            &PORT_INFO_1W::pName);
    }

    std::vector<std::wstring> EnumDriverNames() override {
        return Enumerate<DRIVER_INFO_2W>(
            [](BYTE* buf, DWORD size, DWORD* needed, DWORD* count) {
                return ::EnumPrinterDriversW(nullptr, nullptr, 2, buf, size, needed, count) != FALSE;
            },
            &DRIVER_INFO_2W::pName);
    }

    WmiResult WmiCreatePort(const std::wstring& name, const std::wstring& host,
                            uint32_t portNumber) override {
        ComScope com;
        WmiConnection wmi;
        if (!wmi.connected()) return Stop(WmiStep::kConnect, wmi.hr());
        ComPtr<IWbemClassObject> cls;
        Bstr className(L"Win32_TCPIPPrinterPort");
        HRESULT hr = wmi.services()->GetObject(className.get(), 0, nullptr, cls.put(), nullptr);
        if (FAILED(hr) || !cls.get()) return Stop(WmiStep::kGetObject, FAILED(hr) ? hr : E_FAIL);
        ComPtr<IWbemClassObject> inst;
        hr = cls->SpawnInstance(0, inst.put());
        if (FAILED(hr)) return Stop(WmiStep::kSetProperty, hr);
        if (FAILED(hr = PutText(inst.get(), L"Name", name)) ||
            FAILED(hr = PutText(inst.get(), L"HostAddress", host)) ||
            FAILED(hr = PutInt(inst.get(), L"PortNumber", static_cast<int32_t>(portNumber))) ||
            FAILED(hr = PutInt(inst.get(), L"Protocol", 1)) ||
            FAILED(hr = PutBool(inst.get(), L"SNMPEnabled", false))) {
            return Stop(WmiStep::kSetProperty, hr);
        }
        hr = wmi.services()->PutInstance(inst.get(), WBEM_FLAG_CREATE_OR_UPDATE, nullptr, nullptr);
        if (FAILED(hr)) return Stop(WmiStep::kPut, hr);
        return Stop(WmiStep::kDone, S_OK);
    }

    WmiResult WmiDeleteInstance(const std::wstring& objectPath) override {
        ComScope com;
        WmiConnection wmi;
        if (!wmi.connected()) return Stop(WmiStep::kConnect, wmi.hr());
        Bstr path(objectPath);
        HRESULT hr = wmi.services()->DeleteInstance(path.get(), 0, nullptr, nullptr);
        if (FAILED(hr)) return Stop(WmiStep::kPut, hr);
        return Stop(WmiStep::kDone, S_OK);
    }

    WmiResult WmiSetPrinterPort(const std::wstring& objectPath, const std::wstring& portName) override {
        ComScope com;
        WmiConnection wmi;
        if (!wmi.connected()) return Stop(WmiStep::kConnect, wmi.hr());
        ComPtr<IWbemClassObject> printer;
        Bstr path(objectPath);
        HRESULT hr = wmi.services()->GetObject(path.get(), 0, nullptr, printer.put(), nullptr);
        if (FAILED(hr) || !printer.get()) return Stop(WmiStep::kGetObject, FAILED(hr) ? hr : E_FAIL);
        hr = PutText(printer.get(), L"PortName", portName);
        if (FAILED(hr)) return Stop(WmiStep::kSetProperty, hr);
        hr = wmi.services()->PutInstance(printer.get(), WBEM_FLAG_UPDATE_ONLY, nullptr, nullptr);
        if (FAILED(hr)) return Stop(WmiStep::kPut, hr);
        return Stop(WmiStep::kDone, S_OK);
    }

    bool OpenSpooler(const std::wstring& name, uint32_t access, PrinterHandle* out) override {
        *out = 0;
        HANDLE h = nullptr;
        PRINTER_DEFAULTSW defaults{nullptr, nullptr, access};
        if (!::OpenPrinterW(const_cast<LPWSTR>(name.c_str()), &h, access ? &defaults : nullptr)) {
            return false;
        }
        *out = reinterpret_cast<PrinterHandle>(h);
        return true;
    }

    void CloseSpooler(PrinterHandle h) override {
        if (h) ::ClosePrinter(reinterpret_cast<HANDLE>(h));
    }

    uint32_t Printer2Size(PrinterHandle h) override {
        DWORD needed = 0;
        ::GetPrinterW(reinterpret_cast<HANDLE>(h), 2, nullptr, 0, &needed);
        return needed;
    }

    bool GetPrinter2(PrinterHandle h, uint32_t size, PrinterInfo2* out) override {
        if (size < sizeof(PRINTER_INFO_2W)) {
            ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return false;
        }
        // The strings of the record point into this buffer; it stays alive
        // with every copy of the result, so a later set can reuse them.
        auto buffer = std::make_shared<std::vector<BYTE>>(size, 0);
        DWORD needed = 0;
        if (!::GetPrinterW(reinterpret_cast<HANDLE>(h), 2, buffer->data(), size, &needed)) return false;
        const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(buffer->data());
        out->attributes = info->Attributes;
        out->status = info->Status;
        out->portName = info->pPortName ? info->pPortName : L"";
        out->native = buffer;
        return true;
    }

    bool SetPrinter2(PrinterHandle h, const PrinterInfo2& info) override {
        auto buffer = std::static_pointer_cast<std::vector<BYTE>>(info.native);
        if (!buffer || buffer->size() < sizeof(PRINTER_INFO_2W)) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        PRINTER_INFO_2W record;
        std::memcpy(&record, buffer->data(), sizeof(record));
        std::wstring port = info.portName;
        record.pPortName = port.empty() ? nullptr : &port[0];
        record.Attributes = info.attributes;
        record.pSecurityDescriptor = nullptr;
        return ::SetPrinterW(reinterpret_cast<HANDLE>(h), 2, reinterpret_cast<BYTE*>(&record), 0) != FALSE;
    }

    bool ControlPrinter(PrinterHandle h, uint32_t command) override {
        return ::SetPrinterW(reinterpret_cast<HANDLE>(h), 0, nullptr, command) != FALSE;
    }

    bool DeletePrinter(PrinterHandle h) override {
        return ::DeletePrinter(reinterpret_cast<HANDLE>(h)) != FALSE;
    }

    bool XcvData(PrinterHandle h, const std::wstring& command, const std::vector<uint8_t>& input,
                 uint32_t* status) override {
        DWORD needed = 0;
        DWORD monitorStatus = ERROR_INVALID_FUNCTION;
        std::vector<uint8_t> data(input);
        BOOL ok = ::XcvDataW(reinterpret_cast<HANDLE>(h), command.c_str(),
                             data.empty() ? nullptr : data.data(), static_cast<DWORD>(data.size()),
                             nullptr, 0, &needed, &monitorStatus);
        if (!ok) {
            // A failed call may leave the status untouched; never read that
            // as the monitor's success.
            DWORD err = ::GetLastError();
            *status = err ? err : ERROR_INVALID_FUNCTION;
            return false;
        }
        *status = monitorStatus;
        return true;
    }

    bool ClearRegistryBits(const std::wstring& keyPath, const std::wstring& valueName,
                           uint32_t bits) override {
        HKEY raw = nullptr;
        LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                                  &raw);
        if (rc != ERROR_SUCCESS) {
            ::SetLastError(static_cast<DWORD>(rc));
            return false;
        }
        UniqueKey key(raw);
        DWORD type = 0, value = 0, size = sizeof(value);
        rc = ::RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type,
                                reinterpret_cast<BYTE*>(&value), &size);
        if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value)) {
            ::SetLastError(rc != ERROR_SUCCESS ? static_cast<DWORD>(rc) : ERROR_INVALID_DATA);
            return false;
        }
        value &= ~bits;
        rc = ::RegSetValueExW(key.get(), valueName.c_str(), 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&value), sizeof(value));
        if (rc != ERROR_SUCCESS) {
            ::SetLastError(static_cast<DWORD>(rc));
            return false;
        }
        ::RegFlushKey(key.get());
        return true;
    }

    void Sleep(uint32_t ms) override { ::Sleep(ms); }
};

std::atomic<PrintSystem*> g_active{nullptr};

}  // namespace

PrintSystem& WindowsPrintSystem() {
    static WindowsSystem system;
    return system;
}

PrintSystem& ActivePrintSystem() {
    PrintSystem* p = g_active.load();
    return p ? *p : WindowsPrintSystem();
}

void SetPrintSystem(PrintSystem* system) { g_active.store(system); }

}  // namespace qs
