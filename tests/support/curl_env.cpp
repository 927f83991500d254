#include "support/curl_env.h"

#include <curl/curl.h>

#include <cstdlib>
#include <mutex>

namespace velka {
namespace testing_support {

void EnsureCurlGlobalInit() {
    static std::once_flag once;
    // Never undone: transfers may still be running in other tests' threads at exit.
    std::call_once(once, [] {
        // The tests talk to servers on 127.0.0.1; a proxy of the machine they run on must not
        // stand in between. An empty value counts as unset for libcurl and for the launcher.
        for (const char* unset :
             {"http_proxy=", "https_proxy=", "HTTPS_PROXY=", "all_proxy=", "ALL_PROXY="}) {
            putenv(const_cast<char*>(unset));
        }
        curl_global_init(CURL_GLOBAL_ALL);
    });
}

}  // namespace testing_support
}  // namespace velka
