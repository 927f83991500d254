// The start and stop events against a local HTTP server: the exact request, the success rule,
// the duration, and the time-outs that keep an unreachable endpoint from holding the launcher.
#include "reporting/events.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/test_server.h"
#include "util/strings.h"

namespace velka {
namespace {

using testing_support::RecordedRequest;
using testing_support::Reply;
using testing_support::TestServer;
using testing_support::UnusedLocalPort;

const char kMac[] = "00:1a:2b:3c:4d:5e";
const char kAppId[] = "123456789";
const char kStartDesc[] = "%E5%90%AF%E5%8A%A8%E5%99%A8%E5%90%AF%E5%8A%A8%E6%B5%81%E6%B0%B4";
const char kStopDesc[] = "%E5%90%AF%E5%8A%A8%E5%99%A8%E5%85%B3%E9%97%AD%E6%B5%81%E6%B0%B4";

using Fields = std::vector<std::pair<std::string, std::string>>;

// Splits a body at "&" and each field at its first "=". Nothing is decoded.
Fields ParseBody(const std::string& body) {
    Fields fields;
    for (const std::string& piece : Split(body, '&')) {
        const size_t eq = piece.find('=');
        fields.emplace_back(piece.substr(0, eq),
                            eq == std::string::npos ? std::string() : piece.substr(eq + 1));
    }
    return fields;
}

std::vector<std::string> Keys(const Fields& fields) {
    std::vector<std::string> keys;
    for (const auto& field : fields) keys.push_back(field.first);
    return keys;
}

std::string Value(const Fields& fields, const std::string& key) {
    for (const auto& field : fields) {
        if (field.first == key) return field.second;
    }
    return "<missing>";
}

// "YYYY-MM-DD HH:MM:SS.mmm"
bool IsTimestamp(const std::string& text) {
    const std::string shape = "dddd-dd-dd dd:dd:dd.ddd";
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return false;
    }
    return true;
}

bool IsGuid(const std::string& text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const char c = text[i];
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

class EventsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.SetReply("/bisdk/batchpush", Reply::Ok("{\"code\":0}"));
        endpoint_.url = AnalyticsUrl(server_.BaseUrl(), kAppId);
        endpoint_.appId = kAppId;
        endpoint_.connectTimeoutMs = 1000;
        endpoint_.totalTimeoutMs = 1000;
    }

    // The one request the server received.
    RecordedRequest OnlyRequest() const {
        const std::vector<RecordedRequest> requests = server_.Requests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? RecordedRequest() : requests.front();
    }

    EventReporter Reporter(const std::string& mac, const int64_t* clock) {
        EventReporter::Options options;
        options.endpoint = endpoint_;
        options.macAddress = [mac] { return mac; };
        options.clockMs = [clock] { return *clock; };
        return EventReporter(options);
    }

    TestServer server_;
    EventEndpoint endpoint_;
};

TEST(AnalyticsUrlTest, AppendsThePathAndTheApplicationId) {
    EXPECT_EQ(AnalyticsUrl("http://bi.example.com", "123456789"),
              "http://bi.example.com/bisdk/batchpush?df=form&appId=123456789");
    EXPECT_EQ(AnalyticsUrl("http://bi.example.com:8080/", "123456789"),
              "http://bi.example.com:8080/bisdk/batchpush?df=form&appId=123456789");
    EXPECT_EQ(AnalyticsUrl("", "123456789"), "") << "no host, no endpoint";
}

TEST_F(EventsTest, StartEventPostsTheFormFieldsInOrder) {
    ASSERT_TRUE(SendStartEvent(endpoint_, kMac));

    const RecordedRequest request = OnlyRequest();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/bisdk/batchpush?df=form&appId=123456789");
    EXPECT_EQ(request.Header("Content-Type"), "application/x-www-form-urlencoded;charset=utf8");

    const std::string& body = request.body;
    EXPECT_EQ(body.rfind("msgType=custom.event&", 0), 0u) << body;
    const std::string tail = "&eventVal=0&channel=window&platid=3";
    ASSERT_GE(body.size(), tail.size());
    EXPECT_EQ(body.substr(body.size() - tail.size()), tail) << body;

    const Fields fields = ParseBody(body);
    const std::vector<std::string> keys = {"msgType",     "datasource", "appId",      "msgVersion",
                                           "deviceId",    "mac",        "appVersion", "msgId",
                                           "dteventtime", "timestamp",  "eventId",    "eventDesc",
                                           "eventVal",    "channel",    "platid"};
    EXPECT_EQ(Keys(fields), keys) << body;
    EXPECT_EQ(Value(fields, "datasource"), "launcher");
    EXPECT_EQ(Value(fields, "appId"), kAppId);
    EXPECT_EQ(Value(fields, "msgVersion"), "2.0");
    EXPECT_EQ(Value(fields, "deviceId"), kMac) << "colons are not encoded";
    EXPECT_EQ(Value(fields, "mac"), kMac);
    EXPECT_EQ(Value(fields, "appVersion"), "3.1.2034");
    EXPECT_TRUE(IsGuid(Value(fields, "msgId"))) << body;
    EXPECT_TRUE(IsTimestamp(Value(fields, "dteventtime"))) << "sent as it is: " << body;
    EXPECT_TRUE(IsTimestamp(Value(fields, "timestamp"))) << body;
    EXPECT_EQ(Value(fields, "eventId"), "starteronflow");
    EXPECT_EQ(Value(fields, "eventDesc"), kStartDesc);
}

