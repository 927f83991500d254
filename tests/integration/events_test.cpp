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

const char kMac[] = "00:1a:2b:3c:4d:5e";

class EventsTest : public ::testing::Test {
  protected:
    void SetUp() override { server_.SetReply("/bisdk/batchpush", Reply::Ok("{\"code\":0}")); }

    // A reporter whose clock reads `*clock`; `mac` null: the system's adapter.
    EventReporter Reporter(const char* mac, const int64_t* clock) {
        EventReporter::Options options;
        options.endpoint = endpoint_;
        if (mac) options.macAddress = [mac] { return std::string(mac); };
        options.clockMs = [clock] { return *clock; };
        return EventReporter(options);
    }

    TestServer server_;
    EventEndpoint endpoint_{AnalyticsUrl(server_.BaseUrl(), "123456789"), "123456789", 1000, 500,
                            ""};
};

// Start and stop of one run: the whole body with the GUID and the local times masked, and the
// running time in whole seconds, truncated and kept within 32 bits.
TEST_F(EventsTest, RunPostsTheStartAndStopForms) {
    const std::string common =
        "msgType=custom.event&datasource=launcher&appId=123456789&msgVersion=2.0&deviceId=" +
        std::string(kMac) + "&mac=" + kMac + "&appVersion=3.1.2034&msgId=GUID&dteventtime=TIME" +
        "&timestamp=TIME&eventId=";
    const std::string start = common + "starteronflow&eventDesc=%E5%90%AF%E5%8A%A8%E5%99%A8%E5%90" +
                              "%AF%E5%8A%A8%E6%B5%81%E6%B0%B4&eventVal=0&channel=window&platid=3";
    const std::string stop = common + "starteroffflow&eventDesc=%E5%90%AF%E5%8A%A8%E5%99%A8%E5%85" +
                             "%B3%E9%97%AD%E6%B5%81%E6%B0%B4&eventVal=0&channel=window&platid=3" +
                             "&duration=";
    const std::regex guid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
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
    for (const auto& c : cases) {
        SCOPED_TRACE(c.runMs);
        const size_t before = server_.Requests().size();
        int64_t clock = 5000;
        EventReporter reporter = Reporter(kMac, &clock);
        EXPECT_TRUE(reporter.Start());
        clock += c.runMs;
        EXPECT_TRUE(reporter.Stop());
        const auto requests = server_.Requests();
        ASSERT_EQ(before + 2, requests.size());
        for (size_t i = before; i < requests.size(); ++i) {
            EXPECT_EQ("POST", requests[i].method);
            EXPECT_EQ("/bisdk/batchpush?df=form&appId=123456789", requests[i].target);
            EXPECT_EQ("application/x-www-form-urlencoded;charset=utf8",
                      requests[i].Header("Content-Type"));
            const std::string masked = std::regex_replace(
                std::regex_replace(requests[i].body, guid, "GUID"), time, "TIME");
            EXPECT_EQ(i == before ? start : stop + c.duration, masked) << requests[i].body;
        }
    }
    std::set<std::string> ids;
    for (const auto& request : server_.Requests()) {
        std::smatch id;
        if (std::regex_search(request.body, id, guid)) ids.insert(id.str());
    }
    EXPECT_EQ(server_.Requests().size(), ids.size()) << "each event has its own id";
}

// Without a device or a host nothing is sent, and without a host no adapter is looked up;
// a stop without a start sends nothing.
TEST_F(EventsTest, NothingIsSentWithoutADeviceAHostOrAStart) {
    int64_t clock = 0;
    EventReporter noStart = Reporter(kMac, &clock);
    EXPECT_FALSE(noStart.Stop());
    EventReporter noMac = Reporter("", &clock);
    EXPECT_FALSE(noMac.Start());
    EXPECT_FALSE(noMac.Stop());
    EXPECT_FALSE(SendStartEvent(endpoint_, ""));
    EXPECT_FALSE(SendStopEvent(endpoint_, "", 1));
    endpoint_.url.clear();
    EventReporter noHost = Reporter(nullptr, &clock);
    EXPECT_FALSE(noHost.Start());
    EXPECT_FALSE(noHost.Stop());
    EXPECT_EQ("", noHost.Mac()) << "no adapter is looked up";
    EXPECT_EQ("", AnalyticsUrl("", "123456789"));
    EXPECT_TRUE(server_.Requests().empty());
}

// Only the transfer success rule counts as sent; a silent endpoint is given up after its time-out.
TEST_F(EventsTest, OnlyTheTransferSuccessRuleCountsAsSent) {
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
        EXPECT_EQ(c.sent, SendStopEvent(endpoint_, kMac, 5)) << c.status << " " << c.silenceMs;
    }
}

// The device is the system's Ethernet adapter or none, the same at every start.
TEST_F(EventsTest, DeviceIsTheEthernetAdaptersMacOrNone) {
    int64_t clock = 0;
    EventReporter reporter = Reporter(nullptr, &clock);
    EXPECT_EQ(!LocalMacAddress().empty(), reporter.Start());
    EXPECT_TRUE(std::regex_match(reporter.Mac(), std::regex("|([0-9a-f]{2}:){5}[0-9a-f]{2}")));
    EXPECT_NE("00:00:00:00:00:00", reporter.Mac()) << "the loopback adapter is no device";
    EXPECT_EQ(LocalMacAddress(), reporter.Mac());
}

}  // namespace
}  // namespace velka
