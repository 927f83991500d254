// What every libcurl transfer of the launcher shares: owners for the easy handle and header
// lists, the write callbacks, the success rule and the table of options per kind of transfer.
//
// libcurl's global initialisation (curl_global_init) is the front end's job; nothing here does
// it. A handle is used by one thread at a time. Only the file set keeps handles between its
// transfers (for their open connections), and resets each before setting its options.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "transfer/transfer_settings.h"
#include "transfer/transfer_watch.h"

namespace velka {

struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlHeaderList = std::unique_ptr<curl_slist, CurlListDeleter>;

// A fresh easy handle; empty when libcurl cannot create one.
inline CurlHandle NewCurlHandle() {
    return CurlHandle(curl_easy_init());
}

// Write callback: appends the data to the std::string `userData`; returns size * count.
size_t AppendToString(char* data, size_t size, size_t count, void* userData);

// Write callback: fwrite to the FILE* `userData`; returns fwrite's item count, so a short write
// (disk full) makes libcurl end the transfer with CURLE_WRITE_ERROR (23).
size_t WriteToFile(char* data, size_t size, size_t count, void* userData);

// A text body with an upper bound on its size.
struct TextSink {
    std::string* out = nullptr;  // appended to
    int64_t limit = 0;           // most body bytes this transfer may append
    int64_t received = 0;
    bool overflowed = false;  // set when a piece would have crossed the limit
};

// Write callback for a TextSink: appends like AppendToString until the transfer's body would
// pass the limit, then appends nothing more and returns 0, which ends the transfer with
// CURLE_WRITE_ERROR (23).
size_t AppendToTextSink(char* data, size_t size, size_t count, void* userData);

// The success rule shared by every transfer: curl_easy_perform returned CURLE_OK and the HTTP
// response code is 200 or 226. A 3xx left after redirects, a 404 and 0 (no response) are
// failures.
bool TransferSucceeded(CURLcode code, int32_t responseCode);

// The answer of a proxy that wants (other) credentials.
constexpr int32_t kProxyAuthRequired = 407;

struct TransferResult {
    CURLcode code = CURLE_OK;
    // 0 when no response arrived; 407 also when a proxy refused the tunnel of an https transfer.
    int32_t responseCode = 0;
    bool Succeeded() const { return TransferSucceeded(code, responseCode); }
};

// curl_easy_perform, then the response code.
TransferResult PerformTransfer(CURL* handle);

// The option table. Each function sets exactly the options of its kind of transfer on a fresh
// handle and returns CURLE_OK, or the code of the first option libcurl refused; a handle whose
// options could not all be set must not be performed. Every kind is limited to http and https,
// redirects included, so a mirror cannot send the launcher to file:// or another scheme (libcurl
// then fails with CURLE_UNSUPPORTED_PROTOCOL, 1). `url`, `sink`, `file`, `watch` and `response`
// must outlive the transfer. Every kind goes through the proxy chosen for its URL (see
// TransferSettings::proxy).

// Text fetch: follows redirects, writes into `sink`, watch with stall rule, connect time-out
// textConnectTimeoutMs, no speed floor; a body announced larger than the sink's limit is
// refused up front (CURLE_FILESIZE_EXCEEDED, 63).
CURLcode SetTextFetchOptions(CURL* handle, const std::string& url, TextSink* sink,
                             TransferWatch* watch, const TransferSettings& settings);

// File download: follows redirects, writes into `file`, watch with stall rule, connect time-out
// fileConnectTimeoutMs, speed floor lowSpeedLimitBytes over lowSpeedTimeSeconds. Receives into
// a 512 KiB buffer and makes `file` unbuffered (so it must not have been read or written yet):
// each piece libcurl delivers is one write.
CURLcode SetFileDownloadOptions(CURL* handle, const std::string& url, std::FILE* file,
                                TransferWatch* watch, const TransferSettings& settings);

// Download job: as a file download, but a retry (`retry` true) gets retryLowSpeedTimeSeconds as
// its speed window.
CURLcode SetDownloadJobOptions(CURL* handle, const std::string& url, std::FILE* file,
                               TransferWatch* watch, bool retry, const TransferSettings& settings);

// Event post: the URL and a write callback appending to `response`; no redirects, no watch, no
// time-outs. The caller adds its headers and body.
CURLcode SetEventPostOptions(CURL* handle, const std::string& url, std::string* response,
                             const std::string& proxy);

}  // namespace velka
