// The tray's texts in Chinese and English, the process-wide UI language and
// the main window's title.
#pragma once
#include <cstdint>
#include <string>

namespace qs {

// One key per row of text_table.inc, numbered from 0 in the table's order.
enum TextId : int32_t {
#define QS_TEXT(key, chinese, english) key,
#include "ui/text_table.inc"
#undef QS_TEXT
    kTextIdCount
};

// Picks the UI language from a saved code: "zh-CN" and "en-US" are kept;
// anything else ("auto", "", "zh", ...) follows the system's UI language,
// Chinese when its primary language is LANG_CHINESE, English otherwise.
// Sets the language for the whole process, logs it and returns the code used.
std::string SetUiLanguage(const std::string& code);
// The resolution alone, for a given system UI language id (a LANGID).
std::string ResolveUiLanguage(const std::string& code, uint16_t systemUiLanguage);
// Where SetUiLanguage reads the system's UI language; nullptr restores
// GetUserDefaultUILanguage. Tests stand in other Windows display languages.
using SystemUiLanguageSource = uint16_t (*)();
void SetSystemUiLanguageSource(SystemUiLanguageSource source);
// False (Chinese) until SetUiLanguage chooses English.
bool UiIsEnglish();

// The key's text in the current language, UTF-16 for Win32 calls and UTF-8
// for printf formats filled with UTF-8 arguments. The references stay valid
// for the life of the process. A value outside the table gives "".
const std::wstring& Tr(TextId id);
const std::string& TrUtf8(TextId id);

// TxtAppName, two blanks and AppVersion ("Verano Cloud Print  4.3.0"), or
// TxtAppName alone when the executable has no version. The main window is
// found by this title, so every process must compose it the same way.
std::wstring WindowTitle();
// The same for a given version text.
std::wstring WindowTitleFor(const std::wstring& appVersion);

}  // namespace qs
