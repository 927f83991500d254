// The usage events posted to a local server: the form bodies (the keys are the contract).
#include "reporting/events.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <tuple>

#include "platform/identity.h"
#include "support/test_server.h"

namespace velka {
namespace {

using testing_support::Reply;
using testing_support::TestServer;

class EventsTest : public ::testing::Test {
  protected:
    void SetUp() override { server_.SetReply("/bisdk/batchpush", Reply::Ok("{\"code\":0}")); }
    // A reporter whose clock reads `clock_`; without `mac` it asks the system's adapter.
    EventReporter Reporter(const char* mac = nullptr) {
        EventReporter::Options options;
        options.endpoint = endpoint_;
        if (mac) options.macAddress = [mac] { return std::string(mac); };
        options.clockMs = [this] { return clock_; };
        return EventReporter(options);
    }

    TestServer server_;
    EventEndpoint endpoint_{AnalyticsUrl(server_.BaseUrl(), "123456789"), "123456789", 1000, 500,
                            ""};
    int64_t clock_ = 5000;
};

// A run's start and stop bodies (id and times masked); whole seconds, truncated, within 32 bits.
TEST_F(EventsTest, RunPostsTheStartAndStopForms) {
    const std::string common =
        "msgType=custom.event&datasource=launcher&appId=123456789&msgVersion=2.0&deviceId=00:1a:2b:"
        "3c:4d:5e&mac=00:1a:2b:3c:4d:5e&appVersion=3.1.2034&msgId=ID&dteventtime=T&timestamp=T&";
    const std::string start = common + "eventId=starteronflow&eventDesc=%E5%90%AF%E5%8A%A8%E5%99" +
                              "%A8%E5%90%AF%E5%8A%A8%E6%B5%81%E6%B0%B4&eventVal=0&channel=window" +
                              "&platid=3";
    const std::string stop = common + "eventId=starteroffflow&eventDesc=%E5%90%AF%E5%8A%A8%E5%99" +
                             "%A8%E5%85%B3%E9%97%AD%E6%B5%81%E6%B0%B4&eventVal=0&channel=window" +
                             "&platid=3&duration=";
    const std::regex id("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    const std::regex time(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})");
    const int64_t runs[] = {59999, 60000, 999, -1500, 3000000000000, -3000000000000};
    const char* durations[] = {"59", "60", "0", "-1", "2147483647", "-2147483647"};
    std::set<std::string> ids;
    for (size_t run = 0; run < 6; ++run) {
        EventReporter reporter = Reporter("00:1a:2b:3c:4d:5e");
        EXPECT_TRUE(reporter.Start());
        clock_ += runs[run];
        EXPECT_TRUE(reporter.Stop());
        const auto requests = server_.Requests();
        ASSERT_GE(requests.size(), 2u);
        for (size_t i = requests.size() - 2; i < requests.size(); ++i) {
            const auto& request = requests[i];
            EXPECT_EQ(
                "POST /bisdk/batchpush?df=form&appId=123456789 "
                "application/x-www-form-urlencoded;charset=utf8",
                request.method + " " + request.target + " " + request.Header("Content-Type"));
            EXPECT_EQ(i % 2 ? stop + durations[run] : start,
                      std::regex_replace(std::regex_replace(request.body, id, "ID"), time, "T"));
            std::smatch found;
            if (std::regex_search(request.body, found, id)) ids.insert(found.str());
        }
    }
    EXPECT_EQ(server_.Requests().size(), ids.size()) << "each event has its own id";
}

// Only the transfer success rule counts as sent, nor does a silent endpoint; nothing is sent
// without a device, a host or, for the stop, a start; the device is the Ethernet adapter's.
TEST_F(EventsTest, WhatIsSentAndWhatCountsAsSent) {
    const std::tuple<int, int64_t, bool> replies[] = {
        {200, 0, true},  {226, 0, true},  {204, 0, false},   {302, 0, false},
        {404, 0, false}, {500, 0, false}, {200, 5000, false}};
    for (const auto& [status, silenceMs, sent] : replies) {
        Reply reply = Reply::WithStatus(status, "x");
        reply.silenceMs = silenceMs;
        server_.SetReply("/bisdk/batchpush", reply);
        EXPECT_EQ(sent, SendStopEvent(endpoint_, "m", 5)) << status << " " << silenceMs;
    }
    server_.SetReply("/bisdk/batchpush", Reply::Ok(""));
    EventReporter device = Reporter();
    EXPECT_EQ(!LocalMacAddress().empty(), device.Start());
    EXPECT_TRUE(std::regex_match(device.Mac(), std::regex("|([0-9a-f]{2}:){5}[0-9a-f]{2}")));
    EXPECT_NE("00:00:00:00:00:00", device.Mac()) << "the loopback adapter is no device";
    const size_t posted = server_.Requests().size();
    EXPECT_FALSE(Reporter("m").Stop()) << "no start";
    EventReporter noMac = Reporter("");
    EXPECT_FALSE(noMac.Start() || noMac.Stop() || SendStartEvent(endpoint_, ""));
    endpoint_.url = AnalyticsUrl("", "123456789");
    EventReporter noHost = Reporter();
    EXPECT_FALSE(noHost.Start() || noHost.Stop());
    EXPECT_EQ("", noHost.Mac()) << "no adapter is looked up without a host";
    EXPECT_EQ(posted, server_.Requests().size());
}

}  // namespace
}  // namespace velka
