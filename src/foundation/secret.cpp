#include "foundation/secret.h"

#include <windows.h>
#include <wincrypt.h>
#include <algorithm>
#include <climits>
#include <vector>

#include "foundation/text.h"

namespace qs {

namespace {

// Owner of a buffer that the data protection API allocated.
struct LocalBlob {
    DATA_BLOB blob{0, nullptr};
    ~LocalBlob() {
        if (blob.pbData) LocalFree(blob.pbData);
    }
};

}  // namespace

bool ProtectSecret(const std::string& plain, std::string& out) {
    if (plain.size() > ULONG_MAX / 2) return false;
    DATA_BLOB in;
    in.cbData = static_cast<DWORD>(plain.size());
    in.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(plain.data()));
    LocalBlob protectedBlob;
    if (!CryptProtectData(&in, L"quillnet", nullptr, nullptr, nullptr,
                          CRYPTPROTECT_LOCAL_MACHINE, &protectedBlob.blob)) {
        return false;
    }
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD chars = 0;
    if (!CryptBinaryToStringW(protectedBlob.blob.pbData, protectedBlob.blob.cbData, flags, nullptr, &chars) ||
        chars == 0) {
        return false;
    }
    std::vector<wchar_t> text(chars);
    if (!CryptBinaryToStringW(protectedBlob.blob.pbData, protectedBlob.blob.cbData, flags, text.data(),
                              &chars)) {
        return false;
    }
    std::wstring base64(text.data(), std::min<size_t>(chars, text.size()));
    while (!base64.empty() && base64.back() == L'\0') base64.pop_back();
    // Some versions keep a line break despite NOCRLF; the stored form is one line.
    while (!base64.empty() && (base64.back() == L'\r' || base64.back() == L'\n')) base64.pop_back();
    out = WideToUtf8(base64);
    return true;
}

bool UnprotectSecret(const std::string& stored, std::string& out) {
    std::wstring text = Utf8ToWide(stored);
    if (text.empty() || text.size() > ULONG_MAX / 2) return false;
    DWORD size = 0;
    if (!CryptStringToBinaryW(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, nullptr,
                              &size, nullptr, nullptr) ||
        size == 0) {
        return false;
    }
    std::vector<BYTE> bytes(size);
    if (!CryptStringToBinaryW(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, bytes.data(),
                              &size, nullptr, nullptr)) {
        return false;
    }
    DATA_BLOB in;
    in.cbData = size;
    in.pbData = bytes.data();
    LocalBlob plain;
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, 0, &plain.blob)) {
        return false;
    }
    out.assign(reinterpret_cast<const char*>(plain.blob.pbData), plain.blob.cbData);
    return true;
}

}  // namespace qs
