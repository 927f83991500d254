// Blocking HTTP fetches and downloads over mirror lists, for the update thread.
//
// Every operation uses a fresh libcurl easy handle, except DownloadWithHandle, whose caller keeps
// one. A download writes its file from byte 0 unless it is asked to be resumable. Success means
// the success rule of curl_easy.h (CURLE_OK and HTTP 200 or 226). A failed transfer with a logger
// leaves exactly one error line and stores the libcurl code and the response code with
// Logger::SetTransferResult; a failure before any transfer (no easy handle, target file not
// openable) logs nothing and leaves those codes alone. Nothing is retried here: the mirror lists
// are the only second chances.
//
// These functions touch localFaultFlag without coordination, so they belong to one thread at a
// time (the update thread). DownloadWithHandle touches nothing shared but the counters it is
// given, and may run on any thread. libcurl must have been initialised globally.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sha256.h"
#include "transfer/curl_easy.h"
#include "transfer/transfer_settings.h"
#include "util/logger.h"

namespace velka {

// Set by DownloadToFile when it cannot open its target file, cleared when a download fails for
// any other reason, left alone by a success. The file-set download reads it right after a
// failed download to tell a local fault from a transfer failure.
extern std::atomic<bool> localFaultFlag;

// Reads `url` and appends the body to `*out`. On failure whatever body arrived (an error page,
// say) stays appended. A body longer than settings.maxTextBytes is refused: the transfer fails
// and at most that many bytes are appended. A failure leaves an ERROR line with both codes, which
// also says when the size limit was the cause.
bool FetchRemoteText(const std::string& url, std::string* out, Logger* logger,
                     const TransferSettings& settings = DefaultTransferSettings());

// FetchRemoteText over `urls` in order; the body of the first URL that succeeds (that URL's body
// only), or "" when every URL fails or the list is empty. Each failed URL leaves its error line.
std::string FetchFirstRemoteText(const std::vector<std::string>& urls, Logger* logger,
                                 const TransferSettings& settings = DefaultTransferSettings());

// Streams `url` into the file `path`, creating missing folders on the way and truncating an
// existing file. `currentCounter` (may be null) receives the bytes of this transfer so far;
// `totalCounter` (may be null) grows by them. A failed transfer leaves what was written on disk;
// the caller removes it. A failure leaves an ERROR line with the URL and both codes.
// A file that receives the whole body but then cannot be flushed to disk fails like a short
// write, with CURLE_WRITE_ERROR (23).
//
// `resumable`: a partial file left by an interrupted download of the same URL is continued (see
// ResumableDownload), and this download leaves what it needs to be continued in turn.
//
// `digest` (may be null): on success receives the SHA-256 of the whole file, hashed as the bytes
// arrive (a continued file's kept bytes are read back once first), so the file is not read again.
bool DownloadToFile(const std::string& url, const std::wstring& path,
                    std::atomic<int64_t>* currentCounter, std::atomic<int64_t>* totalCounter,
                    Logger* logger, const TransferSettings& settings = DefaultTransferSettings(),
                    bool resumable = false, Sha256Digest* digest = nullptr);

// What DownloadToFile does, on an easy handle the caller keeps between downloads (its open
// connections then serve the next one; the handle is reset before its options are set), and
// with the outcome returned instead of logged: nothing is written to a logger or to
// localFaultFlag. `localFault` is set when the target could not be opened (no transfer was
// made); otherwise a failure's `result` holds the codes DownloadToFile would log, and
// FileDownloadFailureLine the line. With `digest`, the SHA-256 of the whole file (kept bytes of a
// resumed download included) is left there after a success.
struct FileDownload {
    bool succeeded = false;
    bool localFault = false;
    TransferResult result;
};
FileDownload DownloadWithHandle(CURL* handle, const std::string& url, const std::wstring& path,
                                std::atomic<int64_t>* currentCounter,
                                std::atomic<int64_t>* totalCounter,
                                const TransferSettings& settings, bool resumable,
                                Sha256Digest* digest = nullptr);

// DownloadToFile's error line for a failed transfer of `url`.
std::string FileDownloadFailureLine(const std::string& url, const TransferResult& result);

// DownloadToFile into `path` from each of `urls` in order, without counters, until one
// succeeds. False when all fail or the list is empty. Each attempt rewrites the file.
bool DownloadFromFirstUrl(const std::wstring& path, const std::vector<std::string>& urls,
                          Logger* logger,
                          const TransferSettings& settings = DefaultTransferSettings());

}  // namespace velka
