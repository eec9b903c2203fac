// The real print system under Wine: the spooler's lists, the local port
// monitor, the registry and COM are real here; the TCP/IP port monitor and
// the WMI printer classes are missing, so those routes must fail cleanly.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <winspool.h>

#include <algorithm>
#include <thread>

#include "foundation/ids.h"
#include "foundation/logger.h"
#include "foundation/text.h"
#include "printers/enumeration.h"
#include "printers/health.h"
#include "printers/print_system.h"
#include "printers/printer_ports.h"

namespace qs {
namespace {

// Names straight from the spooler at other levels than the ones the
// product uses.
template <typename Info, typename Call>
std::vector<std::wstring> Names(Call call, LPWSTR Info::*field) {
    DWORD needed = 0, count = 0;
    call(nullptr, 0, &needed, &count);
    std::vector<std::wstring> names;
    if (needed == 0) return names;
    std::vector<BYTE> buf(needed);
    if (!call(buf.data(), needed, &needed, &count)) return names;
    for (DWORD i = 0; i < count; ++i) names.emplace_back(reinterpret_cast<Info*>(buf.data())[i].*field);
    return names;
}

class WindowsPrintSystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetPrintSystem(nullptr);
        mark_ = "test start " + NewId();
        LogInfo(mark_);
    }
    bool Logged(const std::string& text) const {
        bool after = false;
        for (const auto& l : Logger::Instance().RecentLines(0)) {
            if (after && l.find(text) != std::string::npos) return true;
            if (l.find(mark_) != std::string::npos) after = true;
        }
        return false;
    }
    std::string mark_;
};

TEST_F(WindowsPrintSystemTest, ListsMatchWhatTheSpoolerSays) {
    std::vector<std::wstring> ports = ListPorts();
    EXPECT_EQ(ports, (Names<PORT_INFO_2W>(
                         [](BYTE* b, DWORD n, DWORD* need, DWORD* cnt) {
                             return ::EnumPortsW(nullptr, 2, b, n, need, cnt);
                         },
                         &PORT_INFO_2W::pPortName)));
    // Wine's local monitor always has these.
    EXPECT_NE(std::find(ports.begin(), ports.end(), L"FILE:"), ports.end());
    EXPECT_NE(std::find(ports.begin(), ports.end(), L"LPT1:"), ports.end());

    EXPECT_EQ(ListPrinters(), (Names<PRINTER_INFO_4W>(
                                  [](BYTE* b, DWORD n, DWORD* need, DWORD* cnt) {
                                      return ::EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS,
                                                             nullptr, 4, b, n, need, cnt);
                                  },
                                  &PRINTER_INFO_4W::pPrinterName)));
    EXPECT_EQ(ListDrivers(), (Names<DRIVER_INFO_1W>(
                                 [](BYTE* b, DWORD n, DWORD* need, DWORD* cnt) {
                                     return ::EnumPrinterDriversW(nullptr, nullptr, 1, b, n, need, cnt);
                                 },
                                 &DRIVER_INFO_1W::pName)));
    EXPECT_TRUE(PortExists(L"FILE:"));
    EXPECT_FALSE(PortExists(L"file:")) << "exact comparison";
}

TEST_F(WindowsPrintSystemTest, MonitorHandleAndXcvDataWorkOnTheLocalPortMonitor) {
    PrintSystem& ps = WindowsPrintSystem();
    const std::wstring port = L"C:\\qs_" + Utf8ToWide(NewId()) + L".prn";
    std::vector<uint8_t> input(reinterpret_cast<const uint8_t*>(port.c_str()),
                               reinterpret_cast<const uint8_t*>(port.c_str() + port.size() + 1));
    PrinterHandle h = 0;
    ASSERT_TRUE(ps.OpenSpooler(L",XcvMonitor Local Port", kServerAccessAdminister, &h));
    uint32_t status = 99;
    EXPECT_TRUE(ps.XcvData(h, L"AddPort", input, &status));
    EXPECT_EQ(status, 0u);
    EXPECT_TRUE(PortExists(port));
    status = 99;
    EXPECT_TRUE(ps.XcvData(h, L"DeletePort", input, &status));
    EXPECT_EQ(status, 0u);
    ps.CloseSpooler(h);
    EXPECT_FALSE(PortExists(port));
}

