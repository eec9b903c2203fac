#include "ui/ui_text.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <climits>
#include <map>
#include <string>
#include <vector>

#include "foundation/logger.h"
#include "foundation/system_info.h"
#include "foundation/text.h"

namespace qs {
namespace {

// Read during static initialisation, before main and before any test can
// call SetUiLanguage: a process starts in Chinese.
const bool kEnglishAtStart = UiIsEnglish();

uint16_t g_fakeSystemLanguage = 0x0409;
uint16_t FakeSystemLanguage() { return g_fakeSystemLanguage; }

constexpr uint16_t kEnglishUs = 0x0409;
constexpr uint16_t kChineseSimplified = 0x0804;

class UiTextTest : public ::testing::Test {
protected:
    void TearDown() override {
        SetSystemUiLanguageSource(nullptr);
        SetUiLanguage("zh-CN");
    }
};

void UseLanguage(const char* code) {
    SetSystemUiLanguageSource(nullptr);
    SetUiLanguage(code);
}

std::string LastLogLine() {
    std::vector<std::string> lines = Logger::Instance().RecentLines(1);
    return lines.empty() ? std::string() : lines.back();
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The printf conversions of a text in order, "%%" left out: "%s%s" for
// "Port is %s, expected %s".
std::string Conversions(const std::string& text) {
    std::string found;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '%') continue;
        if (text[i + 1] == '%') {
            ++i;
            continue;
        }
        found += text.substr(i, 2);
        ++i;
    }
    return found;
}

TEST_F(UiTextTest, ProcessStartsInChinese) { EXPECT_FALSE(kEnglishAtStart); }

TEST_F(UiTextTest, TableHasAllKeysNumberedInOrder) {
    EXPECT_EQ(kTextIdCount, 188);
    // Anchors spread over the table: a dropped, doubled or moved row shifts
    // every key after it.
    EXPECT_EQ(TxtAppName, 0);
    EXPECT_EQ(TxtColStatus, 19);
    EXPECT_EQ(TxtAddDeviceTitle, 28);
    EXPECT_EQ(TxtCancelJob, 57);
    EXPECT_EQ(TxtLangEnglish, 76);
    EXPECT_EQ(TxtColActions, 100);
    EXPECT_EQ(TxtIssueWorkOffline, 119);
    EXPECT_EQ(TxtBleSetup, 126);
    EXPECT_EQ(TxtBleTitle, 127);
    EXPECT_EQ(TxtLinkEthernet, 158);
    EXPECT_EQ(TxtCheckUpdates, 168);
    EXPECT_EQ(TxtIpModeDhcp, 183);
    EXPECT_EQ(TxtToastBody, 187);
}

TEST_F(UiTextTest, EveryKeyHasTextInBothLanguages) {
    for (const char* code : {"zh-CN", "en-US"}) {
        UseLanguage(code);
        for (int32_t i = 0; i < kTextIdCount; ++i) {
            TextId id = static_cast<TextId>(i);
            SCOPED_TRACE(std::string(code) + " key " + std::to_string(i));
            EXPECT_FALSE(Tr(id).empty());
            EXPECT_EQ(Tr(id).find(L'\xFFFD'), std::wstring::npos) << "text is not valid UTF-8";
            EXPECT_EQ(TrUtf8(id), WideToUtf8(Tr(id)));
        }
    }
}

TEST_F(UiTextTest, TheTwoColumnsDifferWhereTheyShould) {
    // A column copied over the other would still pass the per-key checks.
    UseLanguage("zh-CN");
    std::vector<std::wstring> chinese;
    for (int32_t i = 0; i < kTextIdCount; ++i) chinese.push_back(Tr(static_cast<TextId>(i)));
    UseLanguage("en-US");
    std::vector<int32_t> same;
    for (int32_t i = 0; i < kTextIdCount; ++i) {
        if (Tr(static_cast<TextId>(i)) == chinese[i]) same.push_back(i);
    }
    // English, DNS, 4G and DHCP are written alike in both languages.
    EXPECT_EQ(same, (std::vector<int32_t>{TxtLangEnglish, TxtDns, TxtLink4G, TxtIpModeDhcp}));
}

struct ExactText {
    TextId id;
    const wchar_t* chinese;
    const wchar_t* english;
};

// Wide literals, so the check does not go through the UTF-8 conversion the
// code under test uses.
const ExactText kExactTexts[] = {
    {TxtAppName, L"维澜云打印助手", L"Verano Cloud Print"},
    {TxtCancel, L"取消", L"Cancel"},
    {TxtCancelJob, L"取消", L"Cancel"},
    {TxtAddDevice, L"添加设备", L"Add device"},
    {TxtAddDeviceTitle, L"添加设备", L"Add device"},
    {TxtColSn, L"设备编号", L"SN"},
    {TxtAddHint, L"编号在机身标签上，验证码在云平台上",
     L"The SN is on the device label. The code is in the cloud."},
    {TxtPaperWidth, L"纸宽(mm)", L"Width (mm)"},
    {TxtBindHint, L"绑定后，选择这个驱动打印，会打印到该打印设备。",
     L"After binding, print with this driver to reach this device."},
    {TxtMultiPrint, L"一单多机（同时打到所有设备）", L"Print each job to all devices"},
    {TxtLangEnglish, L"English", L"English"},
    {TxtInstallingService, L"正在安装打印服务…", L"Installing print service..."},
    {TxtColActions, L"操作", L"Actions"},
    {TxtDeviceCount, L"%d 台设备", L"%d devices"},
    {TxtLocalApiHint, L"仅本机可访问：127.0.0.1:39199", L"Local only: 127.0.0.1:39199"},
    {TxtIssuePortMismatch, L"当前端口是 %s，应为 %s", L"Port is %s, expected %s"},
    {TxtIssueWorkOffline, L"已勾选「脱机使用打印机」", L"Use Printer Offline is on"},
    {TxtWifi5GWarning, L"这台设备可能只支持 2.4G。当前名称像 5G 热点，仍要下发吗？",
     L"This device may only support 2.4 GHz. The name looks like a 5 GHz network. Send it anyway?"},
    {TxtSendWifi, L"WiFi设置", L"Wi-Fi Settings"},
    {TxtLinkEthernet, L"以太网", L"Ethernet"},
    {TxtUpdateUnavailable, L"暂时无法检查更新", L"Can't check for updates right now"},
    {TxtUpToDate, L"当前已是最新版本", L"You're on the latest version"},
    {TxtUpdateTitle, L"维澜云打印助手 %s 可以更新", L"Verano Cloud Print %s is available"},
    {TxtInstallPrompt, L"立即安装会关闭软件并安装新版本，完成后重新打开。选择稍后则在退出时安装。",
     L"Install now closes the app, installs the update, and opens it again. Later installs it when you quit."},
    {TxtIpModeStatic, L"静态 IP", L"Static IP"},
    {TxtToastBody, L"收到新的打印任务，时间：%s", L"A new print job arrived at %s"},
};

TEST_F(UiTextTest, TextsAreExactInBothLanguages) {
    UseLanguage("zh-CN");
    for (const ExactText& t : kExactTexts) {
        SCOPED_TRACE("key " + std::to_string(t.id));
        EXPECT_EQ(Tr(t.id), t.chinese);
        EXPECT_EQ(TrUtf8(t.id), WideToUtf8(t.chinese));
    }
    UseLanguage("en-US");
    for (const ExactText& t : kExactTexts) {
        SCOPED_TRACE("key " + std::to_string(t.id));
        EXPECT_EQ(Tr(t.id), t.english);
        EXPECT_EQ(TrUtf8(t.id), WideToUtf8(t.english));
    }
}

TEST_F(UiTextTest, FormatKeysKeepTheirConversionsInBothLanguages) {
    // A conversion lost or added in one language makes its users read an
    // argument that is not there.
    const std::map<int32_t, std::string> expected = {
        {TxtDeviceCount, "%d"},       {TxtIssueQueryFail, "%s"},  {TxtIssuePortMissing, "%s"},
        {TxtIssuePortMismatch, "%s%s"}, {TxtUpdateTitle, "%s"},   {TxtUpdateBody, "%s"},
        {TxtVersionFmt, "%s"},        {TxtToastBody, "%s"},
    };
    for (const char* code : {"zh-CN", "en-US"}) {
        UseLanguage(code);
        for (int32_t i = 0; i < kTextIdCount; ++i) {
            SCOPED_TRACE(std::string(code) + " key " + std::to_string(i));
            auto it = expected.find(i);
            EXPECT_EQ(Conversions(TrUtf8(static_cast<TextId>(i))), it == expected.end() ? "" : it->second);
        }
    }

    UseLanguage("zh-CN");
    EXPECT_EQ(Format(TrUtf8(TxtIssuePortMismatch).c_str(), "QS_39101", "QS_39100"),
              "当前端口是 QS_39101，应为 QS_39100");
    EXPECT_EQ(Format(TrUtf8(TxtDeviceCount).c_str(), 3), "3 台设备");
    UseLanguage("en-US");
    EXPECT_EQ(Format(TrUtf8(TxtToastBody).c_str(), "14:05:09"), "A new print job arrived at 14:05:09");
}

TEST_F(UiTextTest, KeysOutsideTheTableGiveEmptyText) {
    for (const char* code : {"zh-CN", "en-US"}) {
        UseLanguage(code);
        for (int32_t raw : {-1, static_cast<int32_t>(kTextIdCount), 1000, INT_MIN, INT_MAX}) {
            SCOPED_TRACE(std::string(code) + " key " + std::to_string(raw));
            EXPECT_EQ(Tr(static_cast<TextId>(raw)), L"");
            EXPECT_EQ(TrUtf8(static_cast<TextId>(raw)), "");
        }
    }
}

struct LanguageCase {
    const char* code;
    uint16_t system;
    const char* resolved;
};

TEST_F(UiTextTest, SetUiLanguageKeepsTwoCodesAndFollowsTheSystemOtherwise) {
    const LanguageCase cases[] = {
        // A saved choice wins over the system's language either way.
        {"zh-CN", kEnglishUs, "zh-CN"},
        {"en-US", kChineseSimplified, "en-US"},
        // "auto": Chinese for every LANG_CHINESE sublanguage, else English.
        {"auto", kChineseSimplified, "zh-CN"},
        {"auto", 0x0404, "zh-CN"},  // Traditional Chinese, Taiwan
        {"auto", 0x0C04, "zh-CN"},  // Chinese, Hong Kong
        {"auto", 0x7C04, "zh-CN"},  // Chinese (Traditional), neutral
        {"auto", 0x0411, "en-US"},  // Japanese
        {"auto", kEnglishUs, "en-US"},
        {"auto", 0x0000, "en-US"},
        // The primary language is the low ten bits: 0x0504 is primary 0x104,
        // which a mask of eight bits would take for Chinese.
        {"auto", 0x0504, "en-US"},
        // Only the two exact codes are kept; short, differently cased or
        // unknown codes and the empty text follow the system.
        {"zh", kEnglishUs, "en-US"},
        {"zh", kChineseSimplified, "zh-CN"},
        {"en", kChineseSimplified, "zh-CN"},
        {"en", kEnglishUs, "en-US"},
        {"ZH-CN", kEnglishUs, "en-US"},
        {"en-us", kChineseSimplified, "zh-CN"},
        {"zh-TW", kEnglishUs, "en-US"},
        {"zh-CN ", kEnglishUs, "en-US"},
        {"", kChineseSimplified, "zh-CN"},
        {"fr-FR", kChineseSimplified, "zh-CN"},
    };
    SetSystemUiLanguageSource(FakeSystemLanguage);
    for (const LanguageCase& c : cases) {
        SCOPED_TRACE(Format("code \"%s\" system 0x%04X", c.code, static_cast<unsigned>(c.system)));
        // Start from the opposite language so a call that sets nothing shows.
        const bool english = std::string(c.resolved) == "en-US";
        g_fakeSystemLanguage = english ? kChineseSimplified : kEnglishUs;
        SetUiLanguage(english ? "zh-CN" : "en-US");

        g_fakeSystemLanguage = c.system;
        EXPECT_EQ(SetUiLanguage(c.code), c.resolved);
        EXPECT_EQ(ResolveUiLanguage(c.code, c.system), c.resolved);
        EXPECT_EQ(UiIsEnglish(), english);
        EXPECT_EQ(Tr(TxtOk), english ? L"OK" : L"确定");
        std::string line = LastLogLine();
        EXPECT_TRUE(EndsWith(line, std::string("[INF] 界面语言：") + c.resolved + "\n")) << line;
    }
}

TEST_F(UiTextTest, AutoReadsTheUserDefaultUiLanguageByDefault) {
    SetSystemUiLanguageSource(nullptr);
    const bool chinese = PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_CHINESE;
    EXPECT_EQ(SetUiLanguage("auto"), chinese ? "zh-CN" : "en-US");
    EXPECT_EQ(UiIsEnglish(), !chinese);
}

TEST_F(UiTextTest, WindowTitleIsTheNameTwoBlanksAndTheVersion) {
    // This executable's file version is 7.30.512.9.
    ASSERT_EQ(AppVersion(), L"7.30.512");
    UseLanguage("zh-CN");
    EXPECT_EQ(WindowTitle(), L"维澜云打印助手  7.30.512");
    EXPECT_EQ(WindowTitleFor(L""), L"维澜云打印助手");
    UseLanguage("en-US");
    EXPECT_EQ(WindowTitle(), L"Verano Cloud Print  7.30.512");
    EXPECT_EQ(WindowTitleFor(L""), L"Verano Cloud Print");
    EXPECT_EQ(WindowTitleFor(L"4.3.0"), L"Verano Cloud Print  4.3.0");
}

}  // namespace
}  // namespace qs
