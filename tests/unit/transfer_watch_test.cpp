// The transfer watch on a fake clock: the counters follow the bytes of the transfer that counts,
// kept bytes count once, and a transfer without growth for strictly longer than the limit aborts.
#include "transfer/transfer_watch.h"

#include <gtest/gtest.h>

#include <vector>

namespace velka {
namespace {

int64_t fakeNow = 0;
int64_t FakeClock() {
    return fakeNow;
}

TEST(TransferWatchTest, CountsProgressAndAbortsAStall) {
    const struct {
        const char* start;  // a named row starts a fresh watch (production stall limit)
        int64_t base;       // bytes kept from an earlier attempt
        int64_t nowMs, bytes, aborts, current, total;  // the call, then its result and the counters
    } steps[] = {
        {"silence of exactly the limit goes on", 0, 60000, 0, 0, 0, 1000},
        {nullptr, 0, 60001, 0, 1, 0, 1000},
        {"growth restarts the clock", 0, 50000, 9, 0, 9, 1009},
        {nullptr, 0, 110000, 9, 0, 9, 1009},
        {nullptr, 0, 110001, 9, 1, 9, 1009},
        {"a redirect restarts the count, which is no progress", 0, 100, 250, 0, 250, 1250},
        {nullptr, 0, 30000, 500, 0, 500, 1500},
        {nullptr, 0, 89000, 0, 0, 0, 1000},
        {nullptr, 0, 89500, 90, 0, 90, 1090},
        {nullptr, 0, 149500, 90, 0, 90, 1090},
        {nullptr, 0, 149501, 90, 1, 90, 1090},
        {"kept bytes count once", 300, 1000, 0, 0, 300, 1300},
        {nullptr, 300, 2000, 50, 0, 350, 1350},
    };
    std::atomic<int64_t> current{0};
    std::atomic<int64_t> total{0};
    TransferWatch watch;
    const char* name = "";
    for (const auto& s : steps) {
        if (s.start) {
            name = s.start;
            current = -7;
            total = 1000;
            watch = MakeTransferWatch(&current, &total);
            watch.now = &FakeClock;
            watch.lastProgressMs = 0;
            watch.base = s.base;
        }
        fakeNow = s.nowMs;
        const int64_t aborts = OnTransferProgress(&watch, 0, s.bytes, 0, 0);
        EXPECT_EQ((std::vector<int64_t>{s.aborts, s.current, s.total}),
                  (std::vector<int64_t>{aborts, current, total}))
            << name << " at " << s.nowMs;
    }
}

}  // namespace
}  // namespace velka
