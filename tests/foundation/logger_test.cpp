#include "foundation/logger.h"

#include <windows.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/files.h"
#include "foundation/text.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using test::TempDir;

// The time the logger sees while a test runs.
LocalDateTime g_now{2024, 5, 23, 14, 3, 9, 517};
LocalDateTime FixedNow() { return g_now; }

std::string Read(const std::wstring& path) {
    std::string bytes;
    if (!ReadFileBytes(path, bytes)) return "<missing>";
    return bytes;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::set<std::wstring> FileNames(const std::wstring& dir) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring n = fd.cFileName;
        if (n != L"." && n != L"..") names.insert(n);
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    return names;
}

// The logger is one object for the whole process: each test points it at its
// own folder and a fixed clock, and leaves it closed, memory-only and on the
// system clock for whatever runs next.
class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = LocalDateTime{2024, 5, 23, 14, 3, 9, 517};
        log().SetClock(&FixedNow);
        log().Close();
    }
    void TearDown() override {
        log().Close();
        log().Open(L"", kInfo);
        log().SetClock(nullptr);
    }
    static Logger& log() { return Logger::Instance(); }
    TempDir tmp_;
};

TEST_F(LoggerTest, OpenCreatesTheFolderAndLinesHaveTheirExactForm) {
    const std::wstring dir = tmp_ / L"a\\b\\logs";
    ASSERT_TRUE(log().Open(dir, kInfo, 4194304, 14));
    EXPECT_TRUE(FileExists(dir));
    log().Write(kInfo, "\xE6\xA0\xB8\xE5\xBF\x83\xE5\xB7\xB2\xE5\x81\x9C\xE6\xAD\xA2");  // 核心已停止
    g_now.millisecond = 5;
    log().Write(kError, "100% done %s");
    const std::string expected =
        "14:03:09.517 [INF] \xE6\xA0\xB8\xE5\xBF\x83\xE5\xB7\xB2\xE5\x81\x9C\xE6\xAD\xA2\n"
        "14:03:09.005 [ERR] 100% done %s\n";
    // No byte-order mark, no date in the line: the date is in the name.
    EXPECT_EQ(Read(dir + L"\\2024-05-23.log"), expected);
    EXPECT_EQ(FileNames(dir), std::set<std::wstring>{L"2024-05-23.log"});
    std::vector<std::string> recent = log().RecentLines(2);
    ASSERT_EQ(recent.size(), 2u);
    EXPECT_EQ(recent[0] + recent[1], expected);
}

// A serial number or name from a pipe client ends up in a line: whatever it
// carries, one call writes one line, and no terminal escape gets through.
TEST_F(LoggerTest, ControlCharactersInAMessageCannotForgeLines) {
    ASSERT_TRUE(log().Open(tmp_.path(), kInfo, 4194304, 14));
    const std::string message = std::string("设备已删除：AB\r\n14:03:09.517 [ERR] forged\x1b[2J\tx\x7f") +
                                "\xC2\x85nel\xE2\x80\xA8ls\xE2\x80\xA9ps" + std::string(1, '\0') + "end";
    log().Write(kInfo, message);
    const std::string expected =
        "14:03:09.517 [INF] 设备已删除：AB??14:03:09.517 [ERR] forged?[2J?x??nel?ls?ps?end\n";
    EXPECT_EQ(Read(tmp_ / L"2024-05-23.log"), expected);
    EXPECT_EQ(log().RecentLines(1), std::vector<std::string>{expected});
    // Text that only looks special stays as it is.
    log().Write(kInfo, "C:\\路径\\a.pdf \xC2\xA9 \xE2\x80\xA6");
    EXPECT_EQ(log().RecentLines(1),
              std::vector<std::string>{"14:03:09.517 [INF] C:\\路径\\a.pdf \xC2\xA9 \xE2\x80\xA6\n"});
}

