// Which advertised names the scan offers, and the prefix table's extension
// through the registry.
#include <gtest/gtest.h>
#include <windows.h>

#include "ble/ble_name_filter.h"
#include "foundation/handles.h"

namespace qs {
namespace {

TEST(NameFilter, PrefixesAndSetupMarkers) {
    struct Row {
        std::wstring name;
        bool offered;
    };
    const Row rows[] = {
        {L"QS-Printer-01", true},
        {L"qs-printer-01", true},  // the prefix in lower case
        {L"Qs", true},
        {L"QS-Printer CONFIG MODE", false},
        {L"QS-Printer config_mode", false},  // upper-cased before the check
        {L"QS-打印机配网模式", false},
        {L"QS进入配置模式", false},
        {L"QS setup mode", false},
        {L"QS-SETUP_MODE-2", false},
        {L"QS-Printer-配置", true},
        {L"XX-Printer-01", false},
        {L"SQ-Printer", false},
        {L"Q", false},
        {L"", false},
        {L" QS", false},
    };
    const std::vector<std::wstring>& prefixes = DefaultBlePrefixes();
    for (const Row& row : rows) {
        EXPECT_EQ(PassesNameFilter(row.name, prefixes), row.offered) << row.name.size();
    }
}

TEST(NameFilter, DefaultTableHasTwelveUpperCasePairs) {
    const std::vector<std::wstring>& prefixes = DefaultBlePrefixes();
    ASSERT_EQ(prefixes.size(), 12u);
    for (const std::wstring& p : prefixes) {
        ASSERT_EQ(p.size(), 2u);
        EXPECT_TRUE(p[0] >= L'A' && p[0] <= L'Z' && p[1] >= L'A' && p[1] <= L'Z');
        for (const std::wstring& other : prefixes) {
            if (&other != &p) {
                EXPECT_NE(p, other) << "repeated prefix";
            }
        }
    }
}

TEST(NameFilter, MultiStringParsing) {
    const wchar_t value[] = L"ZZ\0ab\0\0";
    const auto parsed = ParseMultiSz(value, sizeof(value) / sizeof(wchar_t));
    ASSERT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed[0], L"ZZ");
    EXPECT_EQ(parsed[1], L"ab");
    // A value written without its final terminator still ends its last entry.
    const wchar_t unterminated[] = {L'X', L'Y', L'\0', L'Q', L'R'};
    const auto loose = ParseMultiSz(unterminated, 5);
    ASSERT_EQ(loose.size(), 2u);
    EXPECT_EQ(loose[1], L"QR");
    EXPECT_TRUE(ParseMultiSz(nullptr, 4).empty());
}

TEST(NameFilter, RegistryValueExtendsTheTable) {
    HKEY raw = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Quillstone", 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, &raw, nullptr),
              ERROR_SUCCESS);
    UniqueKey key(raw);
    // Lower case is accepted; entries that are not two letters are ignored.
    const wchar_t value[] = L"zz\0AB\0LONGER\0Q\0\0";
    ASSERT_EQ(RegSetValueExW(key.get(), L"BlePrefixes", 0, REG_MULTI_SZ,
                             reinterpret_cast<const BYTE*>(value), sizeof(value)),
              ERROR_SUCCESS);
    const std::vector<std::wstring> prefixes = LoadBlePrefixes();
    RegDeleteValueW(key.get(), L"BlePrefixes");

    EXPECT_EQ(prefixes.size(), DefaultBlePrefixes().size() + 2);
    EXPECT_TRUE(PassesNameFilter(L"ZZ-Printer", prefixes));
    EXPECT_TRUE(PassesNameFilter(L"ab-box", prefixes));
    EXPECT_FALSE(PassesNameFilter(L"LONGER", prefixes));
    EXPECT_FALSE(PassesNameFilter(L"Q-1", prefixes));
    EXPECT_TRUE(PassesNameFilter(L"QS-1", prefixes)) << "the built-in table stays";
    EXPECT_FALSE(PassesNameFilter(L"ZZ-Printer", LoadBlePrefixes())) << "value removed";
}

TEST(NameFilter, WrongValueTypeIsIgnored) {
    HKEY raw = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Quillstone", 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, &raw, nullptr),
              ERROR_SUCCESS);
    UniqueKey key(raw);
    const wchar_t value[] = L"ZZ";
    ASSERT_EQ(RegSetValueExW(key.get(), L"BlePrefixes", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                             sizeof(value)),
              ERROR_SUCCESS);
    const std::vector<std::wstring> prefixes = LoadBlePrefixes();
    RegDeleteValueW(key.get(), L"BlePrefixes");
    EXPECT_EQ(prefixes, DefaultBlePrefixes());
}

}  // namespace
}  // namespace qs
