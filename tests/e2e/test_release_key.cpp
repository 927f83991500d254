// velka-launcher-testkey's key: release-test-key's public half in place of the built-in one.
#include "patcher/release_key.h"

namespace velka {

std::string ReleasePublicKeyHex() {
    return VELKA_TEST_RELEASE_PUBLIC_KEY;
}

}  // namespace velka
