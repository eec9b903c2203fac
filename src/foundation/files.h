// Small file helpers; paths are UTF-16.
#pragma once
#include <cstdint>
#include <string>

namespace qs {

std::wstring PathJoin(const std::wstring& base, const std::wstring& part);
bool MakeDirs(const std::wstring& path);
bool FileExists(const std::wstring& path);
int64_t FileSize(const std::wstring& path);   // -1 when unreadable
bool RemovePath(const std::wstring& path);    // missing counts as removed
bool ReadFileBytes(const std::wstring& path, std::string& out);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool WriteFileText(const std::wstring& path, const std::string& text);

}  // namespace qs
