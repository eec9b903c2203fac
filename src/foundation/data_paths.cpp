#include "foundation/data_paths.h"

#include <windows.h>
#include <aclapi.h>
#include <knownfolders.h>
#include <sddl.h>
#include <shlobj.h>

#include "foundation/files.h"
#include "foundation/logger.h"
#include "foundation/system_info.h"
#include "foundation/text.h"

namespace qs {

namespace {

// Set once on the thread that starts the core, before other threads exist;
// read-only afterwards.
std::wstring g_dataRoot;

std::wstring KnownFolder(const KNOWNFOLDERID& id) {
    PWSTR raw = nullptr;
    HRESULT hr = SHGetKnownFolderPath(id, 0, nullptr, &raw);
    std::wstring path;
    if (SUCCEEDED(hr) && raw) path = raw;
    CoTaskMemFree(raw);
    return path;
}

std::wstring SubFolder(const wchar_t* name) {
    std::wstring path = PathJoin(g_dataRoot, name);
    MakeDirs(path);
    return path;
}

}  // namespace

std::wstring DataRootFor(const std::wstring& knownFolder, const std::wstring& exePath) {
    std::wstring base = knownFolder.empty() ? FolderOfPath(exePath) : knownFolder;
    return PathJoin(base, L"Quillstone");
}

void InitDataRoot(bool serviceMode) {
    std::wstring known = KnownFolder(serviceMode ? FOLDERID_ProgramData : FOLDERID_LocalAppData);
    g_dataRoot = DataRootFor(known, ModulePath());
    MakeDirs(g_dataRoot);
    // Failures show later, when files cannot be written.
    if (serviceMode) SecureDataRoot(g_dataRoot);
}

bool IsTrustedOwner(const void* sid) {
    PSID owner = const_cast<void*>(sid);
    return owner && IsValidSid(owner) &&
           (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
}

void SecureDataRoot(const std::wstring& root) {
    const std::wstring folders[] = {root, PathJoin(root, L"data"), PathJoin(root, L"logs"),
                                    PathJoin(root, L"spool")};
    for (const std::wstring& folder : folders) {
        if (IsReparsePoint(folder)) {
            // RemoveDirectory takes the link away, never what it points at.
            LogError("数据目录中的重解析点已拒绝：" + WideToUtf8(folder));
            RemoveDirectoryW(folder.c_str());
        }
        MakeDirs(folder);
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR current = nullptr;
        if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                  nullptr, nullptr, nullptr, &current) == ERROR_SUCCESS) {
            const bool trusted = IsTrustedOwner(owner);
            LocalFree(current);
            if (!trusted) {
                BYTE admins[SECURITY_MAX_SID_SIZE];
                DWORD size = sizeof(admins);
                const bool taken =
                    CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size) &&
                    SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                                          OWNER_SECURITY_INFORMATION, admins, nullptr, nullptr,
                                          nullptr) == ERROR_SUCCESS;
                LogWarn(std::string(taken ? "数据目录所有者已重置：" : "数据目录所有者重置失败：") +
                        WideToUtf8(folder));
            }
        }
        // The root's entries are inherited below; a folder made earlier by
        // someone else may carry its own protected DACL, so each gets it.
        RestrictToAdmins(folder);
    }
}

void SetDataRoot(const std::wstring& root) {
    g_dataRoot = root;
    MakeDirs(g_dataRoot);
}

std::wstring DataRoot() { return g_dataRoot; }
std::wstring DataDir() { return SubFolder(L"data"); }
std::wstring LogsDir() { return SubFolder(L"logs"); }
std::wstring SpoolDir() { return SubFolder(L"spool"); }
std::wstring DatabasePath() { return PathJoin(g_dataRoot, L"qnconfig.db"); }

void LocalFreeDeleter::operator()(void* p) const {
    if (p) LocalFree(p);
}

OwnedSecurityDescriptor AdminsOnlyDescriptor() {
    // P: protected, so entries of ProgramData (where Users may read) are not
    // inherited; OICI: files and folders below get the same two entries.
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                                                              SDDL_REVISION_1, &sd, nullptr)) {
        return nullptr;
    }
    return OwnedSecurityDescriptor(sd);
}

bool RestrictToAdmins(const std::wstring& path) {
    OwnedSecurityDescriptor sd = AdminsOnlyDescriptor();
    if (!sd) return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted) || !present || !dacl) return false;
    // PROTECTED_: the descriptor's own "protected" bit is not taken from it.
    DWORD rc = SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                     DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                     nullptr, dacl, nullptr);
    return rc == ERROR_SUCCESS;
}

}  // namespace qs