TEST_F(EventsTest, StopEventEndsWithTheDuration) {
    ASSERT_TRUE(SendStopEvent(endpoint_, kMac, 59));

    const std::string body = OnlyRequest().body;
    const std::string tail = "&eventVal=0&channel=window&platid=3&duration=59";
    ASSERT_GE(body.size(), tail.size());
    EXPECT_EQ(body.substr(body.size() - tail.size()), tail) << body;
    const Fields fields = ParseBody(body);
    ASSERT_EQ(fields.size(), 16u) << body;
    EXPECT_EQ(fields[0].first, "msgType");
    EXPECT_EQ(Value(fields, "eventId"), "starteroffflow");
    EXPECT_EQ(Value(fields, "eventDesc"), kStopDesc);
}

TEST_F(EventsTest, OneRunSendsTwoEventsWithOneMacAndTheRunningTime) {
    const struct {
        int64_t runMs;
        const char* duration;
    } cases[] = {{59999, "59"}, {60000, "60"}, {999, "0"}, {-1500, "-1"}};
    for (const auto& c : cases) {
        TestServer server;
        server.SetReply("/bisdk/batchpush", Reply::Ok(""));
        endpoint_.url = AnalyticsUrl(server.BaseUrl(), kAppId);
        int64_t clock = 5000;
        EventReporter reporter = Reporter(kMac, &clock);
        EXPECT_TRUE(reporter.Start());
        clock += c.runMs;
        EXPECT_TRUE(reporter.Stop());

        const std::vector<RecordedRequest> requests = server.Requests();
        ASSERT_EQ(requests.size(), 2u) << c.runMs;
        const Fields start = ParseBody(requests[0].body);
        const Fields stop = ParseBody(requests[1].body);
        EXPECT_EQ(Value(start, "eventId"), "starteronflow");
        EXPECT_EQ(Value(stop, "eventId"), "starteroffflow");
        EXPECT_EQ(Value(start, "mac"), Value(stop, "mac"));
        EXPECT_EQ(Value(start, "deviceId"), kMac);
        EXPECT_NE(Value(start, "msgId"), Value(stop, "msgId"));
        EXPECT_EQ(Value(stop, "duration"), c.duration) << c.runMs << " ms";
    }
}

TEST_F(EventsTest, NoMacNoEvents) {
    int64_t clock = 0;
    EventReporter reporter = Reporter("", &clock);
    EXPECT_FALSE(reporter.Start());
    clock = 60000;
    EXPECT_FALSE(reporter.Stop());
    EXPECT_FALSE(SendStartEvent(endpoint_, ""));
    EXPECT_FALSE(SendStopEvent(endpoint_, "", 1));
    EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(EventsTest, NoHostConfiguredSendsNothingAndLooksNothingUp) {
    endpoint_.url.clear();
    int macLookups = 0;
    int64_t clock = 0;
    EventReporter::Options options;
    options.endpoint = endpoint_;
    options.macAddress = [&macLookups] {
        ++macLookups;
        return std::string(kMac);
    };
    options.clockMs = [&clock] { return clock; };
    EventReporter reporter(options);
    EXPECT_FALSE(reporter.Start());
    EXPECT_FALSE(reporter.Stop());
    EXPECT_EQ(macLookups, 0);
    EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(EventsTest, OnlyTheTransferSuccessRuleCountsAsSent) {
    const struct {
        int status;
        bool sent;
    } cases[] = {{200, true}, {226, true}, {204, false}, {302, false}, {404, false}, {500, false}};
    for (const auto& c : cases) {
        server_.SetReply("/bisdk/batchpush", Reply::WithStatus(c.status, "x"));
        EXPECT_EQ(SendStartEvent(endpoint_, kMac), c.sent) << "HTTP " << c.status;
    }
}

TEST_F(EventsTest, AnEndpointThatDoesNotAnswerCostsAtMostTheTimeOut) {
    Reply silent = Reply::Ok("late");
    silent.silenceMs = 30000;
    server_.SetReply("/bisdk/batchpush", silent);
    const EventEndpoint refused = {
        AnalyticsUrl("http://127.0.0.1:" + std::to_string(UnusedLocalPort()), kAppId), kAppId, 1000,
        1000, ""};
    for (const EventEndpoint& endpoint : {endpoint_, refused}) {
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_FALSE(SendStopEvent(endpoint, kMac, 5)) << endpoint.url;
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - begin);
        // A safety bound, three times the time-out, not a timing claim.
        EXPECT_LT(spent.count(), 3 * endpoint.totalTimeoutMs) << endpoint.url;
    }
}

}  // namespace
}  // namespace velka
