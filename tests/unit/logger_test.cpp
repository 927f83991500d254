#include "util/logger.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <regex>
#include <thread>

#include "support/fixtures.h"
#include "support/scratch_log.h"
#include "util/dates.h"

namespace velka {
namespace {

using namespace testing_support;

const std::regex kTime(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})");

std::string Masked(const std::string& text) {
    return std::regex_replace(text, kTime, "T");
}

// Text-mode files end their lines with CR LF on Windows.
std::string Native(const std::string& text) {
    return kWindowsHost ? std::regex_replace(text, std::regex("\n"), "\r\n") : text;
}

// The day log as players and support read it: banners, level prefixes, appending runs; lines go
// to the console until Open and to the file only after it; an unopenable file drops them.
TEST(DayLogTest, LinesAndBannersHaveTheirExactFormat) {
    ScratchFolder scratch("log");
    const std::wstring file = scratch / L"20240501.txt";
    const std::string firstRun =
        "T : === Start logging ===\n[INFO] T : Launcher terminate\n"
        "[ERROR] T : Get Remote TextFile Failed! CURL CODE = 28 HttpStatusCode = 200\n"
        "T : level two\nT : level zero\n[INFO] T : first\nsecond\n[INFO] T : \n";
    std::ostringstream console;
    std::streambuf* const saved = std::cout.rdbuf(console.rdbuf());
    {
        Logger logger;
        logger.Info("before open");
        logger.Open(ToNarrow(file));
        logger.Info("Launcher terminate");
        logger.Error("Get Remote TextFile Failed! CURL CODE = 28 HttpStatusCode = 200");
        logger.Write(2, "level two");
        logger.Write(0, "level zero");
        logger.Info("first\nsecond");
        logger.Info("");
        EXPECT_EQ(Masked(Contents(file)), Native(firstRun)) << "every line is on disk at once";
    }
    {
        Logger logger;
        logger.Open(ToNarrow(scratch / L"other.txt"));
        logger.Open(ToNarrow(file));  // leaves the first file without an end banner
        logger.Info("run two");
        Logger lost;
        lost.Open(ToNarrow(scratch / L"missing/log.txt"));
        lost.Error("nowhere");
    }
    std::cout.rdbuf(saved);
    EXPECT_EQ(Masked(console.str()), "[INFO] T : before open\n");
    EXPECT_EQ(Masked(Contents(scratch / L"other.txt")), Native("T : === Start logging ===\n"));
    EXPECT_EQ(Masked(Contents(file)),
              Native(firstRun +
                     "T : === End logging ===\r\nT : === Start logging ===\n[INFO] T : run two\n"
                     "T : === End logging ===\r\n"));
    EXPECT_FALSE(DirectoryExists(scratch / L"missing"));
}

// Writers on many threads never tear or lose a line.
TEST(DayLogTest, ConcurrentLinesStayWhole) {
    ScratchFolder scratch("log");
    ScratchLog log(scratch);
    auto write = [&log](int t) {
        for (int n = 0; n < 300; ++n)
            log.logger().Write(n % 2 ? Logger::kError : Logger::kInfo,
                               std::to_string(t) + std::string(200, 'x'));
    };
    std::thread a(write, 1), b(write, 2), c(write, 3);
    write(4);
    a.join(), b.join(), c.join();
    std::map<std::string, int> counts;
    for (const LogLine& line : log.Lines()) ++counts[line.level + line.message];
    EXPECT_EQ(counts.size(), 8u);
    for (const auto& [line, count] : counts) EXPECT_EQ(count, 150) << line;
}

// Old and undated day logs go; recent, today's and future ones and every folder stay.
TEST(CleanOldLogsTest, KeepsDatedLogsYoungerThanTheRetention) {
    ScratchFolder scratch("log");
    const std::wstring log = scratch / L"Log";
    const Tree kept = {{"20240102.txt", ""},     {"20240108.txt", ""},
                       {"20991231.txt", ""},     {"20240105", ""},
                       {"20240105.bak", ""},     {"20240105-old.txt", ""},
                       {"20240105.txt.old", ""}, {"20230101/20230101.txt", ""}};
    const Tree removed = {{"20240101.txt", ""}, {"20230108.txt", ""},    {"20240230.txt", ""},
                          {"notes.txt", ""},    {"202405.txt", ""},      {".20240105.txt", ""},
                          {"..20240105", ""},   {"20231225-old.txt", ""}};
    ASSERT_TRUE(WriteTree(log, kept) && WriteTree(log, removed));
    EXPECT_FALSE(CleanOldLogs(log, "20240230", 7)) << "no date today: nothing goes";
    EXPECT_EQ(ReadTree(log).size(), kept.size() + removed.size());
    EXPECT_TRUE(CleanOldLogs(log, "20240108", 7));
    EXPECT_EQ(ReadTree(log), kept);
    EXPECT_TRUE(CleanOldLogs(scratch / L"absent", "20240108", 7));
}

// Log names as dates: the first eight characters, Gregorian leap rules and month lengths.
TEST(DatesTest, ParseDateReadsEightDigitsAsACalendarDate) {
    const std::pair<std::string, std::string> cases[] = {
        {"20240229", "2024-2-29"},    {"20230229", "2023-2-29 no"}, {"20000229", "2000-2-29"},
        {"19000229", "1900-2-29 no"}, {"20240431", "2024-4-31 no"}, {"20241231", "2024-12-31"},
        {"20241301", "2024-13-1 no"}, {"20240001", "2024-0-1 no"},  {"20240100", "2024-1-0 no"},
        {"00000101", "0-1-1"},        {"20240501.txt", "2024-5-1"}, {"2024051", "2024-5-1"},
        {"202405", "2024-5-0 no"},    {"2024", "0-0-0 no"},         {"2024-5-1", "2024-0-0 no"},
    };
    for (const auto& [text, expected] : cases) {
        const Date d = ParseDate(text);
        EXPECT_EQ(std::to_string(d.year) + "-" + std::to_string(d.month) + "-" +
                      std::to_string(d.day) + (d.valid ? "" : " no"),
                  expected)
            << text;
    }
}

// Day counts and UTC texts agree with counting day by day over four centuries.
TEST(DatesTest, DaysBetweenAndUtcTimeStringFollowTheCalendar) {
    const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const Date start = ParseDate("18991225");
    const Date epoch = ParseDate("19700101");
    Date date = start;
    for (int32_t step = 1; step <= 146097 + 10; ++step) {
        const int y = date.year;
        const bool leap = y % 400 == 0 || (y % 4 == 0 && y % 100 != 0);
        if (++date.day > (date.month == 2 && leap ? 29 : monthDays[date.month - 1])) {
            date = date.month == 12 ? Date{y + 1, 1, 1, true} : Date{y, date.month + 1, 1, true};
        }
        ASSERT_EQ(DaysBetween(start, date), step) << date.year << "-" << date.month;
        char day[48];
        std::snprintf(day, sizeof(day), "%04d-%02d-%02d 00:00:00 UTC", date.year, date.month,
                      date.day);
        ASSERT_EQ(UtcTimeString(int64_t{DaysBetween(epoch, date)} * 86400), day);
    }
    EXPECT_EQ(DaysBetween(ParseDate("00000101"), ParseDate("00010101")), 366) << "year 0 leaps";
    EXPECT_EQ(UtcTimeString(-1), "1969-12-31 23:59:59 UTC");
    EXPECT_EQ(UtcTimeString(1718000000), "2024-06-10 06:13:20 UTC");
}

}  // namespace
}  // namespace velka
