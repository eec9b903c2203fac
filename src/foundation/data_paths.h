// Where the core keeps its files: one data root with fixed names below it.
#pragma once
#include <memory>
#include <string>

namespace qs {

// ProgramData\Quillstone for the service, LocalAppData\Quillstone otherwise;
// the executable's folder + \Quillstone when the shell cannot name those.
// In service mode the root is also restricted to SYSTEM and Administrators,
// since it holds receipts and machine-protected codes (SecureDataRoot).
void InitDataRoot(bool serviceMode);
// Places the root at an explicit folder (created, default security), for
// tests and tools that must not touch the machine's real data.
void SetDataRoot(const std::wstring& root);
std::wstring DataRoot();
std::wstring DataDir();    // created on request
std::wstring LogsDir();    // created on request
std::wstring SpoolDir();   // created on request
std::wstring DatabasePath();

// The root below a known folder, or below the executable's folder when the
// known folder is unavailable (empty).
std::wstring DataRootFor(const std::wstring& knownFolder, const std::wstring& exePath);

// Replaces the folder's DACL with full control for SYSTEM and Administrators
// only, inherited by everything below and not by the parent's entries.
bool RestrictToAdmins(const std::wstring& path);

// Whether an owner may keep the data root and its folders: LocalSystem or
// Administrators. Anyone else (a user who made the folder before the
// service first ran) would keep the owner's right to rewrite the DACL.
bool IsTrustedOwner(const void* sid);
// In service mode, for the root and its data, logs and spool folders: a
// junction or symbolic link is refused (logged, the link removed, never
// followed) and a real folder made; an owner IsTrustedOwner refuses is
// replaced by Administrators (logged). The DACL is RestrictToAdmins'.
void SecureDataRoot(const std::wstring& root);

// The self-relative security descriptor (PSECURITY_DESCRIPTOR) that
// RestrictToAdmins applies; null only when the system cannot build it.
struct LocalFreeDeleter {
    void operator()(void* p) const;
};
using OwnedSecurityDescriptor = std::unique_ptr<void, LocalFreeDeleter>;
OwnedSecurityDescriptor AdminsOnlyDescriptor();

}  // namespace qs
