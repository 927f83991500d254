// A download target that continues where an interrupted download of the same URL stopped.
//
// Beside a partial file lies its record, <file>.resume: the URL, the validator the server gave
// the body (a strong ETag, else Last-Modified) and the full length. It is written before the
// first body byte, so a partial file without a record (or with another URL, or not shorter than
// the recorded length) is started over. A continued request asks for the rest with Range and
// If-Range; only a 206 whose Content-Range starts at the local length is appended. A 200 (the
// server ignores ranges, or the file changed) starts the file over from byte 0; any other 206
// ends the transfer (RangeRefused) for the caller to start over. The file's CRC still decides
// whether the result is kept.
//
// One object per transfer, on one thread; it must outlive curl_easy_perform.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>

#include "platform/fs.h"
#include "transfer/curl_easy.h"
#include "transfer/stream_hash.h"
#include "transfer/transfer_watch.h"

namespace velka {

class ResumableDownload {
  public:
    // Opens `path` for a download of `url`: for appending when its record allows, else truncated
    // (and any record removed). Not `resumable`: always truncated, and no record is kept. False
    // when the file cannot be opened.
    bool Open(const std::wstring& path, const std::string& url, bool resumable = true);

    std::FILE* file() const { return file_.get(); }
    // Bytes kept from an earlier attempt; 0 when the download starts at byte 0.
    int64_t Offset() const { return offset_; }

    // Feeds `hash` (which must outlive the transfer) with the whole file as it is written: the
    // kept bytes first, read back once the server agrees to continue them (a file started over
    // hashes only what it receives), then every body byte. Call before Apply.
    void HashInto(StreamHash* hash) { hash_ = hash; }

    // After the option table has been set: takes over the body and header callbacks and, when
    // continuing, asks for the rest. `watch` learns the kept bytes once the server agrees, so the
    // progress counters count the whole file.
    CURLcode Apply(CURL* handle, TransferWatch* watch);

    // The success rule of a resumable download, to be asked once after the transfer and before
    // Close: a 206 that continued the file counts like 200.
    bool Succeeded(const TransferResult& result);

    // The server answered the range with another part of the file: start over.
    bool RangeRefused() const { return rangeRefused_; }

    // Closes the file; false when buffered data could not be written.
    bool Close() { return file_.Close(); }

    // Removes the record (after success, or when the file goes).
    static void Forget(const std::wstring& path);
    // Removes the file and its record.
    static void Discard(const std::wstring& path);
    // True when `path` has a record, so a shorter file there is worth continuing.
    static bool HasRecord(const std::wstring& path);

  private:
    static size_t OnHeader(char* data, size_t size, size_t count, void* self);
    static size_t OnBody(char* data, size_t size, size_t count, void* self);
    // At the first body byte of the final response: append, start over, or refuse.
    bool Decide();
    // Feeds hash_ with the kept bytes; false when they cannot be read back.
    bool HashKeptBytes();

    std::wstring path_;
    std::string url_;
    std::string validator_;  // of the kept bytes
    bool resumable_ = true;
    File file_;
    int64_t offset_ = 0;
    TransferWatch* watch_ = nullptr;
    StreamHash* hash_ = nullptr;
    CurlHeaderList headers_;

    // The response being received (reset by every status line: redirects come first).
    int32_t status_ = 0;
    std::string etag_;
    std::string lastModified_;
    std::string contentRange_;
    int64_t contentLength_ = -1;

    bool decided_ = false;
    bool appending_ = false;
    bool rangeRefused_ = false;
    bool discarding_ = false;  // a response that is no part of the file
};

}  // namespace velka
