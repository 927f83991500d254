// EnsureCurlGlobalInit, declared beside the test server that defines it and calls it.
#pragma once

#include "support/test_server.h"
