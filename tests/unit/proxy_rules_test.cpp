#include "platform/proxy_rules.h"

#include <gtest/gtest.h>

namespace velka {
namespace {

// The proxy of the Windows lists for a URL: per scheme or for all, socks last; bypass patterns
// with wildcards, <local>, ports and schemes, any case. "" is a direct connection.
TEST(ProxyRulesTest, ChoosesTheProxyOfTheWindowsListsForAUrl) {
    const struct {
        const char *url, *proxyList, *bypassList, *expected;
    } cases[] = {
        {"http://cdn.example.com/zip/a.zip", "proxy.corp:8080", "", "http://proxy.corp:8080"},
        {"http://cdn.example.com/a", "http=hp:3128;https=sp:3129", "", "http://hp:3128"},
        {"https://cdn.example.com/a", "http=hp:3128 https=sp:3129", "", "http://sp:3129"},
        {"HTTP://cdn.example.com/a", "HTTP=hp:3128", "", "http://hp:3128"},
        {"https://cdn.example.com/a", "http=hp:3128;plain:1", "", "http://plain:1"},
        {"http://cdn.example.com/a", "socks=sk:1080", "", "socks4://sk:1080"},
        {"http://cdn.example.com/a", "socks=sk:1080;http=hp:1", "", "http://hp:1"},
        {"http://cdn.example.com/a", "https://sp:443", "", "https://sp:443"},
        {"http://cdn.example.com/a", "p:1", "*.example.com", ""},
        {"http://CDN.Example.COM/a", "p:1", "*.EXAMPLE.com", ""},
        {"http://example.com/a", "p:1", "*.example.com", "http://p:1"},
        {"http://10.1.2.3:8080/a", "p:1", "*.example.com;10.*", ""},
        {"http://mirror/a", "p:1", "<local>", ""},
        {"http://127.0.0.1/a", "p:1", "<local>", "http://p:1"},
        {"http://127.0.0.1:8080/a", "p:1", "127.0.0.1:8080", ""},
        {"http://127.0.0.1:9090/a", "p:1", "127.0.0.1:8080", "http://p:1"},
        {"http://127.0.0.1/a", "p:1", "127.0.0.1:80", ""},
        {"https://host/a", "p:1", "http://host", "http://p:1"},
        {"http://host/a", "p:1", "http://host", ""},
        {"http://user:pw@host/a", "p:1", "host", ""},
        {"http://[::1]:8080/a", "p:1", "::1", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, ChooseProxy(c.url, c.proxyList, c.bypassList))
            << c.url << " with proxies \"" << c.proxyList << "\" bypass \"" << c.bypassList << "\"";
    }
}

}  // namespace
}  // namespace velka
