#include "foundation/system_info.h"

#include <windows.h>
#include <gtest/gtest.h>
#include <regex>
#include <string>

#include "foundation/dynamic_proc.h"
#include "foundation/files.h"
#include "foundation/handles.h"
#include "foundation/text.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

TEST(SystemInfoTest, ErrorTextCarriesCodeAndTrimmedSystemMessage) {
    std::string text = Win32ErrorText(5);
    ASSERT_EQ(text.rfind("Win32(5) ", 0), 0u) << text;
    EXPECT_GT(text.size(), std::string("Win32(5) ").size());
    // FormatMessage ends its texts with CR LF; none of it may stay.
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_NE(text.back(), ' ');
    EXPECT_NE(text[9], ' ');
}

TEST(SystemInfoTest, ErrorTextWithoutSystemMessageEndsWithTheSpace) {
    // The customer bit: the system has no text for such codes.
    EXPECT_EQ(Win32ErrorText(0x20001234u), "Win32(536875572) ");
    // Codes above 2^31 stay unsigned.
    EXPECT_EQ(Win32ErrorText(0xE0001234u).rfind("Win32(3758101044) ", 0), 0u);
}

TEST(SystemInfoTest, ErrorTextOfZeroTakesTheThreadsLastError) {
    SetLastError(0);
    EXPECT_EQ(Win32ErrorText(0), "OK");
    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Win32ErrorText(0), Win32ErrorText(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Win32ErrorText(0).rfind("Win32(2) ", 0), 0u);
}

TEST(SystemInfoTest, OsVersionComesFromTheKernel) {
    std::wstring text = OsVersionText();
    EXPECT_TRUE(std::regex_match(WideToUtf8(text), std::regex(R"(Windows \d+\.\d+ build \d+)")))
        << WideToUtf8(text);
    EXPECT_NE(text, L"Windows 0.0 build 0");
}

TEST(SystemInfoTest, AppVersionReadsThreePartsOfThisExecutablesFileVersion) {
    // This test executable carries file version 1234.56.789.4321.
    EXPECT_EQ(AppVersion(), L"1234.56.789");
    EXPECT_EQ(AppVersion(), L"1234.56.789");
    EXPECT_EQ(FileVersionText(ModulePath()), L"1234.56.789");
}

TEST(SystemInfoTest, FileWithoutVersionResourceGivesEmptyText) {
    test::TempDir tmp;
    ASSERT_TRUE(WriteFileText(tmp / L"plain.exe", "MZ not really a program"));
    EXPECT_EQ(FileVersionText(tmp / L"plain.exe"), L"");
    EXPECT_EQ(FileVersionText(tmp / L"missing.exe"), L"");
}

TEST(SystemInfoTest, FixedFileVersionFormattingUsesWordsNotBytes) {
    EXPECT_EQ(FormatFileVersion(0x00040003u, 0x00000007u), L"4.3.0");
    EXPECT_EQ(FormatFileVersion(0xFFFF0100u, 0x12345678u), L"65535.256.4660");
}

TEST(SystemInfoTest, ModuleDirIsTheFolderOfThisExecutable) {
    std::wstring path = ModulePath();
    ASSERT_GT(path.size(), 20u);
    EXPECT_EQ(path.substr(path.size() - 20), L"foundation_tests.exe");
    EXPECT_EQ(ModuleDir(), path.substr(0, path.size() - 21));
    EXPECT_TRUE(FileExists(PathJoin(ModuleDir(), L"foundation_tests.exe")));
}

TEST(SystemInfoTest, FolderOfPathCutsAtTheLastSeparatorOfEitherKind) {
    EXPECT_EQ(FolderOfPath(L"D:\\Tools\\app.exe"), L"D:\\Tools");
    EXPECT_EQ(FolderOfPath(L"D:\\Tools/sub\\x/app.exe"), L"D:\\Tools/sub\\x");
    EXPECT_EQ(FolderOfPath(L"app.exe"), L".\\");
    EXPECT_EQ(FolderOfPath(L""), L".\\");
}

TEST(DynamicProcTest, FindsPresentFunctionsAndReportsMissingOnes) {
    using GetTickCount64Fn = ULONGLONG(WINAPI*)();
    auto tick = FindLoadedProc<GetTickCount64Fn>(L"kernel32.dll", "GetTickCount64");
    ASSERT_NE(tick, nullptr);
    ULONGLONG a = tick();
    EXPECT_LE(a, GetTickCount64());
    EXPECT_GE(a + 10000, GetTickCount64());
    EXPECT_EQ(FindLoadedProc<GetTickCount64Fn>(L"kernel32.dll", "NoSuchFunctionAnywhere"), nullptr);
    EXPECT_EQ(FindLoadedProc<GetTickCount64Fn>(L"nosuchmodule.dll", "GetTickCount64"), nullptr);
}

TEST(DynamicProcTest, SystemLibraryLoadsFromTheSystemFolderOnly) {
    test::TempDir tmp;
    {
        SystemLibrary lib(L"version.dll");
        ASSERT_TRUE(lib.loaded());
        using SizeFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
        auto size = lib.Find<SizeFn>("GetFileVersionInfoSizeW");
        ASSERT_NE(size, nullptr);
        DWORD ignored = 0;
        EXPECT_GT(size(ModulePath().c_str(), &ignored), 0u);
    }
    SystemLibrary missing(L"qs_no_such_library.dll");
    EXPECT_FALSE(missing.loaded());
    using AnyFn = void(WINAPI*)();
    EXPECT_EQ(missing.Find<AnyFn>("Anything"), nullptr);
}

TEST(HandlesTest, OwnersCloseExactlyOnceAndMoveOwnership) {
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(raw, nullptr);
    DWORD flags = 0;
    {
        UniqueHandle a(raw);
        UniqueHandle b(std::move(a));
        EXPECT_FALSE(a.valid());
        EXPECT_EQ(b.get(), raw);
        UniqueHandle c;
        c = std::move(b);
        EXPECT_FALSE(b.valid());
        EXPECT_TRUE(GetHandleInformation(raw, &flags));
    }
    EXPECT_FALSE(GetHandleInformation(raw, &flags));

    test::TempDir tmp;
    HANDLE file = CreateFileW((tmp / L"f").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    UniqueFile owner(file);
    UniqueFile moved(std::move(owner));
    EXPECT_FALSE(owner.valid());
    moved.reset();
    EXPECT_FALSE(GetHandleInformation(file, &flags));
    // Closed: the file can now be opened without sharing.
    UniqueFile again(CreateFileW((tmp / L"f").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(again.valid());
}

}  // namespace
}  // namespace qs
