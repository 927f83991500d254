#include "transfer/curl_easy.h"

#include "platform/proxy_rules.h"
#include "platform/system_proxy.h"

namespace velka {

namespace {

// libcurl's receive buffer for file downloads (its default is 16 KiB): fewer, larger pieces per
// second at high speed, each handed to the file in one write.
constexpr long kDownloadBufferBytes = 512L * 1024;

// Collects the result of a run of curl_easy_setopt calls: the first refusal wins and later
// options are not tried.
class Options {
  public:
    explicit Options(CURL* handle) : handle_(handle) {}

    template <typename Value>
    Options& Set(CURLoption option, Value value) {
        if (result_ == CURLE_OK) result_ = curl_easy_setopt(handle_, option, value);
        return *this;
    }

    Options& HttpOnly() {
#if LIBCURL_VERSION_NUM >= 0x075500  // 7.85.0 deprecated the bit masks for the string forms
        Set(CURLOPT_PROTOCOLS_STR, "http,https");
        Set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
        Set(CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
        Set(CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
        return *this;
    }

    // The proxy for `url`: the configured one, else libcurl's reading of the environment, else
    // the system's choice. An empty choice leaves libcurl connecting directly.
    Options& Proxy(const std::string& url, const std::string& configured) {
        const std::string proxy = !configured.empty()     ? configured
                                  : ProxyEnvironmentSet() ? std::string()
                                                          : SystemProxyFor(url);
        if (!proxy.empty()) Set(CURLOPT_PROXY, proxy.c_str());
        return *this;
    }

    // Under a download limit one transfer alone never needs more than the whole of it; libcurl
    // then also reads in pieces of that pace instead of draining the socket at once, which keeps
    // the shared limiter's waits short.
    Options& Limit(const TransferSettings& settings) {
        if (settings.downloadLimit) {
            Set(CURLOPT_MAX_RECV_SPEED_LARGE,
                static_cast<curl_off_t>(settings.downloadLimit->BytesPerSecond()));
        }
        return *this;
    }

    Options& Watch(TransferWatch* watch) {
        curl_xferinfo_callback callback = &OnTransferProgress;
        Set(CURLOPT_XFERINFOFUNCTION, callback);
        Set(CURLOPT_XFERINFODATA, static_cast<void*>(watch));
        Set(CURLOPT_NOPROGRESS, 0L);
        return *this;
    }

    Options& Writer(curl_write_callback callback, void* data) {
        Set(CURLOPT_WRITEFUNCTION, callback);
        Set(CURLOPT_WRITEDATA, data);
        return *this;
    }

    CURLcode result() const {
        return result_;
    }

  private:
    CURL* handle_;
    CURLcode result_ = CURLE_OK;
};

CURLcode SetFileOptions(CURL* handle, const std::string& url, std::FILE* file, TransferWatch* watch,
                        int64_t lowSpeedTimeSeconds, const TransferSettings& settings) {
    // The file gets libcurl's pieces as they come, up to kDownloadBufferBytes each; a stdio
    // buffer would only copy them once more. Nothing has been written yet, so this may be set.
    std::setvbuf(file, nullptr, _IONBF, 0);
    const long buffer = static_cast<long>(
        settings.downloadLimit ? settings.downloadLimit->PieceBytes(kDownloadBufferBytes)
                               : kDownloadBufferBytes);
    return Options(handle)
        .HttpOnly()
        .Set(CURLOPT_URL, url.c_str())
        .Proxy(url, settings.proxy)
        .Set(CURLOPT_FOLLOWLOCATION, 1L)
        .Writer(&WriteToFile, file)
        .Watch(watch)
        .Set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.fileConnectTimeoutMs))
        .Set(CURLOPT_LOW_SPEED_TIME, static_cast<long>(lowSpeedTimeSeconds))
        .Set(CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(EffectiveSpeedFloor(settings)))
        .Set(CURLOPT_BUFFERSIZE, buffer)
        .Limit(settings)
        .result();
}

}  // namespace

size_t AppendToString(char* data, size_t size, size_t count, void* userData) {
    const size_t bytes = size * count;
    static_cast<std::string*>(userData)->append(data, bytes);
    return bytes;
}

size_t WriteToFile(char* data, size_t size, size_t count, void* userData) {
    return std::fwrite(data, size, count, static_cast<std::FILE*>(userData));
}

size_t AppendToTextSink(char* data, size_t size, size_t count, void* userData) {
    auto* sink = static_cast<TextSink*>(userData);
    const size_t bytes = size * count;
    if (static_cast<uint64_t>(bytes) > static_cast<uint64_t>(sink->limit - sink->received)) {
        sink->overflowed = true;
        return 0;
    }
    sink->out->append(data, bytes);
    sink->received += static_cast<int64_t>(bytes);
    return bytes;
}

bool TransferSucceeded(CURLcode code, int32_t responseCode) {
    return code == CURLE_OK && (responseCode == 200 || responseCode == 226);
}

TransferResult PerformTransfer(CURL* handle) {
    TransferResult result;
    result.code = curl_easy_perform(handle);
    long responseCode = 0;
    if (curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &responseCode) == CURLE_OK) {
        result.responseCode = static_cast<int32_t>(responseCode);
    }
    // A proxy that refuses the tunnel of an https transfer answers the CONNECT, not the request.
    long connectCode = 0;
    if (result.responseCode == 0 &&
        curl_easy_getinfo(handle, CURLINFO_HTTP_CONNECTCODE, &connectCode) == CURLE_OK &&
        connectCode == kProxyAuthRequired) {
        result.responseCode = kProxyAuthRequired;
    }
    return result;
}

CURLcode SetTextFetchOptions(CURL* handle, const std::string& url, TextSink* sink,
                             TransferWatch* watch, const TransferSettings& settings) {
    return Options(handle)
        .HttpOnly()
        .Set(CURLOPT_URL, url.c_str())
        .Proxy(url, settings.proxy)
        .Set(CURLOPT_FOLLOWLOCATION, 1L)
        .Writer(&AppendToTextSink, sink)
        .Watch(watch)
        .Set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.textConnectTimeoutMs))
        .Set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(sink->limit))
        .Limit(settings)
        .result();
}

CURLcode SetFileDownloadOptions(CURL* handle, const std::string& url, std::FILE* file,
                                TransferWatch* watch, const TransferSettings& settings) {
    return SetFileOptions(handle, url, file, watch, settings.lowSpeedTimeSeconds, settings);
}

CURLcode SetDownloadJobOptions(CURL* handle, const std::string& url, std::FILE* file,
                               TransferWatch* watch, bool retry, const TransferSettings& settings) {
    return SetFileOptions(handle, url, file, watch,
                          retry ? settings.retryLowSpeedTimeSeconds : settings.lowSpeedTimeSeconds,
                          settings);
}

CURLcode SetEventPostOptions(CURL* handle, const std::string& url, std::string* response,
                             const std::string& proxy) {
    return Options(handle)
        .HttpOnly()
        .Set(CURLOPT_URL, url.c_str())
        .Proxy(url, proxy)
        .Writer(&AppendToString, response)
        .result();
}

}  // namespace velka
