#include "support/curl_env.h"

#include <curl/curl.h>

#include <mutex>

namespace velka {
namespace testing_support {

void EnsureCurlGlobalInit() {
    static std::once_flag once;
    // Never undone: transfers may still be running in other tests' threads at exit.
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

}  // namespace testing_support
}  // namespace velka
