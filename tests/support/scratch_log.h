// A scratch folder per process and test (tests run in parallel) and a day log read back from it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/fs.h"
#include "platform/process.h"
#include "platform/text.h"
#include "util/logger.h"

namespace velka {
namespace testing_support {

// <temp>/velka_<tag>_<pid>_<suite>_<test>, removed with everything in it on destruction.
class ScratchFolder {
  public:
    explicit ScratchFolder(const std::string& tag) {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = "velka_" + tag + "_" + std::to_string(CurrentProcessId());
        if (info) name += std::string("_") + info->test_suite_name() + "_" + info->name();
        std::replace(name.begin(), name.end(), '/', '_');  // parameterised test names
        path_ = JoinPath(std::filesystem::temp_directory_path().wstring(), ToWide(name));
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(path_), ignored);
        std::filesystem::create_directories(std::filesystem::path(path_), ignored);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(path_), ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& relative) const { return JoinPath(path_, relative); }

  private:
    std::wstring path_;
};

struct LogLine {
    std::string level;    // "[INFO] ", "[ERROR] " or "" for banners and other levels
    std::string message;  // text after the time and " : ", without the line end
};

// The lines of a log file written by Logger, banners left out.
inline std::vector<LogLine> ReadLogLines(const std::wstring& logFile) {
    std::vector<LogLine> lines;
    std::string bytes, line;
    ReadFileBytes(logFile, &bytes);
    std::istringstream in(bytes);
    while (std::getline(in, line)) {
        while (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t separator = line.find(" : ");
        if (separator == std::string::npos || line.compare(separator + 3, 4, "=== ") == 0) continue;
        const bool info = line.rfind("[INFO] ", 0) == 0, error = line.rfind("[ERROR] ", 0) == 0;
        lines.push_back({info ? "[INFO] " : error ? "[ERROR] " : "", line.substr(separator + 3)});
    }
    return lines;
}

class ScratchLog {
  public:
    explicit ScratchLog(const ScratchFolder& folder) : path_(folder / L"log.txt") {
        logger_.Open(ToNarrow(path_));
    }
    Logger& logger() { return logger_; }
    std::vector<LogLine> Lines() const { return ReadLogLines(path_); }

  private:
    std::wstring path_;
    Logger logger_;
};

}  // namespace testing_support
}  // namespace velka
