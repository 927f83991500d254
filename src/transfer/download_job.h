// One download job: a package fetched into its file on a worker thread, with its outcome in a
// record the watching thread reads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/sha256.h"
#include "transfer/transfer_settings.h"

namespace velka {

class Logger;

// Job outcomes other than success (n >= 1, finished on attempt n).
inline constexpr int32_t kJobFailed = -1;
inline constexpr int32_t kJobLocalFault = -3;  // the target could not be opened

// The record of one package download job. Workers write only their own record; the watching
// thread reads it.
struct JobResult {
    // 0 running; n >= 1 finished on attempt n; -1 failed; -3 local fault (target not openable).
    std::atomic<int32_t> result{0};
    // Bytes received by the current attempt; back to 0 when an attempt is abandoned for a retry.
    std::atomic<int64_t> bytesNow{0};
    // For a job that hashes: the SHA-256 of the downloaded file, written before a result >= 1.
    Sha256Digest digest{};
};

// One package download of one sweep: fetch `url` into `localPath` and report in `record`.
struct DownloadJob {
    std::wstring localPath;
    std::string url;
    std::shared_ptr<JobResult> record;  // the job writes only result and bytesNow
    Logger* logger = nullptr;           // may be null: no log lines, no transfer codes
    const TransferSettings* settings = &DefaultTransferSettings();
    bool hash = false;  // fill record->digest as the bytes arrive
};

// Runs one job on the calling thread (a pool worker). Creates the folders on the way to
// localPath, opens it with "wb+" and downloads. A transfer that falls below the speed floor
// after a 200/226 answer is retried from byte 0 (bytesNow back to 0) with the longer speed
// window, up to settings.speedFloorAttempts attempts in all; the stall limit counts across those
// retries, so a server that answers and then never sends a byte ends the job instead of keeping
// it alive. Outcome in record->result, stored last, after the log line and the logger's transfer
// codes:
//   n >= 1          success on attempt n; an INFO line with the retries
//   kJobLocalFault  localPath could not be opened; nothing logged
//   kJobFailed      failure; an ERROR line with both codes, which are stored in the logger (no
//                   easy handle after repeated tries: code 2, status 0), or an ERROR line with
//                   the exception's text
// A failed job leaves its partial file. Never throws.
void RunDownloadJob(DownloadJob& job) noexcept;

}  // namespace velka
