#include "util/logger.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "platform/process.h"
#include "platform/text.h"

namespace velka {
namespace {

namespace fs = std::filesystem;

const char kTime[] = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})";

// Text-mode files carry CR LF on Windows and LF elsewhere.
bool CrLfLineEnds() {
    return kPathSeparator == L'\\';
}

// A fresh folder under the system temp folder, unique per process and test, removed afterwards.
class ScratchDir {
  public:
    ScratchDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = fs::temp_directory_path() / ("velka-" + std::to_string(CurrentProcessId()) + "-" +
                                             info->test_suite_name() + "-" + info->name());
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// The file's lines with their platform line ends removed. Checks that every line end is the
// platform's (one CR before each LF on Windows); a CR that the logger wrote itself stays.
std::vector<std::string> ReadLines(const fs::path& path) {
    std::string bytes = ReadBytes(path);
    if (CrLfLineEnds()) {
        std::string stripped;
        for (size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] == '\n') {
                EXPECT_TRUE(i > 0 && bytes[i - 1] == '\r') << "bare LF at byte " << i;
                if (!stripped.empty() && stripped.back() == '\r') stripped.pop_back();
            }
            stripped += bytes[i];
        }
        bytes = stripped;
    }
    std::vector<std::string> lines;
    std::istringstream in(bytes);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Narrow(const fs::path& path) {
    return ToNarrow(path.wstring());
}

// Swaps std::cout's buffer for a string while alive.
class CaptureCout {
  public:
    CaptureCout() : old_(std::cout.rdbuf(buffer_.rdbuf())) {}
    ~CaptureCout() { std::cout.rdbuf(old_); }
    std::string Text() const { return buffer_.str(); }

  private:
    std::ostringstream buffer_;
    std::streambuf* old_;
};

bool Matches(const std::string& line, const std::string& pattern) {
    return std::regex_match(line, std::regex(pattern));
}

TEST(LoggerTest, WritesBannerAndLinesInTheirFormats) {
    ScratchDir scratch;
    const fs::path file = scratch.path() / "20240501.txt";
    {
        Logger logger;
        logger.Open(Narrow(file));
        EXPECT_EQ(logger.FilePath(), Narrow(file));
        logger.Info("Launcher terminate");
        logger.Error("Get Remote TextFile Failed! CURL CODE = 28 HttpStatusCode = 200");
        logger.Write(2, "level two");
        logger.Write(0, "level zero");
        logger.Info("first\nsecond");
        logger.Info("");

        const std::vector<std::string> lines = ReadLines(file);  // on disk before the logger ends
        const std::string t = kTime;
        const std::string expected[] = {
            t + " : === Start logging ===",
            R"(\[INFO\] )" + t + " : Launcher terminate",
            R"(\[ERROR\] )" + t +
                " : Get Remote TextFile Failed! CURL CODE = 28 HttpStatusCode = 200",
            t + " : level two",
            t + " : level zero",
            R"(\[INFO\] )" + t + " : first",
            "second",
            R"(\[INFO\] )" + t + " : ",
        };
        ASSERT_EQ(lines.size(), std::size(expected));
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_TRUE(Matches(lines[i], expected[i])) << "line " << i << ": " << lines[i];
        }
        EXPECT_EQ(ReadBytes(file).find('\r') != std::string::npos, CrLfLineEnds());
    }
    // The end banner's own CR comes on top of the line end.
    const std::string bytes = ReadBytes(file);
    const std::string ending =
        CrLfLineEnds() ? " : === End logging ===\r\r\n" : " : === End logging ===\r\n";
    ASSERT_GE(bytes.size(), ending.size());
    EXPECT_EQ(bytes.substr(bytes.size() - ending.size()), ending);
    const std::vector<std::string> lines = ReadLines(file);
    EXPECT_TRUE(Matches(lines.back(), std::string(kTime) + " : === End logging ===\r"))
        << lines.back();
}

TEST(LoggerTest, TwoRunsOnOneDayAppendToOneFile) {
    ScratchDir scratch;
    const fs::path file = scratch.path() / "20240501.txt";
    for (const char* run : {"run one", "run two"}) {
        Logger logger;
        logger.Open(Narrow(file));
        logger.Info(run);
    }
    const std::vector<std::string> lines = ReadLines(file);
    const std::string t = kTime;
    const std::string expected[] = {
        t + " : === Start logging ===",    R"(\[INFO\] )" + t + " : run one",
        t + " : === End logging ===\r",    t + " : === Start logging ===",
        R"(\[INFO\] )" + t + " : run two", t + " : === End logging ===\r",
    };
    ASSERT_EQ(lines.size(), std::size(expected));
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(Matches(lines[i], expected[i])) << "line " << i << ": " << lines[i];
    }
}

