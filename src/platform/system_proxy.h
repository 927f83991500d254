// The proxy that the current user's system settings choose for a URL.
#pragma once

#include <string>

namespace velka {

// Windows: the user's proxy settings as the browser uses them
// (WinHttpGetIEProxyConfigForCurrentUser): an automatic configuration script or automatic detection
// is asked through WinHTTP (WinHttpGetProxyForUrl, once per scheme, host and port), falling back to
// the fixed proxy and its bypass list when the script cannot be used. POSIX: no system setting
// (""). Result: a libcurl proxy URL, or "" for a direct connection. Any thread.
std::string SystemProxyFor(const std::string& url);

}  // namespace velka