TEST_F(WindowsPrintSystemTest, TcpRoutesFailCleanlyWhereWineLacksThem) {
    // WMI connects (the proxy blanket is set) but has no TCP/IP port class.
    EXPECT_FALSE(CreatePort(L"Quillnet39999", "127.0.0.1", 39999));
    EXPECT_TRUE(Logged("创建端口失败，找不到端口类：Quillnet39999"));
    EXPECT_FALSE(PortExists(L"Quillnet39999"));
    // WMI deletion fails and the TCP/IP monitor can't be opened.
    EXPECT_FALSE(DeletePort(L"Quillnet39999"));
    PrinterHandle h = 0;
    EXPECT_FALSE(WindowsPrintSystem().OpenSpooler(L",XcvMonitor Standard TCP/IP Port",
                                                  kServerAccessAdminister, &h));
    std::string error;
    EXPECT_FALSE(PortSelfTest(&error));
    EXPECT_EQ(error.rfind("创建端口失败：", 0), 0u) << error;
    EXPECT_EQ(PurgePortsAndPrinters(), 0) << "none of Wine's own ports or queues is ours";
    EXPECT_TRUE(PortExists(L"LPT1:"));
}

TEST_F(WindowsPrintSystemTest, MissingQueueThroughTheRealSpooler) {
    const std::wstring name = L"Quillnet-NoSuchQueue " + Utf8ToWide(NewId());
    uint32_t error = 0;
    EXPECT_FALSE(QueryPrinter(name, &error).has_value());
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_INVALID_PRINTER_NAME));
    EXPECT_EQ(GetPrinterPort(name), L"");
    EXPECT_FALSE(PrinterExists(name));
    EXPECT_FALSE(ResumePrinter(name));

    HealthReport r = CheckAndRepair(name, L"Quillnet39100", 39100);
    ASSERT_EQ(r.issues.size(), 1u);
    EXPECT_EQ(r.issues[0].code, "PRINTER_MISSING");
    EXPECT_FALSE(r.issues[0].fixed);

    EXPECT_FALSE(AttachPort(name, L"LPT1:"));
    EXPECT_TRUE(Logged("找不到打印机 " + WideToUtf8(name) + " hr=2147749890"));
    EXPECT_TRUE(Logged("AttachPort 打不开打印机：Win32(1801)"));
    EXPECT_FALSE(ClearPrinterAttribute(name, kAttrEnableBidi));
    EXPECT_TRUE(Logged("双向支持等属性未能关掉：" + WideToUtf8(name)));
}

TEST_F(WindowsPrintSystemTest, RegistryFallbackClearsOnlyTheBitsOfADword) {
    const std::wstring key =
        L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\QsTest " + Utf8ToWide(NewId());
    HKEY raw = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                &raw, nullptr),
              ERROR_SUCCESS);
    DWORD value = 0xD40;
    ::RegSetValueExW(raw, L"Attributes", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4);
    const wchar_t text[] = L"2048";
    ::RegSetValueExW(raw, L"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text));

    PrintSystem& ps = WindowsPrintSystem();
    EXPECT_TRUE(ps.ClearRegistryBits(key, L"Attributes", kAttrEnableBidi));
    DWORD type = 0, size = 4;
    value = 0;
    ::RegQueryValueExW(raw, L"Attributes", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 0x540u);
    EXPECT_FALSE(ps.ClearRegistryBits(key, L"Text", kAttrEnableBidi)) << "not a DWORD";
    EXPECT_FALSE(ps.ClearRegistryBits(key, L"Missing", kAttrEnableBidi));
    EXPECT_FALSE(ps.ClearRegistryBits(key + L"x", L"Attributes", kAttrEnableBidi));
    ::RegCloseKey(raw);
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
}

// COM as this thread had it before a WMI operation is what it has after.
TEST_F(WindowsPrintSystemTest, WmiOperationLeavesTheThreadsComAsItFoundIt) {
    struct Case {
        const char* what;
        DWORD before;  // 0: COM not initialised on the thread
    };
    const Case cases[] = {
        {"no COM", 0},
        {"single-threaded apartment", COINIT_APARTMENTTHREADED},
        {"multithreaded apartment", COINIT_MULTITHREADED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WmiResult result;
        HRESULT after = E_FAIL;
        std::thread t([&] {
            if (c.before) {
                EXPECT_EQ(::CoInitializeEx(nullptr, c.before), S_OK);
            }
            result = WindowsPrintSystem().WmiCreatePort(L"Quillnet39998", L"127.0.0.1", 39998);
            // S_OK: COM was not initialised any more; S_FALSE: still initialised
            // in the same apartment.
            after = ::CoInitializeEx(nullptr, c.before ? c.before : static_cast<DWORD>(COINIT_MULTITHREADED));
            if (SUCCEEDED(after)) ::CoUninitialize();
            if (c.before) ::CoUninitialize();
        });
        t.join();
        EXPECT_EQ(result.step, WmiStep::kGetObject) << "connected, then no port class under Wine";
        EXPECT_EQ(after, c.before ? S_FALSE : S_OK);
    }
}

}  // namespace
}  // namespace qs
