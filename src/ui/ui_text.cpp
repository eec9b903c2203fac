#include "ui/ui_text.h"

#include <windows.h>

#include <array>
#include <atomic>

#include "foundation/logger.h"
#include "foundation/system_info.h"
#include "foundation/text.h"

namespace qs {
namespace {

// The two columns as parallel arrays, in key order.
constexpr const char* kChinese[] = {
#define QS_TEXT(key, chinese, english) chinese,
#include "ui/text_table.inc"
#undef QS_TEXT
};
constexpr const char* kEnglish[] = {
#define QS_TEXT(key, chinese, english) english,
#include "ui/text_table.inc"
#undef QS_TEXT
};
static_assert(std::size(kChinese) == kTextIdCount && std::size(kEnglish) == kTextIdCount,
              "every key needs both texts");

constexpr uint16_t kPrimaryLanguageMask = 0x3FF;  // PRIMARYLANGID

std::atomic<bool> g_english{false};
std::atomic<SystemUiLanguageSource> g_systemSource{nullptr};

uint16_t SystemUiLanguage() {
    SystemUiLanguageSource source = g_systemSource.load();
    return source ? source() : GetUserDefaultUILanguage();
}

// Both columns converted once, on first use; the static's initialisation is
// thread-safe, and nothing changes afterwards, so readers need no lock.
struct Texts {
    std::array<std::string, kTextIdCount> utf8[2];
    std::array<std::wstring, kTextIdCount> wide[2];

    Texts() {
        for (int32_t i = 0; i < kTextIdCount; ++i) {
            utf8[0][i] = kChinese[i];
            utf8[1][i] = kEnglish[i];
            wide[0][i] = Utf8ToWide(utf8[0][i]);
            wide[1][i] = Utf8ToWide(utf8[1][i]);
        }
    }
};

const Texts& AllTexts() {
    static const Texts texts;
    return texts;
}

bool InTable(TextId id) { return id >= 0 && id < kTextIdCount; }

}  // namespace

std::string ResolveUiLanguage(const std::string& code, uint16_t systemUiLanguage) {
    if (code == "zh-CN" || code == "en-US") return code;
    return (systemUiLanguage & kPrimaryLanguageMask) == LANG_CHINESE ? "zh-CN" : "en-US";
}

std::string SetUiLanguage(const std::string& code) {
    std::string resolved = ResolveUiLanguage(code, SystemUiLanguage());
    g_english.store(resolved != "zh-CN");
    LogInfo("界面语言：" + resolved);
    return resolved;
}

void SetSystemUiLanguageSource(SystemUiLanguageSource source) { g_systemSource.store(source); }

bool UiIsEnglish() { return g_english.load(); }

const std::wstring& Tr(TextId id) {
    static const std::wstring empty;
    if (!InTable(id)) return empty;
    return AllTexts().wide[g_english.load() ? 1 : 0][id];
}

const std::string& TrUtf8(TextId id) {
    static const std::string empty;
    if (!InTable(id)) return empty;
    return AllTexts().utf8[g_english.load() ? 1 : 0][id];
}

std::wstring WindowTitle() { return WindowTitleFor(AppVersion()); }

std::wstring WindowTitleFor(const std::wstring& appVersion) {
    if (appVersion.empty()) return Tr(TxtAppName);
    return Tr(TxtAppName) + L"  " + appVersion;
}

}  // namespace qs
