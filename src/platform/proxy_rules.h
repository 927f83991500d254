// Proxy choice by the rules of the Windows proxy settings (the lists a browser and WinHTTP use),
// on plain text so both systems can run it.
#pragma once

#include <string>

namespace velka {

// The proxy for `url` under a WinHTTP proxy list and bypass list, as a libcurl proxy URL
// ("http://host:port", "socks4://host:port"), or "" for a direct connection.
//
// proxyList: entries separated by ";" or blanks, each "host:port" (every scheme) or
// "scheme=host:port"; the entry for the URL's scheme wins over a plain one, and "socks=" is used
// only when neither exists. bypassList: entries separated by ";", "," or blanks, each a host
// pattern with "*" wildcards (case ignored, optionally "scheme://" in front and ":port" behind)
// or "<local>", which matches every host name without a dot.
std::string ChooseProxy(const std::string& url, const std::string& proxyList,
                        const std::string& bypassList);

// True when an environment variable that libcurl reads for its proxy is set and not empty:
// http_proxy, https_proxy, HTTPS_PROXY, all_proxy, ALL_PROXY. (libcurl ignores an upper-case
// HTTP_PROXY on purpose.)
bool ProxyEnvironmentSet();

}  // namespace velka
