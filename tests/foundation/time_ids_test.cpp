#include <gtest/gtest.h>
#include <ctime>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/ids.h"
#include "foundation/time_util.h"

namespace qs {
namespace {

TEST(TimeTest, EpochMillisecondsAgreeWithTheCRuntimeClock) {
    int64_t ms = NowEpochMs();
    int64_t seconds = static_cast<int64_t>(std::time(nullptr));
    EXPECT_LE(std::llabs(ms / 1000 - seconds), 2);
}

TEST(TimeTest, LocalStampsHaveTheirFixedShapes) {
    EXPECT_TRUE(std::regex_match(LocalTimestamp(), std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2})")))
        << LocalTimestamp();
    EXPECT_TRUE(std::regex_match(LocalDate(), std::regex(R"(\d{4}-\d{2}-\d{2})"))) << LocalDate();
    EXPECT_TRUE(std::regex_match(LocalTimeOfDay(), std::regex(R"(\d{2}:\d{2}:\d{2}\.\d{3})")))
        << LocalTimeOfDay();
}

TEST(TimeTest, FormattingPadsEveryField) {
    LocalDateTime t{2024, 5, 3, 4, 5, 6, 7};
    EXPECT_EQ(FormatTimestamp(t), "2024-05-03T04:05:06");
    EXPECT_EQ(FormatDate(t), "2024-05-03");
    EXPECT_EQ(FormatTimeOfDay(t), "04:05:06.007");
}

TEST(TimeTest, AddDaysCrossesMonthsYearsAndLeapDays) {
    struct Case {
        LocalDateTime from;
        int days;
        const char* date;
    };
    const Case cases[] = {
        {{2024, 5, 23}, -14, "2024-05-09"},
        {{2024, 3, 5}, -14, "2024-02-20"},
        {{2024, 3, 1}, -1, "2024-02-29"},
        {{2023, 3, 1}, -1, "2023-02-28"},
        {{2000, 3, 1}, -1, "2000-02-29"},
        {{1900, 3, 1}, -1, "1900-02-28"},
        {{2024, 1, 1}, -1, "2023-12-31"},
        {{2023, 12, 31}, 1, "2024-01-01"},
        {{2024, 5, 23}, 0, "2024-05-23"},
        {{2024, 1, 10}, -400, "2022-12-06"},
    };
    for (const Case& c : cases) {
        LocalDateTime t = c.from;
        t.hour = 23;
        t.minute = 59;
        t.millisecond = 999;
        LocalDateTime r = AddDays(t, c.days);
        EXPECT_EQ(FormatDate(r), c.date) << FormatDate(c.from) << " + " << c.days;
        // The time of day is untouched.
        EXPECT_EQ(FormatTimeOfDay(r), "23:59:00.999");
    }
}

TEST(IdsTest, NewIdIsThirtyTwoLowercaseHexDigitsAndUnique) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string id = NewId();
        ASSERT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{32}"))) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(IdsTest, RandomHexGivesTwoDigitsPerByteAndDiffersBetweenCalls) {
    EXPECT_EQ(RandomHex(0), "");
    EXPECT_EQ(RandomHex(-3), "");
    EXPECT_TRUE(std::regex_match(RandomHex(4), std::regex("[0-9a-f]{8}")));
    // Calls in the same millisecond, also from several threads, must not repeat.
    std::vector<std::string> values(64);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&values, t] {
            for (int i = 0; i < 16; ++i) values[static_cast<size_t>(t * 16 + i)] = RandomHex(16);
        });
    }
    for (auto& th : threads) th.join();
    std::set<std::string> seen(values.begin(), values.end());
    EXPECT_EQ(seen.size(), values.size());
    for (const auto& v : values) EXPECT_TRUE(std::regex_match(v, std::regex("[0-9a-f]{32}"))) << v;
}

}  // namespace
}  // namespace qs
