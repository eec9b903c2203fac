// Loopback Standard TCP/IP printer ports and the queues attached to them.
// Stateless free functions over ActivePrintSystem(); they need
// administrator rights and log why they fail.
#pragma once
// winspool.h maps DeletePort to DeletePortW: take it in first, once, and
// drop that macro so the name below means this module's function in every
// file that includes both.
#include <windows.h>
#include <winspool.h>
#undef DeletePort

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qs {

// A queue's level-2 state.
struct PrinterState {
    uint32_t attributes = 0;
    uint32_t status = 0;
    std::wstring portName;  // empty when the queue reports none
};

// "Quillnet" + the number in decimal.
std::wstring MakePortName(int port);

// WMI object paths. The printer name is escaped (back-slash and double
// quote); the port name goes in as it is.
std::wstring PortObjectPath(const std::wstring& port);
std::wstring PrinterObjectPath(const std::wstring& printer);

// The port monitor's "DeletePort" input record: the name in a fixed
// 64-character field, version 1. Names that do not fit give an empty record.
std::vector<uint8_t> MakeDeletePortData(const std::wstring& port);

bool CreatePort(const std::wstring& name, const std::string& host, int port);
bool DeletePort(const std::wstring& name);
bool PortExists(const std::wstring& name);
bool PrinterExists(const std::wstring& name);
// On failure *error (when given) gets the spooler's last error.
std::optional<PrinterState> QueryPrinter(const std::wstring& name, uint32_t* error = nullptr);
std::wstring GetPrinterPort(const std::wstring& name);
bool AttachPort(const std::wstring& printer, const std::wstring& port);
bool ClearPrinterAttribute(const std::wstring& printer, uint32_t bits);
bool ResumePrinter(const std::wstring& printer);
int PurgePortsAndPrinters();
bool PortSelfTest(std::string* error);

}  // namespace qs
