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
// Removes a folder with everything in it (or a file). A junction or
// symbolic link met anywhere, the path itself included, is removed as a
// link and never entered, so nothing outside the tree is deleted. True when
// the path is gone.
bool RemoveTree(const std::wstring& path);
// Whether the path is a junction, symbolic link or other reparse point.
bool IsReparsePoint(const std::wstring& path);
// What RemoveTree does with an entry of these attributes (as FindFirstFile
// or GetFileAttributes report them).
enum class RemoveStep { kDeleteFile, kRemoveLinkOnly, kDescend };
RemoveStep RemoveStepFor(uint32_t attributes);
bool ReadFileBytes(const std::wstring& path, std::string& out);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool WriteFileText(const std::wstring& path, const std::string& text);

}  // namespace qs
