// The narrow platform interface under printer integration: the few spooler,
// WMI, port-monitor and registry calls the printer functions make. The
// Windows implementation makes the real calls; tests hand in a fake with
// the same behaviour (Wine has neither the TCP/IP port monitor nor the WMI
// printer-port class).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qs {

// Spooler access rights (winspool.h values, checked in the Windows code).
constexpr uint32_t kPrinterAccessAdminister = 0x4;
constexpr uint32_t kPrinterAccessUse = 0x8;
constexpr uint32_t kPrinterAllAccess = 0xF000C;
constexpr uint32_t kServerAccessAdminister = 0x1;

// Queue attribute and status bits the printer functions look at.
constexpr uint32_t kAttrKeepPrintedJobs = 0x100;
constexpr uint32_t kAttrWorkOffline = 0x400;
constexpr uint32_t kAttrEnableBidi = 0x800;
constexpr uint32_t kAttrDataBlockers = kAttrKeepPrintedJobs | kAttrWorkOffline | kAttrEnableBidi;
constexpr uint32_t kStatusPaused = 0x1;
constexpr uint32_t kStatusError = 0x2;
constexpr uint32_t kStatusPaperOut = 0x10;
constexpr uint32_t kStatusOffline = 0x80;

constexpr uint32_t kPrinterControlResume = 2;

// HRESULTs the logic tells apart.
constexpr int32_t kWbemNotFound = static_cast<int32_t>(0x80041002u);

// A spooler handle; 0 is none.
using PrinterHandle = uintptr_t;

// The fields of a queue's level-2 information that the logic reads and
// changes. `native` carries the implementation's own copy of the whole
// record so that a set writes every other field back unchanged.
struct PrinterInfo2 {
    uint32_t attributes = 0;
    uint32_t status = 0;
    std::wstring portName;
    std::shared_ptr<void> native;
};

// Where a WMI operation stopped. kDone means every step succeeded.
enum class WmiStep { kConnect, kGetObject, kSetProperty, kPut, kDone };

struct WmiResult {
    WmiStep step = WmiStep::kConnect;
    int32_t hr = 0;  // HRESULT of the failing step; 0 for kDone
    bool ok() const { return step == WmiStep::kDone; }
};

class PrintSystem {
public:
    virtual ~PrintSystem() = default;

    // Enumeration: names in the spooler's order, empty on any failure.
    virtual std::vector<std::wstring> EnumPrinterNames() = 0;
    virtual std::vector<std::wstring> EnumPortNames() = 0;
    virtual std::vector<std::wstring> EnumDriverNames() = 0;

    // WMI, each call a connection of its own in ROOT\CIMV2.
    // Spawns and puts (create or update) a Win32_TCPIPPrinterPort, RAW, SNMP off.
    virtual WmiResult WmiCreatePort(const std::wstring& name, const std::wstring& host,
                                    uint32_t portNumber) = 0;
    // Deletes the instance at the object path.
    virtual WmiResult WmiDeleteInstance(const std::wstring& objectPath) = 0;
    // Gets the Win32_Printer at the object path, sets PortName and puts it
    // back update-only.
    virtual WmiResult WmiSetPrinterPort(const std::wstring& objectPath,
                                        const std::wstring& portName) = 0;

    // Spooler. Failures leave the reason in the thread's last error.
    // access 0 opens without defaults.
    virtual bool OpenSpooler(const std::wstring& name, uint32_t access, PrinterHandle* out) = 0;
    virtual void CloseSpooler(PrinterHandle h) = 0;
    // Bytes the level-2 information needs; 0 on failure.
    virtual uint32_t Printer2Size(PrinterHandle h) = 0;
    virtual bool GetPrinter2(PrinterHandle h, uint32_t size, PrinterInfo2* out) = 0;
    // Writes the record back with the given port and attributes and without
    // a security descriptor, so the queue's security stays as it is.
    virtual bool SetPrinter2(PrinterHandle h, const PrinterInfo2& info) = 0;
    // SetPrinter level 0 with a control command.
    virtual bool ControlPrinter(PrinterHandle h, uint32_t command) = 0;
    virtual bool DeletePrinter(PrinterHandle h) = 0;
    // XcvData on a monitor handle; *status gets the monitor's answer.
    virtual bool XcvData(PrinterHandle h, const std::wstring& command,
                         const std::vector<uint8_t>& input, uint32_t* status) = 0;

    // Registry, HKEY_LOCAL_MACHINE: clears bits of a 4-byte REG_DWORD value
    // and flushes the key. False when the key or such a value is missing.
    virtual bool ClearRegistryBits(const std::wstring& keyPath, const std::wstring& valueName,
                                   uint32_t bits) = 0;

    // The pause between polls for a port the spooler has not listed yet.
    virtual void Sleep(uint32_t ms) = 0;
};

// The real spooler, WMI and registry of this machine.
PrintSystem& WindowsPrintSystem();

// The instance the printer functions use: the Windows one unless a caller
// (the core's start options, a test) installed another. Passing nullptr
// restores the Windows one. The instance must outlive its use.
PrintSystem& ActivePrintSystem();
void SetPrintSystem(PrintSystem* system);

}  // namespace qs
