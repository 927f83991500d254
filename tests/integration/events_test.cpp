// The usage events posted to a local server: the exact form bodies (their keys are the
// contract), the running time, when nothing is sent, and what counts as sent.
#include "reporting/events.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

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

// One run's start and stop bodies, the id and local times masked; the running time in whole
// seconds, truncated toward zero and kept within 32 bits.
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
    const struct {
        int64_t runMs;
        const char* duration;
    } cases[] = {{59999, "59"},
                 {60000, "60"},
                 {999, "0"},
                 {-1500, "-1"},
                 {3000000000000, "2147483647"},
                 {-3000000000000, "-2147483647"}};
    std::set<std::string> ids;
    for (const auto& c : cases) {
        EventReporter reporter = Reporter("00:1a:2b:3c:4d:5e");
        EXPECT_TRUE(reporter.Start());
        clock_ += c.runMs;
        EXPECT_TRUE(reporter.Stop());
        const auto requests = server_.Requests();
        ASSERT_GE(requests.size(), 2u);
        for (size_t i = requests.size() - 2; i < requests.size(); ++i) {
            const auto& request = requests[i];
            EXPECT_EQ("/bisdk/batchpush?df=form&appId=123456789", request.target);
            EXPECT_EQ("POST application/x-www-form-urlencoded;charset=utf8",
                      request.method + " " + request.Header("Content-Type"));
            EXPECT_EQ(i % 2 ? stop + c.duration : start,
                      std::regex_replace(std::regex_replace(request.body, id, "ID"), time, "T"));
            std::smatch found;
            if (std::regex_search(request.body, found, id)) ids.insert(found.str());
        }
    }
    EXPECT_EQ(server_.Requests().size(), ids.size()) << "each event has its own id";
}

// Only the transfer success rule counts as sent, a silent endpoint is given up after its
// time-out, and nothing is sent without a device, a host or, for the stop, a start.
TEST_F(EventsTest, WhatIsSentAndWhatCountsAsSent) {
    const struct {
        int status;
        int64_t silenceMs;
        bool sent;
    } cases[] = {{200, 0, true},  {226, 0, true},  {204, 0, false},   {302, 0, false},
                 {404, 0, false}, {500, 0, false}, {200, 5000, false}};
    for (const auto& c : cases) {
        Reply reply = Reply::WithStatus(c.status, "x");
        reply.silenceMs = c.silenceMs;
        server_.SetReply("/bisdk/batchpush", reply);
        EXPECT_EQ(c.sent, SendStopEvent(endpoint_, "m", 5)) << c.status << " " << c.silenceMs;
    }
    const size_t sent = server_.Requests().size();
    EXPECT_FALSE(Reporter("m").Stop()) << "no start";
    EventReporter noMac = Reporter("");
    EXPECT_FALSE(noMac.Start() || noMac.Stop() || SendStartEvent(endpoint_, ""));
    endpoint_.url = AnalyticsUrl("", "123456789");
    EventReporter noHost = Reporter();
    EXPECT_FALSE(noHost.Start() || noHost.Stop());
    EXPECT_EQ("", noHost.Mac()) << "no adapter is looked up without a host";
    EXPECT_EQ(sent, server_.Requests().size());
}

// The device is the system's Ethernet adapter or none, the same at every start.
TEST_F(EventsTest, DeviceIsTheEthernetAdaptersMacOrNone) {
    EventReporter reporter = Reporter();
    EXPECT_EQ(!LocalMacAddress().empty(), reporter.Start());
    EXPECT_TRUE(std::regex_match(reporter.Mac(), std::regex("|([0-9a-f]{2}:){5}[0-9a-f]{2}")));
    EXPECT_NE("00:00:00:00:00:00", reporter.Mac()) << "the loopback adapter is no device";
    EXPECT_EQ(LocalMacAddress(), reporter.Mac());
}

}  // namespace
}  // namespace velka
