#include "transfer/rate_limiter.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace velka {

namespace {

int64_t NowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// libcurl takes receive buffers between 1 KiB and 512 KiB; below 16 KiB the system calls per
// second grow for nothing.
constexpr int64_t kSmallestPiece = 16 * 1024;

}  // namespace

RateLimiter::RateLimiter(int64_t bytesPerSecond)
    : bytesPerSecond_(std::max<int64_t>(1, bytesPerSecond)) {}

void RateLimiter::Take(int64_t bytes) {
    if (bytes <= 0) return;
    int64_t waitUs = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        const int64_t now = NowMicros();
        // Time not used while idle is credited only up to the burst allowance.
        const int64_t start = std::max(paidUntilUs_, now - kBurstMs * 1000);
        paidUntilUs_ = start + bytes * 1000000 / bytesPerSecond_;
        waitUs = paidUntilUs_ - now;
    }
    if (waitUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(waitUs));
}

int64_t RateLimiter::PieceBytes(int64_t largest) const {
    return std::min(largest, std::max(kSmallestPiece, bytesPerSecond_ / 16));
}

}  // namespace velka
