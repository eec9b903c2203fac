#include "foundation/files.h"

#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "foundation/handles.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using test::TempDir;

TEST(FilesTest, PathJoinAddsOneSeparatorOnlyWhenNeeded) {
    struct Case {
        const wchar_t* base;
        const wchar_t* part;
        const wchar_t* joined;
    };
    const Case cases[] = {
        {L"C:\\data", L"x.log", L"C:\\data\\x.log"},
        {L"C:\\data\\", L"x.log", L"C:\\data\\x.log"},
        {L"C:/data/", L"x.log", L"C:/data/x.log"},
        {L"", L"x.log", L"x.log"},
        {L"C:\\data", L"", L"C:\\data\\"},
        {L"rel", L"sub\\x.log", L"rel\\sub\\x.log"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PathJoin(c.base, c.part), c.joined) << c.base << " + " << c.part;
    }
}

// Names of the folders created below dir, in the order the file system
// reported them, while action runs.
std::vector<std::wstring> WatchFolderCreation(const std::wstring& dir, void (*action)(const std::wstring&)) {
    UniqueFile watch(CreateFileW(dir.c_str(), FILE_LIST_DIRECTORY,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    EXPECT_TRUE(watch.valid());
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    alignas(DWORD) unsigned char buffer[16384];
    std::vector<std::wstring> created;
    OVERLAPPED ov{};
    ov.hEvent = event.get();
    auto arm = [&] {
        ResetEvent(event.get());
        return ReadDirectoryChangesW(watch.get(), buffer, sizeof(buffer), TRUE, FILE_NOTIFY_CHANGE_DIR_NAME,
                                     nullptr, &ov, nullptr) != 0;
    };
    EXPECT_TRUE(arm());
    action(dir);
    while (WaitForSingleObject(event.get(), 1000) == WAIT_OBJECT_0) {
        DWORD got = 0;
        if (!GetOverlappedResult(watch.get(), &ov, &got, FALSE) || got == 0) break;
        for (size_t off = 0;;) {
            auto* info = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(buffer + off);
            if (info->Action == FILE_ACTION_ADDED) {
                created.emplace_back(info->FileName, info->FileNameLength / sizeof(wchar_t));
            }
            if (info->NextEntryOffset == 0) break;
            off += info->NextEntryOffset;
        }
        if (created.size() >= 3 || !arm()) break;
    }
    CancelIo(watch.get());
    return created;
}

TEST(FilesTest, MakeDirsCreatesEveryMissingParentOutermostFirst) {
    TempDir tmp;
    std::vector<std::wstring> created = WatchFolderCreation(tmp.path(), [](const std::wstring& dir) {
        EXPECT_TRUE(MakeDirs(dir + L"\\a\\b/c"));
    });
    EXPECT_EQ(created, (std::vector<std::wstring>{L"a", L"a\\b", L"a\\b\\c"}));
    DWORD attrs = GetFileAttributesW((tmp / L"a\\b\\c").c_str());
    ASSERT_NE(attrs, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attrs & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(FilesTest, MakeDirsAcceptsExistingAndTrailingSeparatorAndRefusesBlockedPaths) {
    TempDir tmp;
    EXPECT_TRUE(MakeDirs(tmp.path()));
    EXPECT_TRUE(MakeDirs(tmp / L"x\\y\\"));
    EXPECT_TRUE(FileExists(tmp / L"x\\y"));
    EXPECT_FALSE(MakeDirs(L""));
    // A file where a parent folder should be: nothing below it can exist.
    ASSERT_TRUE(WriteFileText(tmp / L"blocker", "f"));
    EXPECT_FALSE(MakeDirs(tmp / L"blocker\\sub\\deeper"));
    EXPECT_FALSE(FileExists(tmp / L"blocker\\sub"));
}

TEST(FilesTest, SizeExistenceAndRemovalOfFilesAndFolders) {
    TempDir tmp;
    const std::wstring file = tmp / L"f.bin";
    EXPECT_FALSE(FileExists(file));
    EXPECT_EQ(FileSize(file), -1);
    EXPECT_TRUE(RemovePath(file));
    EXPECT_TRUE(RemovePath(tmp / L"missing\\deeper\\f.bin"));

    ASSERT_TRUE(WriteFileBytes(file, std::string(1234, 'z')));
    EXPECT_TRUE(FileExists(file));
    EXPECT_EQ(FileSize(file), 1234);
    EXPECT_TRUE(RemovePath(file));
    EXPECT_FALSE(FileExists(file));

    // A folder goes only when empty.
    ASSERT_TRUE(MakeDirs(tmp / L"d"));
    ASSERT_TRUE(WriteFileText(tmp / L"d\\inner.txt", "x"));
    EXPECT_FALSE(RemovePath(tmp / L"d"));
    EXPECT_TRUE(RemovePath(tmp / L"d\\inner.txt"));
    EXPECT_TRUE(RemovePath(tmp / L"d"));
    EXPECT_FALSE(FileExists(tmp / L"d"));
}

TEST(FilesTest, RemoveTreeRemovesAFolderWithEverythingInIt) {
    TempDir tmp;
    const std::wstring tree = tmp / L"tree";
    ASSERT_TRUE(MakeDirs(tree + L"\\a\\b"));
    ASSERT_TRUE(WriteFileBytes(tree + L"\\a\\b\\f.txt", "x"));
    ASSERT_TRUE(WriteFileBytes(tree + L"\\top.txt", "y"));
    ASSERT_TRUE(SetFileAttributesW((tree + L"\\top.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(WriteFileBytes(tmp / L"beside.txt", "z"));
    EXPECT_FALSE(IsReparsePoint(tree));
    EXPECT_TRUE(RemoveTree(tree));
    EXPECT_FALSE(FileExists(tree));
    EXPECT_TRUE(FileExists(tmp / L"beside.txt"));
    EXPECT_TRUE(RemoveTree(tmp / L"missing"));
}

// The clean-up runs as SYSTEM: a link planted in a folder it removes is
// taken away as a link, never entered. Wine 8 cannot make junctions or
// symbolic links (FSCTL_SET_REPARSE_POINT answers error 50), so the step is
// tested on the attributes; the real link is on the real-Windows checklist.
TEST(FilesTest, RemoveTreeNeverEntersALink) {
    struct Case {
        DWORD attributes;
        RemoveStep step;
    };
    const Case cases[] = {
        {FILE_ATTRIBUTE_NORMAL, RemoveStep::kDeleteFile},
        {FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, RemoveStep::kDeleteFile},
        {FILE_ATTRIBUTE_REPARSE_POINT, RemoveStep::kDeleteFile},   // a file link: DeleteFile removes the link
        {FILE_ATTRIBUTE_DIRECTORY, RemoveStep::kDescend},
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN, RemoveStep::kDescend},
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, RemoveStep::kRemoveLinkOnly},
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_SYSTEM, RemoveStep::kRemoveLinkOnly},
    };
    for (const Case& c : cases) EXPECT_EQ(RemoveStepFor(c.attributes), c.step) << std::hex << c.attributes;
}

TEST(FilesTest, WriteTruncatesAndReadReturnsExactBinaryContent) {
    TempDir tmp;
    const std::wstring file = tmp / L"\u6570\u636E.bin";
    std::string bytes;
    for (int i = 0; i < 70000; ++i) bytes.push_back(static_cast<char>((i * 7) & 0xFF));
    bytes[10] = '\0';
    bytes[11] = '\r';
    bytes[12] = '\n';
    ASSERT_TRUE(WriteFileBytes(file, bytes));
    std::string read = "stale";
    ASSERT_TRUE(ReadFileBytes(file, read));
    EXPECT_EQ(read, bytes);

    ASSERT_TRUE(WriteFileText(file, "short"));
    ASSERT_TRUE(ReadFileBytes(file, read));
    EXPECT_EQ(read, "short");

    ASSERT_TRUE(WriteFileBytes(file, ""));
    ASSERT_TRUE(ReadFileBytes(file, read));
    EXPECT_EQ(read, "");
}

TEST(FilesTest, ReadAndWriteFailWithoutTouchingTheOutput) {
    TempDir tmp;
    std::string out = "kept";
    EXPECT_FALSE(ReadFileBytes(tmp / L"missing.bin", out));
    EXPECT_EQ(out, "kept");
    EXPECT_FALSE(WriteFileBytes(tmp / L"no\\such\\folder\\f.bin", "x"));
    // A file that another writer holds open with sharing still reads.
    const std::wstring file = tmp / L"shared.log";
    UniqueFile writer(CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer.valid());
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writer.get(), "line\n", 5, &written, nullptr));
    ASSERT_TRUE(ReadFileBytes(file, out));
    EXPECT_EQ(out, "line\n");
}

}  // namespace
}  // namespace qs
