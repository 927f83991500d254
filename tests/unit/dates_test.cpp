#include "util/dates.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <regex>
#include <string>

namespace velka {
namespace {

TEST(ParseDateTest, ValidatesGregorianCalendarDates) {
    struct Case {
        std::string text;
        bool valid;
        int32_t year, month, day;
    };
    const Case cases[] = {
        {"20240229", true, 2024, 2, 29},
        {"20230229", false, 2023, 2, 29},
        {"20000229", true, 2000, 2, 29},
        {"19000229", false, 1900, 2, 29},
        {"21000229", false, 2100, 2, 29},
        {"20240230", false, 2024, 2, 30},
        {"20240431", false, 2024, 4, 31},
        {"20241231", true, 2024, 12, 31},
        {"20241301", false, 2024, 13, 1},
        {"20240001", false, 2024, 0, 1},
        {"20240100", false, 2024, 1, 0},
        {"00000101", true, 0, 1, 1},
        {"20240501.txt", true, 2024, 5, 1},  // only the first eight characters count
        {"20240501-old", true, 2024, 5, 1},
        {"202405", false, 2024, 5, 0},  // six characters: day 0
        {"2024051", true, 2024, 5, 1},  // seven: one digit of day
        {"2024", false, 0, 0, 0},       // too short to be a date
        {"", false, 0, 0, 0},
        {"notes.txt", false, 0, 0, 0},
        {"2024a501", false, 2024, 0, 1},
        {"2024-5-1", false, 2024, 0, 0},  // a sign is not a digit
        {".2024050", false, 0, 40, 50},
    };
    for (const Case& c : cases) {
        const Date d = ParseDate(c.text);
        EXPECT_EQ(d.valid, c.valid) << c.text;
        EXPECT_EQ(d.year, c.year) << c.text;
        EXPECT_EQ(d.month, c.month) << c.text;
        EXPECT_EQ(d.day, c.day) << c.text;
    }
}

TEST(DaysBetweenTest, CountsAcrossMonthYearAndLeapBoundaries) {
    struct Case {
        const char* first;
        const char* second;
        int32_t days;
    };
    const Case cases[] = {
        {"20231231", "20240101", 1},    {"20240108", "20240101", -7},
        {"20240101", "20240108", 7},    {"20240228", "20240301", 2},
        {"20230228", "20230301", 1},    {"20000228", "20000301", 2},
        {"19000228", "19000301", 1},    {"20240501", "20240501", 0},
        {"20200101", "20250101", 1827}, {"19991231", "20000101", 1},
        {"20000101", "20010101", 366},  {"21000101", "21010101", 365},
        {"00000101", "00010101", 366},  // year 0 is a leap year
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DaysBetween(ParseDate(c.first), ParseDate(c.second)), c.days)
            << c.first << " -> " << c.second;
    }
}

// Steps through the calendar one day at a time with an independent month table and checks that
// every step is exactly one day, and that the UTC time text names that day.
TEST(DaysBetweenTest, AgreesWithDayByDayCountingOverFourCenturies) {
    auto leap = [](int y) { return y % 400 == 0 || (y % 4 == 0 && y % 100 != 0); };
    const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const Date start = ParseDate("18991225");
    ASSERT_TRUE(start.valid);
    int y = 1899, m = 12, d = 25;
    for (int32_t step = 1; step <= 146097 + 10; ++step) {
        const int length = (m == 2 && leap(y)) ? 29 : monthDays[m - 1];
        if (++d > length) {
            d = 1;
            if (++m > 12) {
                m = 1;
                ++y;
            }
        }
        Date next;
        next.year = y;
        next.month = m;
        next.day = d;
        next.valid = true;
        ASSERT_EQ(DaysBetween(start, next), step) << y << "-" << m << "-" << d;
        const int64_t seconds = int64_t{DaysBetween(ParseDate("19700101"), next)} * 86400;
        char day[48];  // room for any int, which the compiler cannot rule out
        std::snprintf(day, sizeof(day), "%04d-%02d-%02d", y, m, d);
        ASSERT_EQ(UtcTimeString(seconds), std::string(day) + " 00:00:00 UTC");
    }
}

TEST(UtcTimeStringTest, SecondsAroundTheEpochAndLeapDays) {
    const struct {
        int64_t seconds;
        const char* text;
    } cases[] = {
        {0, "1970-01-01 00:00:00 UTC"},          {-1, "1969-12-31 23:59:59 UTC"},
        {951782400, "2000-02-29 00:00:00 UTC"},  {1718000000, "2024-06-10 06:13:20 UTC"},
        {4102444799, "2099-12-31 23:59:59 UTC"},
    };
    for (const auto& c : cases) EXPECT_EQ(UtcTimeString(c.seconds), c.text) << c.seconds;
}

// Reads the current local time independently for comparison with the strings.
std::string LocalNow(const char* format) {
    const std::time_t now = std::time(nullptr);
    char buffer[64];
    return std::string(buffer, std::strftime(buffer, sizeof(buffer), format, std::localtime(&now)));
}

TEST(TimeStringsTest, HaveTheirFormatsAndShowTheLocalTime) {
    const std::string dayBefore = LocalNow("%Y%m%d");
    const std::string today = TodayString();
    const std::string now = NowString();
    const std::string millis = TimestampMillis();
    const std::string logTime = LogTimeString();
    const std::string dayAfter = LocalNow("%Y%m%d");

    EXPECT_TRUE(std::regex_match(today, std::regex(R"(\d{8})"))) << today;
    EXPECT_TRUE(ParseDate(today).valid) << today;
    EXPECT_TRUE(today == dayBefore || today == dayAfter) << today << " vs " << dayBefore;
    EXPECT_TRUE(std::regex_match(now, std::regex(R"(\d{14})"))) << now;
    EXPECT_TRUE(now.compare(0, 8, dayBefore) == 0 || now.compare(0, 8, dayAfter) == 0) << now;
    EXPECT_TRUE(
        std::regex_match(millis, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})")))
        << millis;
    EXPECT_TRUE(std::regex_match(logTime, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})")))
        << logTime;
    const std::string dashedDay =
        today.substr(0, 4) + "-" + today.substr(4, 2) + "-" + today.substr(6, 2);
    EXPECT_TRUE(logTime.compare(0, 10, dashedDay) == 0 || dayBefore != dayAfter)
        << logTime << " vs " << dashedDay;
}

}  // namespace
}  // namespace velka
