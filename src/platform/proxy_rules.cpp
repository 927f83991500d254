#include "platform/proxy_rules.h"

#include <cctype>
#include <cstdlib>
#include <vector>

namespace velka {

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> Tokens(const std::string& text, const std::string& separators) {
    std::vector<std::string> tokens;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of(separators, start);
        if (end == std::string::npos) end = text.size();
        if (end > start) tokens.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return tokens;
}

struct UrlParts {
    std::string scheme;  // lower case
    std::string host;    // lower case, without brackets
    std::string port;    // as written, or the scheme's default
};

UrlParts SplitUrl(const std::string& url) {
    UrlParts parts;
    size_t rest = 0;
    const size_t sep = url.find("://");
    if (sep != std::string::npos) {
        parts.scheme = Lower(url.substr(0, sep));
        rest = sep + 3;
    }
    std::string authority = url.substr(rest, url.find_first_of("/?#", rest) - rest);
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        parts.host =
            authority.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        if (close != std::string::npos && close + 1 < authority.size() &&
            authority[close + 1] == ':') {
            parts.port = authority.substr(close + 2);
        }
    } else {
        const size_t colon = authority.rfind(':');
        parts.host = authority.substr(0, colon);
        if (colon != std::string::npos) parts.port = authority.substr(colon + 1);
    }
    parts.host = Lower(parts.host);
    if (parts.port.empty()) parts.port = parts.scheme == "https" ? "443" : "80";
    return parts;
}

// "*" matches any run of characters, everything else itself; `text` and `pattern` lower case.
bool WildcardMatch(const std::string& text, const std::string& pattern) {
    size_t t = 0, p = 0, star = std::string::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool Bypassed(const UrlParts& url, const std::string& bypassList) {
    for (std::string entry : Tokens(Lower(bypassList), "; ,\t")) {
        if (entry == "<local>") {
            if (url.host.find_first_of(".:") == std::string::npos) return true;
            continue;
        }
        const size_t sep = entry.find("://");
        if (sep != std::string::npos) {
            if (entry.substr(0, sep) != url.scheme) continue;
            entry.erase(0, sep + 3);
        }
        const size_t colon = entry.rfind(':');
        const bool hasPort = colon != std::string::npos && entry.find(']') == std::string::npos &&
                             entry.find(':') == colon;
        if (hasPort) {
            if (WildcardMatch(url.host, entry.substr(0, colon)) &&
                WildcardMatch(url.port, entry.substr(colon + 1))) {
                return true;
            }
        } else if (WildcardMatch(url.host, entry)) {
            return true;
        }
    }
    return false;
}

std::string AsProxyUrl(const std::string& address, const char* defaultScheme) {
    if (address.find("://") != std::string::npos) return address;
    return std::string(defaultScheme) + "://" + address;
}

}  // namespace

std::string ChooseProxy(const std::string& url, const std::string& proxyList,
                        const std::string& bypassList) {
    const UrlParts parts = SplitUrl(url);
    if (Bypassed(parts, bypassList)) return std::string();
    std::string plain;
    std::string socks;
    for (const std::string& entry : Tokens(proxyList, "; \t")) {
        const size_t equals = entry.find('=');
        if (equals == std::string::npos) {
            if (plain.empty()) plain = entry;
            continue;
        }
        const std::string scheme = Lower(entry.substr(0, equals));
        const std::string address = entry.substr(equals + 1);
        if (address.empty()) continue;
        if (scheme == parts.scheme) return AsProxyUrl(address, "http");
        if (scheme == "socks" && socks.empty()) socks = address;
    }
    if (!plain.empty()) return AsProxyUrl(plain, "http");
    if (!socks.empty()) return AsProxyUrl(socks, "socks4");
    return std::string();
}

bool ProxyEnvironmentSet() {
    for (const char* name :
         {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

}  // namespace velka
