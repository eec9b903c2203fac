// The health check and the repair rounds against the fake print system.
#include <gtest/gtest.h>

#include <functional>

#include "fake_fixture.h"
#include "foundation/system_info.h"
#include "printers/health.h"
#include "printers/printer_ports.h"

namespace qs {
namespace {

using Queue = FakePrintSystem::Queue;

const std::wstring kPort = L"Quillnet39100";

std::vector<std::string> Codes(const HealthReport& r) {
    std::vector<std::string> codes;
    for (const auto& i : r.issues) codes.push_back(i.code);
    return codes;
}

std::vector<bool> Fixed(const HealthReport& r) {
    std::vector<bool> fixed;
    for (const auto& i : r.issues) fixed.push_back(i.fixed);
    return fixed;
}

class HealthTest : public test::FakePrintersTest {
protected:
    HealthReport Check() { return CheckPrinter(L"Receipt", kPort, 39100); }
    HealthReport Repair() { return CheckAndRepair(L"Receipt", kPort, 39100); }
};

TEST_F(HealthTest, EachIssueOnItsOwn) {
    struct Case {
        const char* code;
        std::function<void(FakePrintSystem&)> setup;
        std::string message, arg1, arg2;
    };
    auto receipt = [](std::wstring port, uint32_t attributes, uint32_t status) {
        return [=](FakePrintSystem& f) {
            f.AddListedPort(kPort);
            f.AddListedPort(L"LPT1:");
            f.AddQueue(Queue{L"Receipt", port, attributes, status});
        };
    };
    const Case cases[] = {
        {"PRINTER_MISSING", [](FakePrintSystem& f) { f.AddQueue(Queue{L"Other", kPort}); },
         "找不到这台打印机", "", ""},
        {"PORT_MISSING",
         [](FakePrintSystem& f) {
             f.AddListedPort(L"LPT1:");
             f.AddQueue(Queue{L"Receipt", L"LPT1:"});
         },
         "端口 Quillnet39100 不存在", "Quillnet39100", ""},
        {"PORT_MISMATCH", receipt(L"LPT1:", 0, 0), "当前端口是 LPT1:，应为 Quillnet39100", "LPT1:",
         "Quillnet39100"},
        {"WORK_OFFLINE", receipt(kPort, 0x400, 0), "已勾选「脱机使用打印机」", "", ""},
        {"BIDI_ENABLED", receipt(kPort, 0x800, 0), "已开启双向支持", "", ""},
        {"KEEP_PRINTED_JOBS", receipt(kPort, 0x100, 0), "已勾选「保留打印的文档」", "", ""},
        {"PAUSED", receipt(kPort, 0, 0x1), "打印机已暂停", "", ""},
        {"PRINTER_ERROR", receipt(kPort, 0, 0x2), "打印队列报错", "", ""},
        {"OFFLINE", receipt(kPort, 0, 0x80), "打印队列显示离线", "", ""},
        {"PAPER_OUT", receipt(kPort, 0, 0x10), "打印队列显示缺纸", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        FakePrintSystem f;
        c.setup(f);
        SetPrintSystem(&f);
        HealthReport r = Check();
        ASSERT_EQ(r.issues.size(), 1u);
        EXPECT_EQ(r.issues[0].code, c.code);
        EXPECT_EQ(r.issues[0].message, c.message);
        EXPECT_EQ(r.issues[0].arg1, c.arg1);
        EXPECT_EQ(r.issues[0].arg2, c.arg2);
        EXPECT_FALSE(r.issues[0].fixed);
        EXPECT_EQ(r.printer, "Receipt");
    }
}

TEST_F(HealthTest, NoPrinterForAnEmptyNameAndNoRepair) {
    HealthReport r = CheckAndRepair(L"", kPort, 39100);
    EXPECT_EQ(r.printer, "");
    EXPECT_EQ(r.port, "Quillnet39100");
    ASSERT_EQ(Codes(r), std::vector<std::string>{"NO_PRINTER"});
    EXPECT_EQ(r.issues[0].message, "尚未绑定打印机");
    EXPECT_FALSE(r.issues[0].fixed);
    EXPECT_TRUE(fake.Calls().empty()) << "nothing to look up, nothing to repair";
    EXPECT_EQ(NoDeviceIssue().code, "NO_DEVICE");
    EXPECT_EQ(NoDeviceIssue().message, "设备不存在");
}

TEST_F(HealthTest, QueryFailureCarriesTheSystemErrorText) {
    AddReceipt().readError = 5;
    HealthReport r = Check();
    ASSERT_EQ(Codes(r), std::vector<std::string>{"PRINTER_QUERY_FAIL"});
    EXPECT_EQ(r.issues[0].message, Win32ErrorText(5));
    EXPECT_EQ(r.issues[0].message.rfind("Win32(5)", 0), 0u);
    EXPECT_EQ(r.issues[0].arg1, r.issues[0].message);
    EXPECT_EQ(r.port, "Quillnet39100") << "the wanted port stays when the queue can't be read";
}

TEST_F(HealthTest, AllIssuesComeInTheirFixedOrder) {
    AddReceipt(L"LPT1:", 0xD00, 0x93);
    fake.AddListedPort(L"LPT1:");
    fake.AddListedPort(kPort);
    HealthReport r = Check();
    EXPECT_EQ(Codes(r), (std::vector<std::string>{"PORT_MISMATCH", "WORK_OFFLINE", "BIDI_ENABLED",
                                                   "KEEP_PRINTED_JOBS", "PAUSED", "PRINTER_ERROR",
                                                   "OFFLINE", "PAPER_OUT"}));
    EXPECT_EQ(r.port, "LPT1:") << "the report carries the queue's actual port";
}

TEST_F(HealthTest, MissingPortHidesTheMismatch) {
    fake.AddListedPort(L"LPT1:");
    fake.AddQueue(Queue{L"Receipt", L"LPT1:"});
    EXPECT_EQ(Codes(Check()), std::vector<std::string>{"PORT_MISSING"});
}

TEST_F(HealthTest, HealthyQueueMakesNoRepairAttempt) {
    AddReceipt(kPort, 0x40, 0);
    HealthReport r = Repair();
    EXPECT_TRUE(r.issues.empty());
    EXPECT_EQ(r.port, "Quillnet39100");
    EXPECT_EQ(fake.CountCalls("wmi"), 0);
    EXPECT_EQ(fake.CountCalls("set2"), 0);
    EXPECT_EQ(fake.CountCalls("control"), 0);
    EXPECT_EQ(fake.CountCalls("enumprinters"), 1);
}

TEST_F(HealthTest, PausedAndOfflineAreBothRepairedByResume) {
    AddReceipt(kPort, 0, kStatusPaused | kStatusOffline);
    HealthReport r = Repair();
    EXPECT_EQ(Codes(r), (std::vector<std::string>{"PAUSED", "OFFLINE"}));
    EXPECT_EQ(Fixed(r), (std::vector<bool>{true, true}));
    EXPECT_EQ(fake.FindQueue(L"Receipt")->status, 0u);
}

TEST_F(HealthTest, OfflineThatStaysIsNotFixedAfterTwoRounds) {
    AddReceipt(kPort, 0, kStatusPaused | kStatusOffline).offlineSticks = true;
    HealthReport r = Repair();
    EXPECT_EQ(Codes(r), (std::vector<std::string>{"PAUSED", "OFFLINE"}));
    EXPECT_EQ(Fixed(r), (std::vector<bool>{true, false}));
    // Round one resumes twice (one per issue), round two once; then it stops.
    EXPECT_EQ(fake.CountCalls("control Receipt 2"), 3);
    EXPECT_EQ(fake.CountCalls("enumprinters"), 3) << "first check and one re-check per round";
}

TEST_F(HealthTest, WrongPortWorkOfflineAndBidiAreAllFixed) {
    AddReceipt(L"LPT1:", 0xC40, 0);
    fake.AddListedPort(L"LPT1:");
    fake.AddListedPort(kPort);
    HealthReport r = Repair();
    EXPECT_EQ(Codes(r), (std::vector<std::string>{"PORT_MISMATCH", "WORK_OFFLINE", "BIDI_ENABLED"}));
    EXPECT_EQ(Fixed(r), (std::vector<bool>{true, true, true}));
    EXPECT_EQ(r.issues[0].arg1, "LPT1:");
    EXPECT_EQ(r.port, "Quillnet39100") << "the port after the repair";
    const Queue& q = *fake.FindQueue(L"Receipt");
    EXPECT_EQ(q.port, kPort);
    EXPECT_EQ(q.attributes, 0x40u);
}

TEST_F(HealthTest, PaperOutAndErrorHaveNoRepairAndNoRecheck) {
    AddReceipt(kPort, 0, kStatusPaperOut | kStatusError);
    HealthReport r = Repair();
    EXPECT_EQ(Codes(r), (std::vector<std::string>{"PRINTER_ERROR", "PAPER_OUT"}));
    EXPECT_EQ(Fixed(r), (std::vector<bool>{false, false}));
    EXPECT_EQ(fake.CountCalls("enumprinters"), 1);
    EXPECT_EQ(fake.CountCalls("open Receipt 4"), 0);
}

TEST_F(HealthTest, MissingPortIsCreatedAndAttachedInOneRound) {
    fake.AddListedPort(L"LPT1:");
    fake.AddQueue(Queue{L"Receipt", L"LPT1:", 0x800, 0});
    fake.portListDelayMs = 250;
    HealthReport r = Repair();
    EXPECT_EQ(Codes(r), (std::vector<std::string>{"PORT_MISSING", "BIDI_ENABLED"}));
    EXPECT_EQ(Fixed(r), (std::vector<bool>{true, true}));
    EXPECT_EQ(r.port, "Quillnet39100");
    const auto* p = fake.FindPort(kPort);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->host, L"127.0.0.1");
    EXPECT_EQ(p->number, 39100u);
    EXPECT_EQ(fake.FindQueue(L"Receipt")->port, kPort);
    EXPECT_EQ(fake.CountCalls("wmi-create"), 1) << "one round was enough";
    EXPECT_EQ(fake.CountCalls("enumprinters"), 2);
}

TEST_F(HealthTest, NewProblemDuringRepairIsAppendedUnfixed) {
    AddReceipt(kPort, 0, kStatusPaused).statusAfterResume = kStatusError;
    HealthReport r = Repair();
    EXPECT_EQ(Codes(r), (std::vector<std::string>{"PAUSED", "PRINTER_ERROR"}));
    EXPECT_EQ(Fixed(r), (std::vector<bool>{true, false}));
    EXPECT_EQ(r.issues[1].message, "打印队列报错");
}

TEST_F(HealthTest, FailedRepairsLeaveIssuesUnfixed) {
    AddReceipt(L"LPT1:", 0x400, 0);
    fake.AddListedPort(L"LPT1:");
    fake.AddListedPort(kPort);
    Queue& q = *fake.FindQueue(L"Receipt");
    q.deniedAccess = 0xFFFFFFF7;  // use only
    q.inRegistry = false;
    fake.wmiReachable = false;
    HealthReport r = Repair();
    EXPECT_EQ(Codes(r), (std::vector<std::string>{"PORT_MISMATCH", "WORK_OFFLINE"}));
    EXPECT_EQ(Fixed(r), (std::vector<bool>{false, false}));
    EXPECT_EQ(r.port, "LPT1:");
    EXPECT_EQ(fake.CountCalls("enumprinters"), 1) << "no repair succeeded: no re-check";
}

TEST_F(HealthTest, CodesWithoutRepairDoNothing) {
    AddReceipt(kPort, 0, 0);
    for (const char* code : {"NO_DEVICE", "NO_PRINTER", "PRINTER_MISSING", "PRINTER_QUERY_FAIL",
                             "PRINTER_ERROR", "PAPER_OUT", "SOMETHING_ELSE"}) {
        SCOPED_TRACE(code);
        EXPECT_FALSE(RepairIssue(HealthIssue{code, "", false, "", ""}, L"Receipt", kPort, 39100));
    }
    EXPECT_TRUE(fake.Calls().empty());
}

TEST_F(HealthTest, PortMissingRepairStopsWhenTheCreateFails) {
    fake.AddListedPort(L"LPT1:");
    fake.AddQueue(Queue{L"Receipt", L"LPT1:"});
    fake.wmiHasPortClass = false;
    HealthIssue issue{"PORT_MISSING", "", false, "Quillnet39100", ""};
    EXPECT_FALSE(RepairIssue(issue, L"Receipt", kPort, 39100));
    EXPECT_EQ(fake.CountCalls("wmi-printer"), 0);
    EXPECT_EQ(fake.FindQueue(L"Receipt")->port, L"LPT1:");
}

}  // namespace
}  // namespace qs
