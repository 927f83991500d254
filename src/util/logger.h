// The day log: one text file per calendar day in D/Log, lines flushed as they are written.
//
// Write may be called from any thread; lines never interleave. The transfer primitives leave the
// codes of the last failed transfer here (SetTransferResult), the pipeline reads them for its
// error texts.
#pragma once

#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>

namespace velka {

class Logger : public std::ofstream {
  public:
    enum Level : int32_t { kInfo = 1, kError = 3 };

    // Console only until Open; both transfer codes -1.
    Logger();
    // Writes the end banner when a file is open.
    ~Logger() override;

    // Opens `path` (narrow) for appending in text mode and writes the start banner
    // "<time> : === Start logging ===". From now on lines go to the file only. A file that
    // cannot be opened drops every later file line, silently. A second Open closes the first file
    // (no end banner) and continues in the new one.
    void Open(const std::string& path);

    // "[INFO] " / "[ERROR] " / no prefix, local time "%Y-%m-%d %H:%M:%S", " : ", message, "\n";
    // flushed at once. The message is written as given (line breaks included).
    void Write(int32_t level, const std::string& message);
    void Info(const std::string& message) { Write(kInfo, message); }
    void Error(const std::string& message) { Write(kError, message); }

    // Both codes of a failed transfer, stored together.
    void SetTransferResult(int32_t curlCode, int32_t responseCode);
    int32_t LastCurlCode() const;
    int32_t LastResponseCode() const;

    const std::string& FilePath() const { return filePath_; }

  private:
    int32_t target_ = 1;  // 0 file only, 1 console only, other: both
    std::string filePath_;
    int32_t consoleThreshold_ = 0;
    int32_t lastCurlCode_ = -1;
    int32_t lastResponseCode_ = -1;
    mutable std::mutex mutex_;
};

// Removes from `logDirectory` every file whose base name is not a valid date or that is
// `retentionDays` or more days older than `today` ("%Y%m%d"); dated today, recently or in the
// future: kept. The base name ends at the first "." that follows another character (leading dots
// belong to it) and is read as a date by its first eight characters, whatever the extension.
// Folders are kept; failed deletions are ignored. False when `today` is not a date (nothing is
// deleted) or the folder cannot be enumerated; true otherwise, also when the folder is missing.
bool CleanOldLogs(const std::wstring& logDirectory, const std::string& today,
                  int32_t retentionDays);

}  // namespace velka
