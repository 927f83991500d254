#include "platform/system_proxy.h"

namespace velka {

// Desktop proxy settings differ by environment; the proxy environment variables, which libcurl
// reads itself, are the common setting here.
std::string SystemProxyFor(const std::string& /*url*/) {
    return std::string();
}

}  // namespace velka
