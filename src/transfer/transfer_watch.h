// The transfer watch: progress bookkeeping and the stall rule of one libcurl transfer.
//
// One watch per transfer, owned by whoever runs the transfer and handed to libcurl as the
// user data of OnTransferProgress (CURLOPT_XFERINFODATA). It must outlive curl_easy_perform.
#pragma once

#include <atomic>
#include <cstdint>

#include "transfer/transfer_settings.h"

namespace velka {

// Milliseconds on a monotonic clock. Only differences are meaningful; a change of the system
// time neither aborts a healthy transfer nor keeps a stalled one alive.
int64_t NowMillis();

struct TransferWatch {
    // Receives the body bytes received so far in this transfer. May be null. Read by other
    // threads (the progress view, the package watcher).
    std::atomic<int64_t>* currentCounter = nullptr;
    // The caller's running byte total; each progress call adds the growth since the previous
    // call, negative growth included (libcurl restarts its count when it follows a redirect), so
    // the total ends up grown by the final body's size. May be null.
    std::atomic<int64_t>* totalCounter = nullptr;
    // Byte count seen at the previous progress call.
    int64_t lastBytes = 0;
    // Bytes of the file kept from an earlier attempt, once the server agreed to continue it:
    // the counters count them too (the total once), the stall rule and the limit do not.
    int64_t base = 0;
    int64_t countedBase = 0;
    // When the byte count last grew; starts when the transfer is set up.
    int64_t lastProgressMs = 0;
    // Longest time without growth before the transfer is aborted (strictly longer aborts).
    int64_t stallLimitMs = 60000;
    // The clock; tests substitute their own.
    int64_t (*now)() = &NowMillis;
    // The shared download speed limit, or null. Each progress call pays for the bytes that
    // arrived since the previous one, sleeping while the limit is exceeded.
    RateLimiter* limiter = nullptr;
};

// A watch for a transfer that starts now, feeding the given counters (either may be null).
TransferWatch MakeTransferWatch(std::atomic<int64_t>* currentCounter,
                                std::atomic<int64_t>* totalCounter,
                                const TransferSettings& settings = DefaultTransferSettings());

// libcurl's CURLOPT_XFERINFOFUNCTION. `userData` is a TransferWatch. Returns 0 to go on and 1 to
// abort (libcurl then ends the transfer with CURLE_ABORTED_BY_CALLBACK, 42) when nothing has
// arrived for longer than the stall limit. The counters are not updated by the call that aborts.
int OnTransferProgress(void* userData, int64_t downloadTotal, int64_t downloadNow,
                       int64_t uploadTotal, int64_t uploadNow);

}  // namespace velka
