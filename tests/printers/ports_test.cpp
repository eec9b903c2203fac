// Ports, attachment, attributes, purge and self-test against the fake
// print system.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <thread>

#include "fake_fixture.h"
#include "foundation/system_info.h"
#include "foundation/text.h"
#include "printers/enumeration.h"
#include "printers/printer_ports.h"

namespace qs {
namespace {

using test::FakePrintersTest;
using Queue = FakePrintSystem::Queue;

constexpr int32_t kAccessDeniedHr = static_cast<int32_t>(0x80041003u);  // WBEM_E_ACCESS_DENIED
const std::string kMonitorOpen = "open ,XcvMonitor Standard TCP/IP Port";

TEST(PortNames, MakePortNameIsPrefixAndDecimalNumber) {
    EXPECT_EQ(MakePortName(39100), L"Quillnet39100");
    EXPECT_EQ(MakePortName(39107), L"Quillnet39107");
    EXPECT_EQ(MakePortName(1), L"Quillnet1");
}

TEST(PortNames, PrinterPathEscapesQuotesAndBackslashesPortPathDoesNot) {
    EXPECT_EQ(PrinterObjectPath(L"Receipt"), L"Win32_Printer.DeviceID=\"Receipt\"");
    EXPECT_EQ(PrinterObjectPath(L"\\\\srv\\Label \"A\""),
              L"Win32_Printer.DeviceID=\"\\\\\\\\srv\\\\Label \\\"A\\\"\"");
    EXPECT_EQ(PortObjectPath(L"Quillnet39100"), L"Win32_TCPIPPrinterPort.Name=\"Quillnet39100\"");
    EXPECT_EQ(PortObjectPath(L"a\\b"), L"Win32_TCPIPPrinterPort.Name=\"a\\b\"");
}

TEST(PortNames, DeletePortRecordHoldsNameInFixedFieldAndVersionOne) {
    std::vector<uint8_t> rec = MakeDeletePortData(L"Quillnet39100");
    ASSERT_EQ(rec.size(), 236u);
    std::wstring name(reinterpret_cast<const wchar_t*>(rec.data()), 13);
    EXPECT_EQ(name, L"Quillnet39100");
    uint32_t version = 0;
    std::memcpy(&version, rec.data() + 228, 4);
    EXPECT_EQ(version, 1u);
    // Everything behind the name is zero: terminator, reserved bytes, padding.
    for (size_t i = 26; i < 228; ++i) ASSERT_EQ(rec[i], 0) << "byte " << i;
    for (size_t i = 232; i < 236; ++i) ASSERT_EQ(rec[i], 0) << "byte " << i;

    EXPECT_EQ(MakeDeletePortData(std::wstring(63, L'p')).size(), 236u);
    EXPECT_TRUE(MakeDeletePortData(std::wstring(64, L'p')).empty()) << "no room for the terminator";
    EXPECT_TRUE(MakeDeletePortData(L"").empty());
}

class PortsTest : public FakePrintersTest {};

TEST_F(PortsTest, CreatePortMakesRawLoopbackPortWithoutSnmp) {
    EXPECT_TRUE(CreatePort(L"Quillnet39100", "127.0.0.1", 39100));
    const auto* p = fake.FindPort(L"Quillnet39100");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->host, L"127.0.0.1");
    EXPECT_EQ(p->number, 39100u);
    EXPECT_EQ(p->protocol, 1);
    EXPECT_FALSE(p->snmp);
    EXPECT_EQ(fake.CountCalls("sleep"), 0) << "a port listed at once needs no wait";
    EXPECT_TRUE(PortExists(L"Quillnet39100"));
}

TEST_F(PortsTest, CreatePortWaitsForTheSpoolerToListThePort) {
    fake.portListDelayMs = 550;
    EXPECT_TRUE(CreatePort(L"Quillnet39100", "127.0.0.1", 39100));
    EXPECT_EQ(fake.CountCalls("sleep 100"), 6);
    EXPECT_EQ(fake.NowMs(), 600);
}

TEST_F(PortsTest, CreatePortGivesUpAfterTwentyPolls) {
    fake.portListDelayMs = -1;
    EXPECT_FALSE(CreatePort(L"Quillnet39100", "127.0.0.1", 39100));
    EXPECT_EQ(fake.CountCalls("sleep 100"), 20);
    EXPECT_EQ(fake.NowMs(), 2000);
    EXPECT_TRUE(Logged("端口已提交但查询不到：Quillnet39100")) << LogDump();
}

TEST_F(PortsTest, CreatePortFailuresLogTheirReason) {
    struct Case {
        const char* what;
        std::function<void(FakePrintSystem&)> setup;
        const char* log;
    };
    const Case cases[] = {
        {"WMI unreachable", [](FakePrintSystem& f) { f.wmiReachable = false; },
         "创建端口失败，连不上 WMI：Quillnet39100"},
        {"no port class", [](FakePrintSystem& f) { f.wmiHasPortClass = false; },
         "创建端口失败，找不到端口类：Quillnet39100"},
        {"put refused", [](FakePrintSystem& f) { f.wmiPortPutHr = kAccessDeniedHr; },
         "创建端口失败 Quillnet39100 hr=2147749891"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakePrintSystem f;
        c.setup(f);
        SetPrintSystem(&f);
        EXPECT_FALSE(CreatePort(L"Quillnet39100", "127.0.0.1", 39100));
        EXPECT_EQ(f.FindPort(L"Quillnet39100"), nullptr);
        EXPECT_EQ(f.CountCalls("sleep"), 0);
        EXPECT_TRUE(Logged(c.log)) << LogDump();
    }
}

TEST_F(PortsTest, DeletePortRoutes) {
    struct Case {
        const char* what;
        bool portThere;
        std::function<void(FakePrintSystem&)> setup;
        bool result;
        bool monitorUsed;
    };
    const Case cases[] = {
        {"WMI deletes", true, [](FakePrintSystem&) {}, true, false},
        {"WMI reports not found", false, [](FakePrintSystem&) {}, true, false},
        {"WMI unreachable, monitor deletes", true, [](FakePrintSystem& f) { f.wmiReachable = false; },
         true, true},
        {"WMI delete fails, monitor deletes", true,
         [](FakePrintSystem& f) { f.wmiDeleteHr = kAccessDeniedHr; }, true, true},
        {"monitor answers already exists", true,
         [](FakePrintSystem& f) {
             f.wmiReachable = false;
             f.monitorStatus = 183;
         },
         true, true},
        {"monitor refuses", true,
         [](FakePrintSystem& f) {
             f.wmiReachable = false;
             f.monitorStatus = 5;
         },
         false, true},
        {"monitor missing", true,
         [](FakePrintSystem& f) {
             f.wmiReachable = false;
             f.monitorPresent = false;
         },
         false, true},
        {"monitor does not know the port", false, [](FakePrintSystem& f) { f.wmiReachable = false; },
         false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakePrintSystem f;
        if (c.portThere) f.AddListedPort(L"Quillnet39100");
        c.setup(f);
        SetPrintSystem(&f);
        EXPECT_EQ(DeletePort(L"Quillnet39100"), c.result);
        EXPECT_EQ(f.CountCalls("wmi-delete Win32_TCPIPPrinterPort.Name=\"Quillnet39100\""), 1);
        EXPECT_EQ(f.CountCalls(kMonitorOpen) > 0, c.monitorUsed);
        if (c.monitorUsed && f.monitorPresent) {
            // Port commands need the server administration right on the handle.
            EXPECT_EQ(f.CountCalls(kMonitorOpen + " 1"), 1);
            EXPECT_EQ(f.CountCalls("xcv DeletePort Quillnet39100"), 1);
        }
        if (c.result && !f.monitorStatus) {
            EXPECT_EQ(f.FindPort(L"Quillnet39100"), nullptr);
        }
        EXPECT_EQ(f.OpenHandles(), 0u);
    }
}

TEST_F(PortsTest, ExistenceIsExactAndFollowsTheSpoolerList) {
    fake.AddListedPort(L"Quillnet39100");
    fake.AddQueue(Queue{L"Receipt", L"Quillnet39100"});
    fake.AddQueue(Queue{L"\\\\srv\\Kitchen", L"Ne00:"});
    EXPECT_TRUE(PortExists(L"Quillnet39100"));
    EXPECT_FALSE(PortExists(L"quillnet39100"));
    EXPECT_FALSE(PortExists(L"Quillnet3910"));
    EXPECT_TRUE(PrinterExists(L"Receipt"));
    EXPECT_TRUE(PrinterExists(L"\\\\srv\\Kitchen")) << "connected queues count";
    EXPECT_FALSE(PrinterExists(L"receipt"));
    EXPECT_FALSE(PrinterExists(L""));

    fake.portListDelayMs = -1;
    fake.WmiCreatePort(L"Quillnet39101", L"127.0.0.1", 39101);
    EXPECT_FALSE(PortExists(L"Quillnet39101")) << "a port the spooler does not list does not exist";
}

TEST_F(PortsTest, QueryAndGetPrinterPort) {
    AddReceipt(L"Quillnet39100", 0x940, 0x81);
    auto s = QueryPrinter(L"Receipt");
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->attributes, 0x940u);
    EXPECT_EQ(s->status, 0x81u);
    EXPECT_EQ(s->portName, L"Quillnet39100");
    EXPECT_EQ(GetPrinterPort(L"Receipt"), L"Quillnet39100");
    EXPECT_EQ(fake.CountCalls("open Receipt 8"), 2) << "queries only ask to use the queue";

    uint32_t error = 0;
    EXPECT_FALSE(QueryPrinter(L"Nope", &error).has_value());
    EXPECT_EQ(error, 1801u);
    EXPECT_EQ(GetPrinterPort(L"Nope"), L"");

    fake.FindQueue(L"Receipt")->readError = 5;
    EXPECT_FALSE(QueryPrinter(L"Receipt", &error).has_value());
    EXPECT_EQ(error, 5u);
    EXPECT_EQ(GetPrinterPort(L"Receipt"), L"");

    fake.FindQueue(L"Receipt")->readError = 0;
    fake.FindQueue(L"Receipt")->port = L"";
    ASSERT_TRUE(QueryPrinter(L"Receipt").has_value());
    EXPECT_EQ(QueryPrinter(L"Receipt")->portName, L"");
}

TEST_F(PortsTest, AttachThroughWmiChangesOnlyThePortAndSkipsTheSpooler) {
    fake.AddListedPort(L"Quillnet39100");
    AddReceipt(L"LPT1:", 0xD40);
    fake.AddListedPort(L"LPT1:");
    EXPECT_TRUE(AttachPort(L"Receipt", L"Quillnet39100"));
    EXPECT_EQ(fake.FindQueue(L"Receipt")->port, L"Quillnet39100");
    EXPECT_EQ(fake.FindQueue(L"Receipt")->attributes, 0xD40u);
    EXPECT_EQ(fake.CountCalls("set2"), 0);
    EXPECT_EQ(fake.CountCalls("open Receipt 4"), 0);
}

TEST_F(PortsTest, PrinterNameWithQuoteAndBackslashReachesWmiEscaped) {
    fake.AddListedPort(L"Quillnet39100");
    fake.AddListedPort(L"LPT1:");
    const std::wstring name = L"Bar \"No.2\" \\ Front";
    fake.AddQueue(Queue{name, L"LPT1:"});
    EXPECT_TRUE(AttachPort(name, L"Quillnet39100"));
    EXPECT_EQ(fake.FindQueue(name)->port, L"Quillnet39100");
    EXPECT_EQ(fake.CountCalls("wmi-printer Win32_Printer.DeviceID=\"Bar \\\"No.2\\\" \\\\ Front\" "
                              "Quillnet39100"),
              1);
    EXPECT_EQ(fake.CountCalls("set2"), 0) << "WMI found the queue: no spooler route";
}

TEST_F(PortsTest, AttachFallsBackToTheSpooler) {
    struct Case {
        const char* what;
        std::function<void(FakePrintSystem&, Queue&)> setup;
        bool result;
        const char* log;  // "" for none
        bool portMoved;
    };
    const Case cases[] = {
        {"WMI cannot find the queue",
         [](FakePrintSystem& f, Queue&) { f.wmiPrinterGetHr = kWbemNotFound; }, true,
         "找不到打印机 Receipt hr=2147749890", true},
        {"WMI put fails", [](FakePrintSystem& f, Queue&) { f.wmiPrinterPutHr = kAccessDeniedHr; },
         true, "切换端口失败 Receipt hr=2147749891", true},
        {"WMI cannot set the property",
         [](FakePrintSystem& f, Queue&) { f.wmiPrinterSetHr = kAccessDeniedHr; }, true, "", true},
        {"WMI unreachable", [](FakePrintSystem& f, Queue&) { f.wmiReachable = false; }, true, "",
         true},
        {"WMI put succeeds but the port stays", [](FakePrintSystem&, Queue& q) { q.wmiKeepsPort = true; },
         true, "", true},
        {"spooler set succeeds but the port stays",
         [](FakePrintSystem& f, Queue& q) {
             f.wmiReachable = false;
             q.setKeepsPort = true;
         },
         false, "AttachPort 调用成功但端口未变：Receipt", false},
        {"queue cannot be opened",
         [](FakePrintSystem& f, Queue& q) {
             f.wmiReachable = false;
             q.deniedAccess = kPrinterAccessAdminister | kPrinterAccessUse;
         },
         false, "AttachPort 打不开打印机：Win32(5)", false},
        {"only use rights: the set is refused",
         [](FakePrintSystem& f, Queue& q) {
             f.wmiReachable = false;
             q.deniedAccess = kPrinterAccessAdminister;
         },
         false, "AttachPort 失败：Win32(5)", false},
        {"read fails",
         [](FakePrintSystem& f, Queue& q) {
             f.wmiReachable = false;
             q.readError = 1722;
         },
         false, "AttachPort 读打印机失败：Win32(1722)", false},
        {"size unknown",
         [](FakePrintSystem& f, Queue& q) {
             f.wmiReachable = false;
             q.sizeUnknown = true;
         },
         false, "", false},
        {"set fails",
         [](FakePrintSystem& f, Queue& q) {
             f.wmiReachable = false;
             q.setError = 1796;
         },
         false, "AttachPort 失败：Win32(1796)", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakePrintSystem f;
        f.AddListedPort(L"Quillnet39100");
        f.AddListedPort(L"LPT1:");
        // 0x40 (local) stays, the three data blockers go with the spooler route.
        f.AddQueue(Queue{L"Receipt", L"LPT1:", 0xD40, 0});
        c.setup(f, *f.FindQueue(L"Receipt"));
        SetPrintSystem(&f);
        EXPECT_EQ(AttachPort(L"Receipt", L"Quillnet39100"), c.result);
        const Queue& q = *f.FindQueue(L"Receipt");
        EXPECT_EQ(q.port == L"Quillnet39100", c.portMoved);
        if (c.result) {
            EXPECT_EQ(f.CountCalls("set2 Receipt"), 1);
            EXPECT_EQ(q.attributes, 0x40u) << "the spooler route clears 0xD00 and keeps the rest";
        }
        if (*c.log) {
            EXPECT_TRUE(Logged(c.log)) << LogDump();
        }
        EXPECT_EQ(f.OpenHandles(), 0u);
    }
}

TEST_F(PortsTest, ClearAttributeAlreadyClearTouchesNothing) {
    AddReceipt(L"Quillnet39100", 0x40);
    EXPECT_TRUE(ClearPrinterAttribute(L"Receipt", kAttrEnableBidi));
    EXPECT_EQ(fake.CountCalls("set2"), 0);
    EXPECT_EQ(fake.CountCalls("registry"), 0);
    EXPECT_EQ(fake.CountCalls("open Receipt 983052"), 0);
}

TEST_F(PortsTest, ClearAttributeRoutes) {
    struct Case {
        const char* what;
        std::function<void(Queue&)> setup;
        bool result;
        bool registryUsed;
        const char* log;
    };
    const Case cases[] = {
        {"spooler clears", [](Queue&) {}, true, false, ""},
        {"full access refused, administration allowed",
         [](Queue& q) { q.deniedAccess = 0xF0000; }, true, false, ""},
        {"spooler ignores the bits, registry clears",
         [](Queue& q) { q.setKeepsAttributes = true; }, true, true, ""},
        {"spooler set fails, registry clears", [](Queue& q) { q.setError = 5; }, true, true,
         "清除打印机属性失败：Win32(5)"},
        {"queue cannot be opened or read", [](Queue& q) { q.deniedAccess = 0xFFFFFFFF; }, false, true,
         "双向支持等属性未能关掉：Receipt"},
        {"neither route works",
         [](Queue& q) {
             q.setKeepsAttributes = true;
             q.inRegistry = false;
         },
         false, true, "双向支持等属性未能关掉：Receipt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakePrintSystem f;
        f.AddListedPort(L"Quillnet39100");
        f.AddQueue(Queue{L"Receipt", L"Quillnet39100", 0xD40, 0});
        c.setup(*f.FindQueue(L"Receipt"));
        SetPrintSystem(&f);
        EXPECT_EQ(ClearPrinterAttribute(L"Receipt", kAttrEnableBidi), c.result);
        const Queue& q = *f.FindQueue(L"Receipt");
        if (c.result) {
            EXPECT_EQ(q.attributes, 0x540u) << "only the asked bit goes";
        }
        EXPECT_EQ(q.port, L"Quillnet39100");
        EXPECT_EQ(f.CountCalls("registry SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Receipt"),
                  c.registryUsed ? 1 : 0);
        if (*c.log) {
            EXPECT_TRUE(Logged(c.log)) << LogDump();
        }
        EXPECT_EQ(f.OpenHandles(), 0u);
    }
}

TEST_F(PortsTest, ClearAttributeOfUnreadableQueueFails) {
    AddReceipt(L"Quillnet39100", 0);
    fake.FindQueue(L"Receipt")->readError = 5;
    EXPECT_FALSE(ClearPrinterAttribute(L"Receipt", kAttrWorkOffline)) << "a failed query counts as set";
    EXPECT_TRUE(Logged("双向支持等属性未能关掉：Receipt"));
}

TEST_F(PortsTest, ResumeClearsPausedAndOffline) {
    AddReceipt(L"Quillnet39100", 0, kStatusPaused | kStatusOffline | kStatusPaperOut);
    EXPECT_TRUE(ResumePrinter(L"Receipt"));
    EXPECT_EQ(fake.FindQueue(L"Receipt")->status, kStatusPaperOut);
    EXPECT_EQ(fake.CountCalls("open Receipt 4"), 1);

    fake.FindQueue(L"Receipt")->deniedAccess = kPrinterAccessAdminister;
    fake.FindQueue(L"Receipt")->status = kStatusPaused;
    EXPECT_FALSE(ResumePrinter(L"Receipt")) << "a use-only handle cannot resume";
    EXPECT_EQ(fake.FindQueue(L"Receipt")->status, kStatusPaused);
    EXPECT_FALSE(ResumePrinter(L"Nope"));
}

TEST_F(PortsTest, PurgeRemovesOnlyProductPortsAndQueues) {
    for (const wchar_t* p : {L"Quillnet39100", L"Quillnet39101", L"Quillnet_SelfTest_0a1b2c3d",
                             L"MyQuillnet1", L"LPT1:", L"quillnet5", L"USB001"}) {
        fake.AddListedPort(p);
    }
    fake.AddQueue(Queue{L"维澜云打印-前台", L"Quillnet39101"});
    fake.AddQueue(Queue{L"Quillnet-Kitchen", L"Quillnet39100"});
    fake.AddQueue(Queue{L"Office Laser", L"LPT1:"});
    fake.AddQueue(Queue{L"My 维澜云打印-x", L"USB001"});
    fake.AddQueue(Queue{L"QuillnetKitchen", L"USB001"});

    EXPECT_EQ(PurgePortsAndPrinters(), 5);
    EXPECT_FALSE(fake.HasQueue(L"维澜云打印-前台"));
    EXPECT_FALSE(fake.HasQueue(L"Quillnet-Kitchen"));
    EXPECT_TRUE(fake.HasQueue(L"Office Laser"));
    EXPECT_TRUE(fake.HasQueue(L"My 维澜云打印-x"));
    EXPECT_TRUE(fake.HasQueue(L"QuillnetKitchen"));
    // The queues' own ports go too: they are deleted after their queues.
    EXPECT_EQ(ListPorts(), (std::vector<std::wstring>{L"MyQuillnet1", L"LPT1:", L"quillnet5", L"USB001"}));
}

TEST_F(PortsTest, PurgeCountsAQueueItCannotOpen) {
    fake.AddListedPort(L"USB001");
    fake.AddQueue(Queue{L"Quillnet-Locked", L"USB001"});
    fake.FindQueue(L"Quillnet-Locked")->deniedAccess = 0xFFFFFFFF;
    EXPECT_EQ(PurgePortsAndPrinters(), 1);
    EXPECT_TRUE(fake.HasQueue(L"Quillnet-Locked"));
}

TEST_F(PortsTest, SelfTestCreatesSeesAndDeletesItsOwnPort) {
    std::string error = "stale";
    EXPECT_TRUE(PortSelfTest(&error));
    EXPECT_EQ(error, "");
    std::vector<std::string> calls = fake.Calls();
    std::string created;
    for (const auto& c : calls) {
        if (c.rfind("wmi-create ", 0) == 0) created = c.substr(11);
    }
    ASSERT_EQ(created.size(), 26u) << created;
    EXPECT_EQ(created.substr(0, 18), "Quillnet_SelfTest_");
    for (char ch : created.substr(18)) EXPECT_TRUE((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f')) << created;
    EXPECT_TRUE(ListPorts().empty()) << "nothing left behind";
    EXPECT_EQ(fake.CountCalls("wmi-delete Win32_TCPIPPrinterPort.Name=\"" + created + "\""), 1);
}

TEST_F(PortsTest, SelfTestFailures) {
    struct Case {
        const char* what;
        std::function<void(FakePrintSystem&)> setup;
        const char* errorPrefix;
    };
    const Case cases[] = {
        {"WMI unreachable", [](FakePrintSystem& f) { f.wmiReachable = false; }, "创建端口失败：Win32("},
        {"never listed", [](FakePrintSystem& f) { f.portListDelayMs = -1; }, "创建端口失败：Win32("},
        {"cannot delete",
         [](FakePrintSystem& f) {
             f.wmiDeleteHr = kAccessDeniedHr;
             f.monitorPresent = false;
         },
         "端口已创建但删除失败：Quillnet_SelfTest_"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakePrintSystem f;
        c.setup(f);
        SetPrintSystem(&f);
        std::string error;
        EXPECT_FALSE(PortSelfTest(&error));
        EXPECT_EQ(error.rfind(c.errorPrefix, 0), 0u) << error;
        if (f.wmiReachable && !f.wmiDeleteHr) {
            EXPECT_EQ(f.CountCalls("wmi-create"), 1);
            // A port that was made but listed too late is removed as well.
            EXPECT_EQ(f.PortCount(), 0u);
            EXPECT_EQ(f.CountCalls("wmi-delete"), 1);
        }
    }
}

TEST_F(PortsTest, TwoSelfTestsAtOnceUseTheirOwnPorts) {
    fake.portListDelayMs = 300;
    bool ok[2] = {false, false};
    std::string errors[2];
    std::thread a([&] { ok[0] = PortSelfTest(&errors[0]); });
    std::thread b([&] { ok[1] = PortSelfTest(&errors[1]); });
    a.join();
    b.join();
    EXPECT_TRUE(ok[0]) << errors[0];
    EXPECT_TRUE(ok[1]) << errors[1];
    std::set<std::string> names;
    for (const auto& c : fake.Calls()) {
        if (c.rfind("wmi-create ", 0) == 0) names.insert(c);
    }
    EXPECT_EQ(names.size(), 2u);
    EXPECT_TRUE(ListPorts().empty());
}

}  // namespace
}  // namespace qs
