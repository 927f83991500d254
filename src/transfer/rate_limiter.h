// A limit on the total download speed of all transfers that share one RateLimiter, whatever
// thread they run on.
//
// Transfers report the bytes they have received with Take, which blocks the calling transfer
// until the shared budget allows them. A blocked transfer reads nothing from its socket, so the
// sender slows down to the limit through TCP's own flow control. Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>

namespace velka {

class RateLimiter {
  public:
    // bytesPerSecond > 0.
    explicit RateLimiter(int64_t bytesPerSecond);
    RateLimiter(const RateLimiter&) = delete;
    RateLimiter& operator=(const RateLimiter&) = delete;

    int64_t BytesPerSecond() const { return bytesPerSecond_; }

    // Accounts for `bytes` just received and sleeps until the total of every caller is back
    // within the limit. After an idle moment a burst of at most kBurstMs worth passes at once.
    void Take(int64_t bytes);

    // The receive buffer for a transfer under this limit: small enough that one piece is a
    // fraction of a second's budget, so speed and stall measurements stay smooth.
    int64_t PieceBytes(int64_t largest) const;

    static constexpr int64_t kBurstMs = 100;

  private:
    const int64_t bytesPerSecond_;
    std::mutex lock_;
    // When the bytes taken so far are all within the limit, in microseconds of the steady clock.
    int64_t paidUntilUs_ = 0;
};

}  // namespace velka
