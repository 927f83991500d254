#include "util/logger.h"

#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <regex>
#include <thread>
#include <vector>

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
// to the console until Open and to the file only after it.
TEST(DayLogTest, LinesAndBannersHaveTheirExactFormat) {
    ScratchFolder scratch("log");
    const std::wstring file = scratch / L"20240501.txt";
    const std::string firstRun =
        "T : === Start logging ===\n[INFO] T : Launcher terminate\n"
        "[ERROR] T : Get Remote TextFile Failed! CURL CODE = 28 HttpStatusCode = 200\n"
        "T : level two\n[INFO] T : first\nsecond\n";
    std::ostringstream console;
    std::streambuf* const saved = std::cout.rdbuf(console.rdbuf());
    {
        Logger logger;
        logger.Info("before open");
        logger.Open(ToNarrow(file));
        logger.Info("Launcher terminate");
        logger.Error("Get Remote TextFile Failed! CURL CODE = 28 HttpStatusCode = 200");
        logger.Write(2, "level two");
        logger.Info("first\nsecond");
        EXPECT_EQ(Masked(Contents(file)), Native(firstRun)) << "every line is on disk at once";
    }
    {
        Logger logger;
        logger.Open(ToNarrow(scratch / L"other.txt"));
        logger.Open(ToNarrow(file));  // leaves the first file without an end banner
        logger.Info("run two");
    }
    std::cout.rdbuf(saved);
    EXPECT_EQ(Masked(console.str()), "[INFO] T : before open\n");
    EXPECT_EQ(Masked(Contents(file)),
              Native(firstRun +
                     "T : === End logging ===\r\nT : === Start logging ===\n[INFO] T : run two\n"
                     "T : === End logging ===\r\n"));
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

Tree Files(const std::vector<std::string>& names) {
    Tree tree = {{"20230101/20230101.txt", ""}};  // folders are neither removed nor entered
    for (const std::string& name : names) tree[name] = "";
    return tree;
}

// Day logs go when their name is no calendar date (read from its first eight characters, leading
// dots included: leap rules, month lengths) or once they are 7 days old; folders stay.
TEST(CleanOldLogsTest, KeepsCalendarDatesYoungerThanTheRetention) {
    ScratchFolder scratch("log");
    const std::wstring log = scratch / L"Log";
    const std::vector<std::string> recent = {
        "20240229.txt", "2024051.txt",  "20240105.bak", "20240105-old.txt", "20240105.txt.old",
        "20240105",     "20991231.txt", "20240102.txt", "20240108.txt"};
    std::vector<std::string> dated = recent, all;
    dated.insert(dated.end(), {"20000229.txt", "00000101.txt", "20240101.txt", "20231225-a.txt"});
    all = dated;
    all.insert(all.end(), {"20230229.txt", "19000229.txt", "21000229.txt", "20240431.txt",
                           "20241301.txt", "20240001.txt", "20240100.txt", "202405.txt",
                           "2024-5-1.txt", "notes.txt", ".20240105.txt", "..20240105"});
    ASSERT_TRUE(WriteTree(log, Files(all)));
    EXPECT_FALSE(CleanOldLogs(log, "20240230", 7)) << "no date today: nothing goes";
    EXPECT_EQ(ReadTree(log), Files(all));
    EXPECT_TRUE(CleanOldLogs(log, "20240108", 1000000));
    EXPECT_EQ(ReadTree(log), Files(dated));
    EXPECT_TRUE(CleanOldLogs(log, "20240108", 7));
    EXPECT_EQ(ReadTree(log), Files(recent));
    EXPECT_TRUE(CleanOldLogs(scratch / L"absent", "20240108", 7));
}

// Day numbers from 1970-01-01 across leap days, centuries and year 0, and the UTC text of the last
// second of each day.
TEST(DatesTest, DaysBetweenAndUtcTimeStringFollowTheCalendar) {
    const std::pair<std::string, int32_t> cases[] = {
        {"00000101", -719528}, {"00010101", -719162}, {"16000229", -135081}, {"18991231", -25568},
        {"19000301", -25508},  {"19691231", -1},      {"19700101", 0},       {"20000229", 11016},
        {"20000301", 11017},   {"20241231", 20088},   {"21000301", 47541},   {"99991231", 2932896},
    };
    for (const auto& [date, days] : cases) {
        EXPECT_EQ(DaysBetween(ParseDate("19700101"), ParseDate(date)), days) << date;
        EXPECT_EQ(
            UtcTimeString(int64_t{days} * 86400 + 86399),
            date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6) + " 23:59:59 UTC");
    }
    EXPECT_EQ(UtcTimeString(1718000000), "2024-06-10 06:13:20 UTC");
}

}  // namespace
}  // namespace velka
