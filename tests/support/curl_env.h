// libcurl's global initialisation for the test executable, where no front end does it.
#pragma once

namespace velka {
namespace testing_support {

// curl_global_init once per process, after emptying the proxy environment variables; later
// calls do nothing. Defined with the test server, which calls it when constructed.
void EnsureCurlGlobalInit();

}  // namespace testing_support
}  // namespace velka
