// The stall rule, the progress counters, the text size limit and the success rule, driven
// directly without a transfer.
#include "transfer/transfer_watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "transfer/curl_easy.h"

namespace velka {
namespace {

int64_t fakeNow = 0;
int64_t FakeClock() {
    return fakeNow;
}

struct ProgressStep {
    int64_t nowMs;
    int64_t downloadNow;
    int expected;  // 0 go on, 1 abort
};

struct StallCase {
    const char* name;
    std::vector<ProgressStep> steps;
};

TEST(HttpTransferWatch, StallRuleAbortsOnlyAfterStrictlyMoreThanTheLimit) {
    const std::vector<StallCase> cases = {
        {"silence of exactly the limit goes on", {{60000, 0, 0}}},
        {"one millisecond more aborts", {{60000, 0, 0}, {60001, 0, 1}}},
        {"growth restarts the clock", {{50000, 10, 0}, {110000, 10, 0}, {110001, 10, 1}}},
        {"steady trickle never aborts",
         {{59000, 1, 0}, {118000, 2, 0}, {177000, 3, 0}, {236000, 4, 0}}},
        // A count that falls back (a followed redirect) is not progress.
        {"restart of the count is not progress", {{30000, 500, 0}, {89000, 0, 0}, {90001, 0, 1}}},
    };
    for (const StallCase& c : cases) {
        TransferWatch watch;  // production stall limit
        watch.now = &FakeClock;
        watch.lastProgressMs = 0;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            fakeNow = c.steps[i].nowMs;
            EXPECT_EQ(c.steps[i].expected,
                      OnTransferProgress(&watch, 0, c.steps[i].downloadNow, 0, 0))
                << c.name << ", step " << i;
        }
    }
}

TEST(HttpTransferWatch, CountersFollowTheBytesOfTheTransferThatCounts) {
    std::atomic<int64_t> current{-7};
    std::atomic<int64_t> total{1000};
    fakeNow = 0;
    TransferWatch watch = MakeTransferWatch(&current, &total);
    watch.now = &FakeClock;
    watch.lastProgressMs = 0;

    // 250 bytes of a redirect's body, then libcurl restarts its count for the final body.
    const std::vector<int64_t> counts = {100, 250, 250, 0, 40, 90};
    for (int64_t count : counts) {
        ASSERT_EQ(0, OnTransferProgress(&watch, 0, count, 0, 0));
        EXPECT_EQ(count, current.load()) << "current after " << count;
    }
    EXPECT_EQ(1090, total.load()) << "total grows by the final body only";

    // The aborting call leaves the counters as they were.
    fakeNow = watch.stallLimitMs + 1;
    EXPECT_EQ(1, OnTransferProgress(&watch, 0, 90, 0, 0));
    EXPECT_EQ(90, current.load());
    EXPECT_EQ(1090, total.load());
}

TEST(HttpTextSink, RefusesThePieceThatWouldPassTheLimit) {
    std::string out = "old:";
    TextSink sink;
    sink.out = &out;
    sink.limit = 10;
    char data[] = "abcdefghijkl";
    EXPECT_EQ(4u, AppendToTextSink(data, 1, 4, &sink));
    EXPECT_EQ(6u, AppendToTextSink(data + 4, 2, 3, &sink)) << "exactly up to the limit is fine";
    EXPECT_FALSE(sink.overflowed);
    EXPECT_EQ(0u, AppendToTextSink(data + 10, 1, 1, &sink));
    EXPECT_TRUE(sink.overflowed);
    EXPECT_EQ("old:abcdefghij", out) << "the refused piece is not appended";
}

TEST(HttpSuccessRule, OnlyOkWith200Or226Succeeds) {
    struct Case {
        CURLcode code;
        int32_t status;
        bool succeeded;
    };
    const Case cases[] = {
        {CURLE_OK, 200, true},
        {CURLE_OK, 226, true},
        {CURLE_OK, 0, false},
        {CURLE_OK, 201, false},
        {CURLE_OK, 206, false},
        {CURLE_OK, 302, false},
        {CURLE_OK, 404, false},
        {CURLE_OPERATION_TIMEDOUT, 200, false},
        {CURLE_ABORTED_BY_CALLBACK, 226, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.succeeded, TransferSucceeded(c.code, c.status))
            << "code " << c.code << " status " << c.status;
    }
}

}  // namespace
}  // namespace velka
