#include "util/logger.h"

#include <iostream>
#include <vector>

#include "platform/fs.h"
#include "platform/text.h"
#include "util/dates.h"

namespace velka {

namespace {

const char* LevelPrefix(int32_t level) {
    switch (level) {
        case Logger::kInfo:
            return "[INFO] ";
        case Logger::kError:
            return "[ERROR] ";
        default:
            return "";
    }
}

// The name up to the first "." that follows some other character; leading dots stay, so a hidden
// file such as ".20240501.txt" is not taken for a dated one.
std::wstring BaseName(const std::wstring& name) {
    for (size_t i = 1; i < name.size(); ++i) {
        if (name[i] == L'.' && name[i - 1] != L'.') return name.substr(0, i);
    }
    return name;
}

}  // namespace

Logger::Logger() = default;

Logger::~Logger() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (is_open()) {
        // Text mode turns the "\n" into CR LF as well, so the banner ends in CR CR LF on Windows.
        *this << LogTimeString() << " : === End logging ===\r\n";
        flush();
        close();
    }
}

void Logger::Open(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    target_ = 0;
    consoleThreshold_ = 0;
    filePath_ = path;
    if (is_open()) close();
    clear();
    // Text mode: the C runtime writes each "\n" as CR LF on Windows.
    open(path, std::ios::out | std::ios::app);
    if (!is_open()) return;
    *this << LogTimeString() << " : === Start logging ===\n";
    flush();
}

void Logger::Write(int32_t level, const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string line = LevelPrefix(level);
    line += LogTimeString();
    line += " : ";
    line += message;
    line += '\n';
    if (target_ != 0 && level >= consoleThreshold_) {
        std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
        std::cout.flush();
    }
    if (target_ != 1) {
        write(line.data(), static_cast<std::streamsize>(line.size()));
        flush();
    }
}

void Logger::SetTransferResult(int32_t curlCode, int32_t responseCode) {
    std::lock_guard<std::mutex> lock(mutex_);
    lastCurlCode_ = curlCode;
    lastResponseCode_ = responseCode;
}

int32_t Logger::LastCurlCode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastCurlCode_;
}

int32_t Logger::LastResponseCode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastResponseCode_;
}

bool CleanOldLogs(const std::wstring& logDirectory, const std::string& today,
                  int32_t retentionDays) {
    const Date todayDate = ParseDate(today);
    if (!todayDate.valid) return false;
    if (!DirectoryExists(logDirectory)) return true;

    std::vector<DirEntry> entries;
    if (!ListDirectory(logDirectory, &entries)) return false;

    std::wstring prefix = logDirectory;
    if (prefix.empty() || !IsSeparator(prefix.back())) prefix += kPathSeparator;
    for (const DirEntry& entry : entries) {
        if (entry.isDirectory) continue;
        const Date fileDate = ParseDate(ToNarrow(BaseName(entry.name)));
        if (!fileDate.valid || DaysBetween(fileDate, todayDate) >= retentionDays) {
            // A file that cannot be removed now is tried again at the next start.
            RemoveFile(prefix + entry.name);
        }
    }
    return true;
}

}  // namespace velka
