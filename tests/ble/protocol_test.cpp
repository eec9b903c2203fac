// The provisioning commands, the status reading and the sending rules.
#include <gtest/gtest.h>

#include <string>

#include "ble/ble_event.h"
#include "ble/provision_protocol.h"

namespace qs {
namespace {

std::wstring Repeat(const std::wstring& unit, int times) {
    std::wstring out;
    for (int i = 0; i < times; ++i) out += unit;
    return out;
}

TEST(WifiCommand, PiecesInOrderWithEscapes) {
    struct Row {
        std::wstring ssid, password;
        std::string expected;
    };
    const Row rows[] = {
        {L"Office", L"12345678", R"({"type":1,"ssid":"Office","pwd":"12345678"})"},
        {L"Office", L"", R"({"type":1,"ssid":"Office","pwd":""})"},
        {L"a\"b", L"p\"w\\d", R"({"type":1,"ssid":"a\"b","pwd":"p\"w\\d"})"},
        // Control characters are dropped, not escaped.
        {L"tab\there", L"new\nline\r\x01", R"({"type":1,"ssid":"tabhere","pwd":"newline"})"},
        // Non-ASCII goes out as raw UTF-8.
        {L"办公室", L"密码", "{\"type\":1,\"ssid\":\"\xE5\x8A\x9E\xE5\x85\xAC\xE5\xAE\xA4\",\"pwd\":\"\xE5\xAF\x86\xE7\xA0\x81\"}"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(BuildWifiCommand(row.ssid, row.password), row.expected) << row.expected;
    }
}

TEST(WifiCommand, ThirtyTwoChineseCharactersFitAndThirtyThreeDoNot) {
    const std::wstring name32 = Repeat(L"网", 32);
    const std::wstring name33 = Repeat(L"网", 33);
    EXPECT_EQ(CheckWifiInput(name32, L""), WifiInputCheck::kOk);
    EXPECT_EQ(CheckWifiInput(name33, L""), WifiInputCheck::kNameTooLong);
    // 32 UTF-16 units travel as 96 UTF-8 bytes.
    EXPECT_EQ(EscapeField(name32).size(), 96u);
    EXPECT_EQ(BuildWifiCommand(name32, L"x").size(), std::string(R"({"type":1,"ssid":"","pwd":"x"})").size() + 96);
}

TEST(WifiCommand, InputChecksInOrder) {
    struct Row {
        std::wstring name, password;
        WifiInputCheck expected;
    };
    const Row rows[] = {
        {L"", L"", WifiInputCheck::kEmptyName},
        {L"", Repeat(L"p", 65), WifiInputCheck::kEmptyName},  // the name is checked first
        {Repeat(L"n", 33), Repeat(L"p", 65), WifiInputCheck::kNameTooLong},
        {L"Office", Repeat(L"p", 64), WifiInputCheck::kOk},
        {L"Office", Repeat(L"p", 65), WifiInputCheck::kPasswordTooLong},
        {L"Office", L"", WifiInputCheck::kOk},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(CheckWifiInput(row.name, row.password), row.expected) << row.name.size() << "/" << row.password.size();
    }
    EXPECT_EQ(TrimSpace(L"  Office 5G \t\r\n"), L"Office 5G");
    EXPECT_EQ(TrimSpace(L" \t "), L"");
    // Trimming comes before the length check.
    EXPECT_EQ(CheckWifiInput(TrimSpace(L"   " + Repeat(L"n", 32) + L"  "), L""), WifiInputCheck::kOk);
}

TEST(WifiCommand, FiveGhzQuestion) {
    struct Row {
        std::wstring name;
        bool dualWifiSeen;
        bool asks;
    };
    const Row rows[] = {
        {L"Office-5G", true, false},  {L"Office-5G", false, true}, {L"5g-home", false, true},
        {L"Home_5g", false, true},    {L"Office", false, false},   {L"5", false, false},
        {L"G5", false, false},        {L"5G", false, true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(NeedsFiveGhzConfirmation(row.name, row.dualWifiSeen), row.asks)
            << std::string(row.name.begin(), row.name.end()) << " dual=" << row.dualWifiSeen;
    }
}

TEST(IpCommand, DhcpIsTheShortCommandWhateverTheFieldsHold) {
    const std::string dhcp = BuildIpCommand(false, L"10.0.0.5", L"255.0.0.0", L"10.0.0.1", L"8.8.8.8");
    EXPECT_EQ(dhcp, R"({"type":2,"ip_mode":0})");
    EXPECT_EQ(dhcp.size(), 22u);
    EXPECT_EQ(BuildIpCommand(false, L"", L"", L"", L""), dhcp);
    EXPECT_EQ(BuildIpCommand(true, L"192.168.1.9", L"255.255.255.0", L"192.168.1.1", L"1.1.1.1"),
              R"({"type":2,"ip_mode":1,"ip":"192.168.1.9","netmask":"255.255.255.0","gateway":"192.168.1.1","dns":"1.1.1.1"})");
    EXPECT_EQ(BuildIpCommand(true, L"a\"", L"\\", L"g\tw", L"d"),
              R"({"type":2,"ip_mode":1,"ip":"a\"","netmask":"\\","gateway":"gw","dns":"d"})");
}

TEST(IpCommand, StaticNeedsEveryField) {
    EXPECT_TRUE(StaticIpComplete(L"1", L"2", L"3", L"4"));
    EXPECT_FALSE(StaticIpComplete(L"", L"2", L"3", L"4"));
    EXPECT_FALSE(StaticIpComplete(L"1", L"", L"3", L"4"));
    EXPECT_FALSE(StaticIpComplete(L"1", L"2", L"", L"4"));
    EXPECT_FALSE(StaticIpComplete(L"1", L"2", L"3", L""));
}

TEST(Status, IntegerKeysAcceptNumbersAndLeadingDigits) {
    struct Row {
        const char* json;
        int netStatus, linkType, ipMode;
    };
    const Row rows[] = {
        {R"({"net_status":4})", 4, -1, -1},
        {R"({"net_status":"4"})", 4, -1, -1},
        {R"({"net_status":"x"})", 0, -1, -1},
        {R"({"net_status":"3abc","link_type":"1","ip_mode":"0"})", 3, 1, 0},
        {R"({"net_status":"","link_type":" 1","ip_mode":true})", 0, -1, -1},
        {R"({"net_status":null,"link_type":2,"ip_mode":1})", 0, 2, 1},
        {R"({"net_status":2.0,"link_type":"-1"})", 2, -1, -1},
        {R"({"net_status":"99999999999"})", 0, -1, -1},
        {R"({"NET_STATUS":4})", 0, -1, -1},  // keys are compared exactly
    };
    for (const Row& row : rows) {
        ProvisionStatus status;
        ASSERT_TRUE(ParseStatus(row.json, &status)) << row.json;
        EXPECT_TRUE(status.valid);
        EXPECT_EQ(status.netStatus, row.netStatus) << row.json;
        EXPECT_EQ(status.linkType, row.linkType) << row.json;
        EXPECT_EQ(status.ipMode, row.ipMode) << row.json;
    }
}

TEST(Status, EmptyObjectReadsAsNotRead) {
    ProvisionStatus status;
    status.ssid = L"old";
    ASSERT_TRUE(ParseStatus("{}", &status));
    EXPECT_TRUE(status.valid);
    EXPECT_EQ(status.netStatus, 0);
    EXPECT_EQ(status.linkType, -1);
    EXPECT_EQ(status.ipMode, -1);
    EXPECT_FALSE(status.hasDualWifi);
    EXPECT_TRUE(status.ssid.empty()) << "missing keys take their defaults";
}

TEST(Status, TextsAndDualWifi) {
    ProvisionStatus status;
    ASSERT_TRUE(ParseStatus(
        "{\"ssid\":\"\xE5\x8A\x9E\xE5\x85\xAC\",\"ip\":\"192.168.1.8\",\"netmask\":\"255.255.255.0\","
        "\"gateway\":\"192.168.1.1\",\"dns\":\"8.8.8.8\",\"dualwifi\":true,\"extra\":[1,2]}",
        &status));
    EXPECT_EQ(status.ssid, L"办公");
    EXPECT_EQ(status.ip, L"192.168.1.8");
    EXPECT_EQ(status.netmask, L"255.255.255.0");
    EXPECT_EQ(status.gateway, L"192.168.1.1");
    EXPECT_EQ(status.dns, L"8.8.8.8");
    EXPECT_TRUE(status.hasDualWifi);
    EXPECT_TRUE(status.dualWifi);

    ASSERT_TRUE(ParseStatus(R"({"dualwifi":false,"ssid":5})", &status));
    EXPECT_TRUE(status.hasDualWifi);
    EXPECT_FALSE(status.dualWifi);
    EXPECT_TRUE(status.ssid.empty()) << "a number is not a text";
    ASSERT_TRUE(ParseStatus(R"({"dualwifi":"true"})", &status));
    EXPECT_TRUE(status.hasDualWifi);
    EXPECT_FALSE(status.dualWifi) << "only JSON true counts";
    ASSERT_TRUE(ParseStatus(R"({"net_status":1})", &status));
    EXPECT_FALSE(status.hasDualWifi);
}

TEST(Status, TextThatIsNotAStatusLeavesTheRecordAlone) {
    for (const char* text : {"", "not json", "{\"net_status\":", "4", "[1,2]", "\"text\"", "null"}) {
        ProvisionStatus status;
        status.netStatus = 3;
        status.ssid = L"kept";
        EXPECT_FALSE(ParseStatus(text, &status)) << text;
        EXPECT_EQ(status.netStatus, 3) << text;
        EXPECT_EQ(status.ssid, L"kept") << text;
        EXPECT_FALSE(status.valid);
    }
}

TEST(Polling, IntervalByState) {
    const int expected[] = {3000, 3000, 3000, 1500, 2000, 0, 3000};
    for (int s = -1; s <= 5; ++s) {
        ProvisionStatus status;
        status.netStatus = s;
        EXPECT_EQ(PollInterval(status), expected[s + 1]) << s;
    }
}

TEST(WriteSize, WaitingForTheLinkAndClassifyingFailures) {
    struct Row {
        int pdu;
        size_t bytes;
        bool settled;
        int failure;
    };
    const Row rows[] = {
        {23, 30, false, ErrPacketTooSmall},  // does not fit at the default size
        {185, 30, true, ErrWriteFailed},     // fits: any failure is a general one
        {0, 30, false, ErrWriteFailed},      // no session: nothing to blame on size
        {20, 30, false, ErrWriteFailed},
        {23, 20, true, ErrWriteFailed},      // 20 + 3 fits into 23
        {23, 21, false, ErrPacketTooSmall},
        {24, 150, true, ErrPacketTooSmall},  // negotiated above 23, still too small
        {153, 150, true, ErrWriteFailed},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(PduSettled(row.pdu, row.bytes), row.settled) << row.pdu << "/" << row.bytes;
        EXPECT_EQ(ClassifyWriteFailure(row.pdu, row.bytes), row.failure) << row.pdu << "/" << row.bytes;
    }
}

}  // namespace
}  // namespace qs
