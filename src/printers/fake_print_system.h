// An in-memory print system that answers as Windows does: queues with a
// port, attributes and status; Standard TCP/IP ports that WMI creates and
// the spooler lists (at once, after a delay, or never); the port monitor's
// "DeletePort"; the printers' registry "Attributes" values; access checks on
// spooler handles. Switches make each platform piece fail the way it fails
// on a real machine. For tests of printer integration and of its callers.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "printers/print_system.h"

namespace qs {

class FakePrintSystem final : public PrintSystem {
public:
    struct Queue {
        std::wstring name;
        std::wstring port;
        uint32_t attributes = 0;
        uint32_t status = 0;
        uint32_t deniedAccess = 0;     // rights whose open fails with access denied
        bool sizeUnknown = false;      // the level-2 size query answers 0
        uint32_t readError = 0;        // the level-2 read fails with this error
        uint32_t setError = 0;         // level-2 set fails with this error
        bool setKeepsPort = false;     // set succeeds, port stays as it was
        bool setKeepsAttributes = false;  // set succeeds, attributes stay
        bool wmiKeepsPort = false;     // WMI put succeeds, port stays
        bool offlineSticks = false;    // resume leaves the offline status
        uint32_t statusAfterResume = 0;  // status bits a resume brings up
        bool inRegistry = true;        // the printer's key has an Attributes value
    };
    struct Port {
        std::wstring name;
        std::wstring host;
        uint32_t number = 0;
        int32_t protocol = 0;
        bool snmp = false;
        int64_t listedAt = 0;  // the spooler lists it from this fake time on
    };

    // Platform switches; set them before the code under test runs.
    bool wmiReachable = true;
    bool wmiHasPortClass = true;
    int32_t wmiPortPutHr = 0;      // PutInstance of a port fails with it
    int32_t wmiDeleteHr = 0;       // DeleteInstance fails with it
    int32_t wmiPrinterGetHr = 0;   // GetObject of a printer fails with it
    int32_t wmiPrinterSetHr = 0;   // setting PortName fails with it
    int32_t wmiPrinterPutHr = 0;   // PutInstance of a printer fails with it
    bool monitorPresent = true;
    std::optional<uint32_t> monitorStatus;  // forces the answer of "DeletePort"
    int64_t portListDelayMs = 0;   // a created port is listed after this; <0 never

    void AddQueue(const Queue& q);
    void AddListedPort(const std::wstring& name, const std::wstring& host = L"127.0.0.1",
                 uint32_t number = 0);
    void AddDriver(const std::wstring& name);

    // State, for assertions.
    Queue* FindQueue(const std::wstring& name);
    const Port* FindPort(const std::wstring& name) const;  // listed or not yet
    bool HasQueue(const std::wstring& name) const;
    size_t PortCount() const;  // listed or not yet
    size_t OpenHandles() const;
    int BadCloses() const;
    int64_t NowMs() const;
    // Every call the code made, one line each: "open <name> <access>",
    // "close", "size", "get2 <name>", "set2 <name>", "control <name> <cmd>",
    // "deleteprinter <name>", "xcv <command> <port>", "wmi-create <name>",
    // "wmi-delete <path>", "wmi-printer <path> <port>", "registry <key>",
    // "sleep <ms>". UTF-8.
    std::vector<std::string> Calls() const;
    int CountCalls(const std::string& prefix) const;
    void ClearCalls();

    // PrintSystem.
    std::vector<std::wstring> EnumPrinterNames() override;
    std::vector<std::wstring> EnumPortNames() override;
    std::vector<std::wstring> EnumDriverNames() override;
    WmiResult WmiCreatePort(const std::wstring& name, const std::wstring& host,
                            uint32_t portNumber) override;
    WmiResult WmiDeleteInstance(const std::wstring& objectPath) override;
    WmiResult WmiSetPrinterPort(const std::wstring& objectPath, const std::wstring& portName) override;
    bool OpenSpooler(const std::wstring& name, uint32_t access, PrinterHandle* out) override;
    void CloseSpooler(PrinterHandle h) override;
    uint32_t Printer2Size(PrinterHandle h) override;
    bool GetPrinter2(PrinterHandle h, uint32_t size, PrinterInfo2* out) override;
    bool SetPrinter2(PrinterHandle h, const PrinterInfo2& info) override;
    bool ControlPrinter(PrinterHandle h, uint32_t command) override;
    bool DeletePrinter(PrinterHandle h) override;
    bool XcvData(PrinterHandle h, const std::wstring& command, const std::vector<uint8_t>& input,
                 uint32_t* status) override;
    bool ClearRegistryBits(const std::wstring& keyPath, const std::wstring& valueName,
                           uint32_t bits) override;
    void Sleep(uint32_t ms) override;

private:
    struct Handle {
        std::wstring queue;  // empty for the port monitor
        uint32_t access = 0;
    };
    Queue* QueueOf(PrinterHandle h, const Handle** handle);
    bool Listed(const Port& p) const;
    bool PortInUse(const std::wstring& name) const;
    std::vector<Port>::iterator PortIt(const std::wstring& name);
    void Note(const std::string& line);

    mutable std::recursive_mutex mu_;
    std::vector<Queue> queues_;
    std::vector<Port> ports_;
    std::vector<std::wstring> drivers_;
    std::map<PrinterHandle, Handle> handles_;
    PrinterHandle nextHandle_ = 0x1000;
    int badCloses_ = 0;
    int64_t now_ = 0;
    std::vector<std::string> calls_;
};

}  // namespace qs
