// Usage reporting: the launcher's start and stop events, each one form-encoded HTTP POST to the
// analytics endpoint.
//
// The result of a post is for tests only: the launcher logs, retries and shows nothing whatever
// happens. Posts are synchronous and bounded by the endpoint's time-outs, so an unreachable host
// costs at most totalTimeoutMs per event. libcurl's global initialisation is the caller's job.
// Main thread (or any single thread); nothing here is shared between calls.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace velka {

struct EventEndpoint {
    // The whole URL, query included; empty when no analytics host is configured, and then
    // nothing is sent.
    std::string url;
    // The nine-digit application id, sent again in the body.
    std::string appId;
    int64_t connectTimeoutMs = 3000;
    int64_t totalTimeoutMs = 5000;
    // As TransferSettings::proxy: empty follows the environment, then the system settings.
    std::string proxy;
};

// "<host>/bisdk/batchpush?df=form&appId=<appId>"; empty when `host` is empty. A trailing "/" of
// the host is dropped.
std::string AnalyticsUrl(const std::string& host, const std::string& appId);

// The compiled-in endpoint (deployment values chosen at configure time).
EventEndpoint DefaultEventEndpoint();

// Posts the event "starteronflow". True when the post succeeded by the transfer success rule;
// false without sending when the URL or `mac` is empty or no easy handle can be created.
bool SendStartEvent(const EventEndpoint& endpoint, const std::string& mac);

// Posts the event "starteroffflow" carrying the running time in whole seconds. Same result.
bool SendStopEvent(const EventEndpoint& endpoint, const std::string& mac, int32_t durationSeconds);

// One launcher run's pair of events: Start when the front end starts running, Stop when it has
// finished. The MAC text is taken once, by Start, and used for both; without one neither event
// is sent.
class EventReporter {
  public:
    struct Options {
        EventEndpoint endpoint = DefaultEventEndpoint();
        // The device identity; LocalMacAddress by default.
        std::function<std::string()> macAddress;
        // Milliseconds on a monotonic clock; the process's steady clock by default.
        std::function<int64_t()> clockMs;
    };

    EventReporter();
    explicit EventReporter(Options options);

    // Takes the start clock reading and the MAC text, then posts the start event.
    bool Start();
    // Takes the end clock reading and posts the stop event with (end - start) / 1000 seconds,
    // truncated toward zero. Nothing is sent when Start was not called.
    bool Stop();

    const std::string& Mac() const { return mac_; }

  private:
    Options options_;
    std::string mac_;
    int64_t startMs_ = 0;
    bool started_ = false;
};

}  // namespace velka
