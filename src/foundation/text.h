// UTF-8 <-> UTF-16 conversion, printf-style formatting and MD5.
#pragma once
#include <string>

namespace qs {

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

// printf rules of the C runtime; a formatting error yields "".
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::wstring FormatWide(const wchar_t* fmt, ...);

// The text with every control character (C0, DEL, C1) and the Unicode line
// and paragraph separators replaced by "?", so text from outside (serial
// numbers, names, paths) cannot start a forged line in a log.
std::string ReplaceControlChars(const std::string& text);

// 32 uppercase hex digits of the MD5 digest of the bytes.
std::string Md5Hex(const std::string& bytes);

}  // namespace qs