TEST_F(LoggerTest, LevelsBelowTheMinimumAreDroppedAndUnknownLevelsNamedQuestionMarks) {
    ASSERT_TRUE(log().Open(tmp_.path(), kInfo, 4194304, 14));
    log().Write(kDebug, "dropped-debug");
    log().Write(-1, "dropped-negative");
    log().Write(kInfo, "i");
    log().Write(kWarn, "w");
    log().Write(kError, "e");
    log().Write(7, "seven");
    const std::string expected =
        "14:03:09.517 [INF] i\n"
        "14:03:09.517 [WRN] w\n"
        "14:03:09.517 [ERR] e\n"
        "14:03:09.517 [???] seven\n";
    EXPECT_EQ(Read(tmp_ / L"2024-05-23.log"), expected);
    for (const std::string& line : log().RecentLines(0)) {
        EXPECT_EQ(line.find("dropped"), std::string::npos) << line;
    }
    // The minimum level is whatever the last Open said.
    ASSERT_TRUE(log().Open(tmp_.path(), kDebug, 4194304, 14));
    log().Write(kDebug, "now kept");
    EXPECT_EQ(log().RecentLines(1), std::vector<std::string>{"14:03:09.517 [DBG] now kept\n"});
}

TEST_F(LoggerTest, FullFilesMoveWritingToNumberedFilesUpToTheNinthAndNoFurther) {
    ASSERT_TRUE(log().Open(tmp_.path(), kInfo, 100, 14));
    // 19 bytes of prefix + 40 + line feed: 60-byte lines.
    auto lineNo = [](int i) { return Format("line %02d ", i) + std::string(32, 'x'); };
    ASSERT_EQ(("14:03:09.517 [INF] " + lineNo(1) + "\n").size(), 60u);

    const std::wstring base = tmp_ / L"2024-05-23.log";
    log().Write(kInfo, lineNo(1));
    EXPECT_EQ(FileSize(base), 60);
    // 60 + 60 > 100 closes the file, but at 60 bytes it is not full when
    // chosen again, so the second line still goes there.
    log().Write(kInfo, lineNo(2));
    EXPECT_EQ(FileSize(base), 120);
    EXPECT_FALSE(FileExists(base + L".1"));
    log().Write(kInfo, lineNo(3));
    EXPECT_EQ(FileSize(base), 120);
    EXPECT_EQ(FileSize(base + L".1"), 60);

    for (int i = 4; i <= 40; ++i) log().Write(kInfo, lineNo(i));
    // Two lines per file through ".9"; once that is full too, the day's
    // lines stay in memory only: anyone who can make the core log cannot
    // fill the disk.
    std::map<std::wstring, std::vector<int>> expected;
    expected[L"2024-05-23.log"] = {1, 2};
    for (int n = 1; n <= 9; ++n) expected[L"2024-05-23.log." + std::to_wstring(n)] = {2 * n + 1, 2 * n + 2};
    std::set<std::wstring> names;
    for (const auto& [name, lines] : expected) {
        names.insert(name);
        std::string content;
        for (int i : lines) content += "14:03:09.517 [INF] " + lineNo(i) + "\n";
        EXPECT_EQ(Read(tmp_ / name), content) << WideToUtf8(name);
    }
    EXPECT_EQ(FileNames(tmp_.path()), names);
    EXPECT_EQ(log().RecentLines(1), std::vector<std::string>{"14:03:09.517 [INF] " + lineNo(40) + "\n"});

    // The next day starts over.
    g_now.day = 24;
    log().Write(kInfo, lineNo(41));
    EXPECT_EQ(Read(tmp_ / L"2024-05-24.log"), "14:03:09.517 [INF] " + lineNo(41) + "\n");
}

TEST_F(LoggerTest, AHugeMessageIsCutWithoutSplittingACharacter) {
    ASSERT_TRUE(log().Open(tmp_.path(), kInfo, 4194304, 14));
    std::string huge = "x" + std::string(3 * 300000, '\0');
    for (size_t i = 1; i < huge.size(); i += 3) huge.replace(i, 3, "名");   // 3-byte characters after one byte
    log().Write(kInfo, huge);
    const std::string line = log().RecentLines(1)[0];
    EXPECT_LT(line.size(), 8300u);
    const std::string tail = "…(900001 字节，已截断)\n";
    ASSERT_GT(line.size(), tail.size());
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
    const std::string kept = line.substr(19, line.size() - 19 - tail.size());
    EXPECT_EQ(kept.size() % 3, 1u) << "a character was cut in two";
    EXPECT_EQ(Read(tmp_ / L"2024-05-23.log"), line);
}

