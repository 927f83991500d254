#include "platform/system_proxy.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winhttp.h>

#include <map>
#include <mutex>

#include "platform/proxy_rules.h"
#include "platform/text.h"

namespace velka {

namespace {

struct UserProxyConfig {
    bool autoDetect = false;
    std::wstring scriptUrl;
    std::wstring proxyList;
    std::wstring bypassList;
};

std::wstring TakeGlobal(LPWSTR text) {
    if (!text) return std::wstring();
    std::wstring copy(text);
    GlobalFree(text);
    return copy;
}

UserProxyConfig ReadUserConfig() {
    UserProxyConfig config;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie = {};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&ie)) return config;
    config.autoDetect = ie.fAutoDetect != FALSE;
    config.scriptUrl = TakeGlobal(ie.lpszAutoConfigUrl);
    config.proxyList = TakeGlobal(ie.lpszProxy);
    config.bypassList = TakeGlobal(ie.lpszProxyBypass);
    return config;
}

const UserProxyConfig& UserConfig() {
    static const UserProxyConfig config = ReadUserConfig();
    return config;
}

struct InternetHandle {
    HINTERNET handle = nullptr;
    ~InternetHandle() {
        if (handle) WinHttpCloseHandle(handle);
    }
};

// Asks the configuration script (or automatic detection) through WinHTTP. False when no script
// could be found or run.
bool ProxyFromScript(const UserProxyConfig& config, const std::string& url, std::string* proxy) {
    static InternetHandle session{WinHttpOpen(L"VELKA Launcher", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)};
    if (!session.handle) return false;
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (!config.scriptUrl.empty()) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = config.scriptUrl.c_str();
    }
    if (config.autoDetect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info = {};
    if (!WinHttpGetProxyForUrl(session.handle, ToWide(url).c_str(), &options, &info)) return false;
    const std::wstring list = TakeGlobal(info.lpszProxy);
    const std::wstring bypass = TakeGlobal(info.lpszProxyBypass);
    *proxy = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY
                 ? ChooseProxy(url, ToNarrow(list), ToNarrow(bypass))
                 : std::string();
    return true;
}

// The script's answer depends on the URL; one answer per scheme, host and port is enough for a
// run that fetches many files from a few mirrors.
std::string OriginOf(const std::string& url) {
    const size_t sep = url.find("://");
    const size_t start = sep == std::string::npos ? 0 : sep + 3;
    return url.substr(0, url.find_first_of("/?#", start));
}

}  // namespace

std::string SystemProxyFor(const std::string& url) {
    const UserProxyConfig& config = UserConfig();
    if (config.autoDetect || !config.scriptUrl.empty()) {
        static std::mutex lock;
        static std::map<std::string, std::pair<bool, std::string>> answers;
        const std::string origin = OriginOf(url);
        std::lock_guard<std::mutex> hold(lock);
        auto found = answers.find(origin);
        if (found == answers.end()) {
            std::string proxy;
            const bool answered = ProxyFromScript(config, url, &proxy);
            found = answers.emplace(origin, std::make_pair(answered, proxy)).first;
        }
        // Without a usable script, browsers fall back to the fixed settings; so do we.
        if (found->second.first) return found->second.second;
    }
    if (config.proxyList.empty()) return std::string();
    return ChooseProxy(url, ToNarrow(config.proxyList), ToNarrow(config.bypassList));
}

}  // namespace velka
