#include "foundation/files.h"

#include <windows.h>
#include <algorithm>
#include <new>

#include "foundation/handles.h"

namespace qs {

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool CreateOne(const std::wstring& path) {
    if (CreateDirectoryW(path.c_str(), nullptr)) return true;
    return GetLastError() == ERROR_ALREADY_EXISTS;
}

bool WriteAll(const std::wstring& path, const char* data, size_t size) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    size_t done = 0;
    while (done < size) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file.get(), data + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}

}  // namespace

std::wstring PathJoin(const std::wstring& base, const std::wstring& part) {
    if (base.empty()) return part;
    if (IsSeparator(base.back())) return base + part;
    return base + L"\\" + part;
}

bool MakeDirs(const std::wstring& path) {
    if (path.empty()) return false;
    if (FileExists(path)) return true;
    // The first four characters are skipped so that a drive root
    // (C:\ and the like) is never created.
    for (size_t i = 4; i <= path.size(); ++i) {
        if (i < path.size() && !IsSeparator(path[i])) continue;
        std::wstring prefix = path.substr(0, i);
        if (prefix.size() > 3 && !FileExists(prefix) && !CreateOne(prefix)) return false;
    }
    return CreateOne(path);
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

bool RemovePath(const std::wstring& path) {
    DWORD attrs = GetFileAttributesW(path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        DWORD err = GetLastError();
        return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
    }
    if (attrs & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryW(path.c_str()) != 0;
    return DeleteFileW(path.c_str()) != 0;
}

bool IsReparsePoint(const std::wstring& path) {
    DWORD attrs = GetFileAttributesW(path.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT);
}

RemoveStep RemoveStepFor(uint32_t attributes) {
    // A file link is deleted like a file (DeleteFile never touches its
    // target); a directory link is removed with RemoveDirectory, which takes
    // the link away, and is never entered.
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return RemoveStep::kDeleteFile;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return RemoveStep::kRemoveLinkOnly;
    return RemoveStep::kDescend;
}

bool RemoveTree(const std::wstring& path) {
    DWORD attrs = GetFileAttributesW(path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        DWORD err = GetLastError();
        return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
    }
    if (attrs & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attrs & ~FILE_ATTRIBUTE_READONLY);
    switch (RemoveStepFor(attrs)) {
    case RemoveStep::kDeleteFile: return DeleteFileW(path.c_str()) != 0;
    case RemoveStep::kRemoveLinkOnly: return RemoveDirectoryW(path.c_str()) != 0;
    case RemoveStep::kDescend: break;
    }
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(PathJoin(path, L"*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            RemoveTree(PathJoin(path, name));
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    return RemoveDirectoryW(path.c_str()) != 0;
}

bool ReadFileBytes(const std::wstring& path, std::string& out) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) return false;
    if (static_cast<uint64_t>(size.QuadPart) > out.max_size()) return false;
    std::string data;
    try {
        data.resize(static_cast<size_t>(size.QuadPart));
    } catch (const std::bad_alloc&) {
        return false;
    }
    size_t done = 0;
    while (done < data.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(file.get(), data.data() + done, chunk, &got, nullptr) || got == 0) break;
        done += got;
    }
    data.resize(done);
    out.swap(data);
    return true;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    return WriteAll(path, bytes.data(), bytes.size());
}

bool WriteFileText(const std::wstring& path, const std::string& text) {
    return WriteAll(path, text.data(), text.size());
}

}  // namespace qs
