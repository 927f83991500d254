#include "transfer/transfer_watch.h"

#include <curl/curl.h>

#include <chrono>
#include <type_traits>

namespace velka {

// OnTransferProgress is handed to libcurl as a curl_xferinfo_callback.
static_assert(std::is_same<curl_off_t, int64_t>::value, "curl_off_t must be int64_t");

int64_t NowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TransferWatch MakeTransferWatch(std::atomic<int64_t>* currentCounter,
                                std::atomic<int64_t>* totalCounter,
                                const TransferSettings& settings) {
    TransferWatch watch;
    watch.currentCounter = currentCounter;
    watch.totalCounter = totalCounter;
    watch.stallLimitMs = settings.stallLimitMs;
    watch.limiter = settings.downloadLimit.get();
    watch.lastProgressMs = watch.now();
    return watch;
}

int OnTransferProgress(void* userData, int64_t /*downloadTotal*/, int64_t downloadNow,
                       int64_t /*uploadTotal*/, int64_t /*uploadNow*/) {
    auto* watch = static_cast<TransferWatch*>(userData);
    const int64_t delta = downloadNow - watch->lastBytes;
    const int64_t now = watch->now();
    if (delta > 0) watch->lastProgressMs = now;
    if (now - watch->lastProgressMs > watch->stallLimitMs) return 1;
    watch->lastBytes = downloadNow;
    if (watch->currentCounter) watch->currentCounter->store(watch->base + downloadNow);
    if (watch->totalCounter)
        watch->totalCounter->fetch_add(delta + watch->base - watch->countedBase);
    watch->countedBase = watch->base;
    // Counted first, so the progress shown is what arrived; the sleep then holds the transfer
    // back. Time spent waiting for the limit is not time without bytes.
    if (watch->limiter && delta > 0) {
        watch->limiter->Take(delta);
        watch->lastProgressMs = watch->now();
    }
    return 0;
}

}  // namespace velka