TEST_F(LoggerTest, ExistingFilesOfTheDayCountTowardsTheCapWhenReopened) {
    const std::wstring base = tmp_ / L"2024-05-23.log";
    ASSERT_TRUE(WriteFileText(base, std::string(150, 'o')));
    // Exactly at the cap is not over it.
    ASSERT_TRUE(WriteFileText(base + L".1", std::string(100, 'p')));
    ASSERT_TRUE(log().Open(tmp_.path(), kInfo, 100, 14));
    log().Write(kInfo, "joins the first file that is not over the cap");
    std::string one = Read(base + L".1");
    EXPECT_EQ(one.substr(0, 100), std::string(100, 'p'));
    EXPECT_EQ(one.substr(100), "14:03:09.517 [INF] joins the first file that is not over the cap\n");
    EXPECT_EQ(FileSize(base), 150);
    EXPECT_FALSE(FileExists(base + L".2"));
}

TEST_F(LoggerTest, ALineJustAfterMidnightGoesToTheNewDaysFile) {
    ASSERT_TRUE(log().Open(tmp_.path(), kInfo, 4194304, 14));
    g_now = LocalDateTime{2024, 5, 23, 23, 59, 59, 999};
    log().Write(kInfo, "late");
    g_now = LocalDateTime{2024, 5, 24, 0, 0, 0, 1};
    log().Write(kInfo, "early");
    g_now = LocalDateTime{2024, 5, 24, 0, 0, 0, 2};
    log().Write(kInfo, "early again");
    EXPECT_EQ(Read(tmp_ / L"2024-05-23.log"), "23:59:59.999 [INF] late\n");
    EXPECT_EQ(Read(tmp_ / L"2024-05-24.log"),
              "00:00:00.001 [INF] early\n00:00:00.002 [INF] early again\n");
}

TEST_F(LoggerTest, PurgeDeletesFilesDatedBeforeTheCutoffOnly) {
    struct Case {
        LocalDateTime now;
        int32_t keepDays;
        std::vector<std::wstring> deleted;
        std::vector<std::wstring> kept;
    };
    const Case cases[] = {
        {{2024, 5, 23, 10, 0, 0, 0},
         14,
         {L"2024-05-08.log", L"2024-05-08.log.3", L"2023-12-31.log", L"1999-01-01.log.txt"},
         {L"2024-05-09.log", L"2024-05-09.log.9", L"2024-05-23.log", L"short.log", L"1.log",
          L"2000-01-01.txt", L"notes-about.log"}},
        // Across the end of February of a leap year.
        {{2024, 3, 5, 0, 0, 0, 0}, 14, {L"2024-02-19.log"}, {L"2024-02-20.log", L"2024-03-04.log"}},
        {{2024, 5, 23, 0, 0, 0, 0}, 1, {L"2024-05-21.log"}, {L"2024-05-22.log"}},
    };
    for (const Case& c : cases) {
        TempDir dir;
        for (const auto& n : c.deleted) ASSERT_TRUE(WriteFileText(dir / n, "old"));
        for (const auto& n : c.kept) ASSERT_TRUE(WriteFileText(dir / n, "new"));
        // Folders are never removed, whatever their name.
        ASSERT_TRUE(MakeDirs(dir / L"2020-01-01.log.d"));
        g_now = c.now;
        ASSERT_TRUE(log().Open(dir.path(), kInfo, 4194304, c.keepDays));
        for (const auto& n : c.deleted) EXPECT_FALSE(FileExists(dir / n)) << WideToUtf8(n);
        for (const auto& n : c.kept) EXPECT_TRUE(FileExists(dir / n)) << WideToUtf8(n);
        EXPECT_TRUE(FileExists(dir / L"2020-01-01.log.d"));
        log().Close();
    }
}

TEST_F(LoggerTest, MemoryHoldsTheLastThreeHundredLines) {
    for (int i = 1; i <= 301; ++i) log().Write(kInfo, Format("window %d", i));
    std::vector<std::string> last = log().RecentLines(200);
    ASSERT_EQ(last.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(last[static_cast<size_t>(i)], Format("14:03:09.517 [INF] window %d\n", i + 102));
    }
    for (int32_t count : {0, -5, 300, 1000}) {
        std::vector<std::string> all = log().RecentLines(count);
        ASSERT_EQ(all.size(), 300u) << count;
        EXPECT_EQ(all.front(), "14:03:09.517 [INF] window 2\n") << count;
        EXPECT_EQ(all.back(), "14:03:09.517 [INF] window 301\n") << count;
    }
    EXPECT_EQ(log().RecentLines(1), std::vector<std::string>{"14:03:09.517 [INF] window 301\n"});
}