TEST(LoggerTest, ConsoleOnlyBeforeOpenAndFileOnlyAfter) {
    ScratchDir scratch;
    const fs::path file = scratch.path() / "20240501.txt";
    CaptureCout console;
    Logger logger;
    logger.Info("before open");
    EXPECT_TRUE(Matches(console.Text(), R"(\[INFO\] )" + std::string(kTime) + " : before open\n"))
        << console.Text();
    const std::string consoleBeforeOpen = console.Text();

    logger.Open(Narrow(file));
    logger.Error("after open");
    EXPECT_EQ(console.Text(), consoleBeforeOpen) << "a line reached the console after Open";
    const std::string bytes = ReadBytes(file);
    EXPECT_EQ(bytes.find("before open"), std::string::npos);
    EXPECT_NE(bytes.find(" : after open"), std::string::npos) << bytes;
}

TEST(LoggerTest, FileThatCannotBeOpenedDropsLinesQuietly) {
    ScratchDir scratch;
    const fs::path file = scratch.path() / "missing-folder" / "20240501.txt";
    CaptureCout console;
    {
        Logger logger;
        logger.Open(Narrow(file));
        EXPECT_EQ(logger.FilePath(), Narrow(file));
        logger.Info("nowhere");
        logger.Error("nowhere either");
    }
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(console.Text(), "");
}

TEST(LoggerTest, KeepsBothCodesOfTheLastFailedTransfer) {
    Logger logger;
    EXPECT_EQ(logger.LastCurlCode(), -1);
    EXPECT_EQ(logger.LastResponseCode(), -1);
    logger.SetTransferResult(28, 200);
    EXPECT_EQ(logger.LastCurlCode(), 28);
    EXPECT_EQ(logger.LastResponseCode(), 200);
    logger.SetTransferResult(22, 404);
    EXPECT_EQ(logger.LastCurlCode(), 22);
    EXPECT_EQ(logger.LastResponseCode(), 404);
}

TEST(LoggerTest, ConcurrentWritersNeverInterleaveLines) {
    constexpr int kThreads = 8;
    constexpr int kLines = 500;
    ScratchDir scratch;
    const fs::path file = scratch.path() / "20240501.txt";
    {
        Logger logger;
        logger.Open(Narrow(file));
        // A long message makes a torn line likely when writes are not serialised.
        const std::string payload(200, 'x');
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&logger, &payload, t] {
                for (int n = 0; n < kLines; ++n) {
                    if (n % 2 == 0) {
                        logger.Info("thread " + std::to_string(t) + " line " + std::to_string(n) +
                                    " " + payload);
                    } else {
                        logger.Error("thread " + std::to_string(t) + " line " + std::to_string(n) +
                                     " " + payload);
                    }
                    logger.SetTransferResult(n, n + 1000);
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
        EXPECT_EQ(logger.LastResponseCode(), kLines - 1 + 1000);
    }

    const std::vector<std::string> lines = ReadLines(file);
    ASSERT_EQ(lines.size(), 1u + kThreads * kLines + 1u);
    const std::regex linePattern(R"(\[(INFO|ERROR)\] )" + std::string(kTime) +
                                 R"( : thread (\d) line (\d+) x{200})");
    std::map<int, int> nextLine;
    std::set<std::pair<int, int>> seen;
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[i], match, linePattern))
            << "line " << i << ": " << lines[i];
        const int thread = std::stoi(match[2]);
        const int n = std::stoi(match[3]);
        EXPECT_EQ(match[1], n % 2 == 0 ? "INFO" : "ERROR") << lines[i];
        EXPECT_EQ(n, nextLine[thread]) << "thread " << thread << " out of order";
        nextLine[thread] = n + 1;
        EXPECT_TRUE(seen.insert({thread, n}).second) << "duplicate " << lines[i];
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

// Names of the files and folders left in `folder`.
std::set<std::string> Remaining(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(ToNarrow(entry.path().filename().wstring()) +
                     (entry.is_directory() ? "/" : ""));
    }
    return names;
}

