// The release key of the test-only console launcher (velka-launcher-testkey): the public half of
// tests/e2e/release-test-key. Linked before the engine library, it stands in for the key a build
// takes from VELKA_RELEASE_PUBLIC_KEY; no shipped program contains it.
#include "patcher/release_key.h"

namespace velka {

std::string ReleasePublicKeyHex() {
    return VELKA_TEST_RELEASE_PUBLIC_KEY;
}

}  // namespace velka