TEST_F(LoggerTest, CloseReleasesTheFileAndTheNextLineAppendsToIt) {
    ASSERT_TRUE(log().Open(tmp_.path(), kInfo, 4194304, 14));
    log().Write(kInfo, "before");
    log().Close();
    // Released: it can be opened without any sharing now.
    HANDLE h = CreateFileW((tmp_ / L"2024-05-23.log").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    log().Write(kInfo, "after close");
    log().Close();
    ASSERT_TRUE(log().Open(tmp_.path(), kInfo, 4194304, 14));
    log().Write(kInfo, "after reopen");
    EXPECT_EQ(Read(tmp_ / L"2024-05-23.log"),
              "14:03:09.517 [INF] before\n14:03:09.517 [INF] after close\n"
              "14:03:09.517 [INF] after reopen\n");
}

TEST_F(LoggerTest, AFileThatCannotBeOpenedLosesLinesOnDiskOnlyAndIsRetried) {
    // A folder where the day's file should be: it cannot be opened for writing.
    ASSERT_TRUE(MakeDirs(tmp_ / L"2024-05-23.log"));
    ASSERT_TRUE(log().Open(tmp_.path(), kInfo, 4194304, 14));
    log().Write(kWarn, "memory only");
    EXPECT_EQ(log().RecentLines(1), std::vector<std::string>{"14:03:09.517 [WRN] memory only\n"});
    ASSERT_TRUE(RemovePath(tmp_ / L"2024-05-23.log"));
    log().Write(kInfo, "on disk");
    EXPECT_EQ(Read(tmp_ / L"2024-05-23.log"), "14:03:09.517 [INF] on disk\n");
}

TEST_F(LoggerTest, NothingReachesDiskBeforeOpenOrWithAnEmptyFolder) {
    log().Write(kInfo, "not opened yet");
    ASSERT_TRUE(log().Open(L"", kInfo, 4194304, 14));
    log().Write(kInfo, "no folder");
    EXPECT_TRUE(FileNames(tmp_.path()).empty());
    std::vector<std::string> recent = log().RecentLines(2);
    ASSERT_EQ(recent.size(), 2u);
    EXPECT_EQ(recent[1], "14:03:09.517 [INF] no folder\n");
}

TEST_F(LoggerTest, ConcurrentWritersNeverInterleaveWithinALine) {
    ASSERT_TRUE(log().Open(tmp_.path(), kInfo, 0xFFFFFFFFu, 14));
    constexpr int kThreads = 8;
    constexpr int kLines = 400;
    // Long lines make a split write likely if the lock did not cover it.
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string body(1500, static_cast<char>('A' + t));
            for (int i = 0; i < kLines; ++i) Logger::Instance().Write(kInfo, Format("t%d #%04d ", t, i) + body);
        });
    }
    for (auto& th : threads) th.join();

    std::vector<std::string> lines = SplitLines(Read(tmp_ / L"2024-05-23.log"));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : lines) {
        int t = -1;
        int i = -1;
        ASSERT_EQ(sscanf(line.c_str(), "14:03:09.517 [INF] t%d #%d ", &t, &i), 2) << line.substr(0, 60);
        ASSERT_TRUE(t >= 0 && t < kThreads);
        // Each thread's lines appear whole and in the order it wrote them.
        EXPECT_EQ(i, next[static_cast<size_t>(t)]++);
        EXPECT_EQ(line, "14:03:09.517 [INF] " + Format("t%d #%04d ", t, i) +
                            std::string(1500, static_cast<char>('A' + t)));
    }
    // Memory holds the same last 300 lines as the end of the file.
    std::vector<std::string> recent = log().RecentLines(300);
    ASSERT_EQ(recent.size(), 300u);
    for (size_t k = 0; k < recent.size(); ++k) EXPECT_EQ(recent[k], lines[lines.size() - 300 + k] + "\n");
}

}  // namespace
}  // namespace qs
