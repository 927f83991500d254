#include "reporting/events.h"

#include <chrono>
#include <limits>
#include <utility>

#include "launcher_version.h"
#include "platform/identity.h"
#include "transfer/curl_easy.h"
#include "util/dates.h"
#include "util/strings.h"

#ifndef VELKA_ANALYTICS_URL
#define VELKA_ANALYTICS_URL ""
#endif
#ifndef VELKA_ANALYTICS_APP_ID
#define VELKA_ANALYTICS_APP_ID "100000000"
#endif

namespace velka {

namespace {

// The descriptions are UTF-8 literals encoded as such, so every system sends the same bytes
// (converting them through the ANSI code page would garble them wherever it is not GBK).
const char kStartDescription[] = u8"启动器启动流水";
const char kStopDescription[] = u8"启动器关闭流水";

std::string CommonFields(const std::string& appId, const std::string& mac) {
    std::string body = "msgType=custom.event";
    body += "&datasource=launcher";
    body += "&appId=" + appId;
    body += "&msgVersion=2.0";
    body += "&deviceId=" + mac;
    body += "&mac=" + mac;
    body += std::string("&appVersion=") + kLauncherVersion;
    body += "&msgId=" + NewGuidString();
    body += "&dteventtime=" + TimestampMillis();
    body += "&timestamp=" + TimestampMillis();
    return body;
}

std::string EventFields(const char* eventId, const char* description) {
    std::string fields = std::string("&eventId=") + eventId;
    fields += "&eventDesc=" + UrlEncodeUtf8(description);
    fields += "&eventVal=0";
    fields += "&channel=window";
    fields += "&platid=3";
    return fields;
}

bool Post(const EventEndpoint& endpoint, const std::string& body) {
    CurlHandle handle = NewCurlHandle();
    if (!handle) return false;
    CurlHeaderList headers(
        curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded;charset=utf8"));
    if (!headers) return false;
    std::string response;  // read and discarded
    CURL* curl = handle.get();
    if (SetEventPostOptions(curl, endpoint.url, &response, endpoint.proxy) != CURLE_OK)
        return false;
    // Without limits an unreachable host would hold the window before its loop starts, or the
    // exit, for as long as the system's TCP time-outs.
    if (curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(endpoint.connectTimeoutMs)) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(endpoint.totalTimeoutMs)) !=
            CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get()) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_POST, 1L) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str()) != CURLE_OK) {
        return false;
    }
    return PerformTransfer(curl).Succeeded();
}

bool Sendable(const EventEndpoint& endpoint, const std::string& mac) {
    return !endpoint.url.empty() && !mac.empty();
}

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string AnalyticsUrl(const std::string& host, const std::string& appId) {
    if (host.empty()) return std::string();
    std::string url = host;
    if (url.back() == '/') url.pop_back();
    return url + "/bisdk/batchpush?df=form&appId=" + appId;
}

EventEndpoint DefaultEventEndpoint() {
    EventEndpoint endpoint;
    endpoint.appId = VELKA_ANALYTICS_APP_ID;
    endpoint.url = AnalyticsUrl(VELKA_ANALYTICS_URL, endpoint.appId);
    return endpoint;
}

bool SendStartEvent(const EventEndpoint& endpoint, const std::string& mac) {
    if (!Sendable(endpoint, mac)) return false;
    return Post(endpoint, CommonFields(endpoint.appId, mac) +
                              EventFields("starteronflow", kStartDescription));
}

bool SendStopEvent(const EventEndpoint& endpoint, const std::string& mac, int32_t durationSeconds) {
    if (!Sendable(endpoint, mac)) return false;
    return Post(endpoint, CommonFields(endpoint.appId, mac) +
                              EventFields("starteroffflow", kStopDescription) +
                              "&duration=" + IntToString(durationSeconds));
}

EventReporter::EventReporter() : EventReporter(Options()) {}

EventReporter::EventReporter(Options options) : options_(std::move(options)) {
    if (!options_.macAddress) options_.macAddress = &LocalMacAddress;
    if (!options_.clockMs) options_.clockMs = &SteadyMs;
}

bool EventReporter::Start() {
    startMs_ = options_.clockMs();
    started_ = true;
    // Looking the adapter up costs a little; without a host nothing would use it.
    if (options_.endpoint.url.empty()) return false;
    mac_ = options_.macAddress();
    return SendStartEvent(options_.endpoint, mac_);
}

bool EventReporter::Stop() {
    if (!started_) return false;
    const int64_t seconds = (options_.clockMs() - startMs_) / 1000;
    const int64_t limit = std::numeric_limits<int32_t>::max();
    const int32_t duration =
        static_cast<int32_t>(seconds > limit ? limit : (seconds < -limit ? -limit : seconds));
    return SendStopEvent(options_.endpoint, mac_, duration);
}

}  // namespace velka
