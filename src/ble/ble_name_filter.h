// Which advertised names the scan offers: supported devices begin with one
// of the accepted two-letter prefixes, and a device that announces a setup
// mode in its name is never offered.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace qs {

// The prefixes built into the product, upper case.
const std::vector<std::wstring>& DefaultBlePrefixes();
// The strings of a REG_MULTI_SZ value (units = its length in wchar_t, the
// terminators included or not); empty entries are skipped.
std::vector<std::wstring> ParseMultiSz(const wchar_t* data, size_t units);
// The default table plus the two-letter entries of the REG_MULTI_SZ value
// BlePrefixes under HKLM\Software\Quillstone, upper-cased, without repeats.
std::vector<std::wstring> LoadBlePrefixes();
// The same merge for given extra entries (what LoadBlePrefixes reads).
std::vector<std::wstring> MergeBlePrefixes(const std::vector<std::wstring>& extra);

bool PassesNameFilter(const std::wstring& name, const std::vector<std::wstring>& prefixes);

}  // namespace qs
