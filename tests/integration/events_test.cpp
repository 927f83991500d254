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

// A run's start and stop bodies (id and times masked); whole seconds, truncated, within 32 bits.
TEST(EventsTest, PostsTheStartAndStopFormsOnlyWhenItCan) {
    testing_support::TestServer server;
    server.SetReply("/bisdk/batchpush", Reply::Ok("{\"code\":0}"));
    int64_t clock = 5000;
    EventReporter::Options options;
    options.endpoint = {AnalyticsUrl(server.BaseUrl(), "123456789"), "123456789", 1000, 500, ""};
    options.macAddress = [] { return std::string("00:1a:2b:3c:4d:5e"); };
    options.clockMs = [&clock] { return clock; };
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
        EventReporter reporter(options);
        EXPECT_TRUE(reporter.Start());
        clock += runs[run];
        EXPECT_TRUE(reporter.Stop());
        const auto requests = server.Requests();
        ASSERT_EQ(2 * run + 2, requests.size());
        for (size_t i = 2 * run; i < requests.size(); ++i) {
            EXPECT_EQ(
                "POST /bisdk/batchpush?df=form&appId=123456789 "
                "application/x-www-form-urlencoded;charset=utf8",
                requests[i].method + " " + requests[i].target + " " +
                    requests[i].Header("Content-Type"));
            const std::string& body = requests[i].body;
            EXPECT_EQ(i % 2 ? stop + durations[run] : start,
                      std::regex_replace(std::regex_replace(body, id, "ID"), time, "T"));
            std::smatch found;
            ids.insert(std::regex_search(body, found, id) ? found.str() : "none");
        }
    }
    EXPECT_EQ(12u, ids.size()) << "each event has its own id";

    // Only a transfer that succeeds counts as sent; nothing is sent without a device, a host or,
    // for the stop, a start; the device is the Ethernet adapter's (never the loopback's) or none.
    options.macAddress = nullptr;
    for (const auto& [status, silenceMs, sent] :
         {std::make_tuple(200, 0, true), std::make_tuple(226, 0, true),
          std::make_tuple(404, 0, false), std::make_tuple(200, 5000, false)}) {
        Reply reply = Reply::WithStatus(status, "x");
        reply.silenceMs = silenceMs;
        server.SetReply("/bisdk/batchpush", reply);
        EXPECT_EQ(sent, SendStopEvent(options.endpoint, "m", 5)) << status << " " << silenceMs;
    }
    server.SetReply("/bisdk/batchpush", Reply::Ok(""));
    EventReporter device(options);
    EXPECT_EQ(!LocalMacAddress().empty(), device.Start());
    EXPECT_TRUE(std::regex_match(device.Mac(), std::regex("|([0-9a-f]{2}:){5}[0-9a-f]{2}")));
    EXPECT_NE("00:00:00:00:00:00", device.Mac());
    const size_t posted = server.Requests().size();
    EXPECT_FALSE(EventReporter(options).Stop()) << "no start";
    options.macAddress = [] { return std::string(); };
    EventReporter noMac(options);
    EXPECT_FALSE(noMac.Start() || noMac.Stop() || SendStartEvent(options.endpoint, ""));
    options.endpoint.url = AnalyticsUrl("", "123456789");
    options.macAddress = nullptr;
    EventReporter noHost(options);
    EXPECT_FALSE(noHost.Start() || noHost.Stop());
    EXPECT_EQ("", noHost.Mac()) << "no adapter is looked up without a host";
    EXPECT_EQ(posted, server.Requests().size());
}

}  // namespace
}  // namespace velka
