// libcurl's global initialisation for the test executable, where no front end does it.
#pragma once

namespace velka {
namespace testing_support {

// curl_global_init(CURL_GLOBAL_ALL) once per process, after emptying the proxy environment
// variables; later calls do nothing. Every test that
// makes a libcurl transfer calls it (the test server does so when it is constructed).
void EnsureCurlGlobalInit();

}  // namespace testing_support
}  // namespace velka