TEST(CleanOldLogsTest, DeletesUndatedAndExpiredFilesOnly) {
    struct Entry {
        const char* name;
        bool kept;
    };
    const Entry files[] = {
        {"20240101.txt", false},  // 7 days before today
        {"20231231.txt", false},    {"20230108.txt", false},
        {"20240102.txt", true},                               // 6 days
        {"20240108.txt", true},                               // today
        {"20240109.txt", true},                               // future
        {"20991231.txt", true},     {"20240230.txt", false},  // not a calendar date
        {"notes.txt", false},       {"202405.txt", false},
        {".20240105.txt", false},  // leading dots belong to the base name
        {"..20240105", false},      {"20240105", true},
        {"20240105.bak", true},     {"20240105-old.txt", true},
        {"20240105.txt.old", true}, {"20231225-old.txt", false},
    };
    ScratchDir scratch;
    const fs::path log = scratch.path() / "Log";
    fs::create_directories(log / "20230101");
    fs::create_directories(log / "notes");
    WriteBytes(log / "20230101" / "20230101.txt", "inner");

    // With and without a closing separator on the folder.
    for (const std::wstring& directory : {log.wstring(), log.wstring() + kPathSeparator}) {
        for (const Entry& f : files) WriteBytes(log / f.name, "x");
        EXPECT_TRUE(CleanOldLogs(directory, "20240108", 7));
        const std::set<std::string> left = Remaining(log);
        for (const Entry& f : files) {
            EXPECT_EQ(left.count(f.name), f.kept ? 1u : 0u) << f.name;
        }
        EXPECT_EQ(left.count("20230101/"), 1u) << "sub-folders are kept";
        EXPECT_EQ(left.count("notes/"), 1u) << "sub-folders are kept";
        EXPECT_TRUE(fs::exists(log / "20230101" / "20230101.txt")) << "sub-folders are not entered";
    }
}

TEST(CleanOldLogsTest, RetentionDaysDecideTheBoundary) {
    struct Case {
        int32_t retention;
        std::set<std::string> kept;
    };
    const Case cases[] = {
        {1, {"20240301.txt", "20240302.txt"}},
        {0, {"20240302.txt"}},
        {2, {"20240229.txt", "20240301.txt", "20240302.txt"}},
        {3, {"20240228.txt", "20240229.txt", "20240301.txt", "20240302.txt"}},
    };
    for (const Case& c : cases) {
        ScratchDir scratch;
        for (const char* name : {"20240228.txt", "20240229.txt", "20240301.txt", "20240302.txt"}) {
            WriteBytes(scratch.path() / name, "x");
        }
        EXPECT_TRUE(CleanOldLogs(scratch.path().wstring(), "20240301", c.retention));
        EXPECT_EQ(Remaining(scratch.path()), c.kept) << "retention " << c.retention;
    }
}

TEST(CleanOldLogsTest, InvalidTodayDeletesNothing) {
    ScratchDir scratch;
    WriteBytes(scratch.path() / "notes.txt", "x");
    WriteBytes(scratch.path() / "20000101.txt", "x");
    for (const char* today : {"20240230", "2024", "", "today", "20241301"}) {
        EXPECT_FALSE(CleanOldLogs(scratch.path().wstring(), today, 7)) << today;
        EXPECT_EQ(Remaining(scratch.path()).size(), 2u) << today;
    }
}

TEST(CleanOldLogsTest, MissingFolderIsNotAnError) {
    ScratchDir scratch;
    const fs::path log = scratch.path() / "Log";
    EXPECT_TRUE(CleanOldLogs(log.wstring(), "20240108", 7));
    EXPECT_FALSE(fs::exists(log));
}

TEST(CleanOldLogsTest, NamesOutsideTheDateFormAreDeletedWhateverTheirCharacters) {
    ScratchDir scratch;
    const fs::path log = scratch.path();
    const fs::path wideName = log / fs::u8path(u8"\u65e5\u5fd7.txt");
    WriteBytes(wideName, "x");
    WriteBytes(log / "20240107.txt", "x");
    EXPECT_TRUE(CleanOldLogs(log.wstring(), "20240108", 7));
    EXPECT_FALSE(fs::exists(wideName));
    EXPECT_TRUE(fs::exists(log / "20240107.txt"));
}

// The pipeline's order: clean, create the folder, open; the first line of a new file is the
// start banner.
TEST(CleanOldLogsTest, NewLogFolderStartsWithTheBanner) {
    ScratchDir scratch;
    const std::wstring log = scratch.path().wstring() + kPathSeparator + L"Log";
    const std::wstring file = log + kPathSeparator + L"20240108.txt";
    EXPECT_TRUE(CleanOldLogs(log, "20240108", 7));
    ASSERT_TRUE(CreateDirectories(file));
    {
        Logger logger;
        logger.Open(ToNarrow(file));
        logger.Info("Launcher start");
    }
    const std::vector<std::string> lines = ReadLines(fs::path(file));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_TRUE(Matches(lines[0], std::string(kTime) + " : === Start logging ===")) << lines[0];
}

}  // namespace
}  // namespace velka
