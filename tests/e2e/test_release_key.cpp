// The test-only console launcher's release key (the public half of release-test-key), linked
// before the engine library in place of the key a build takes from VELKA_RELEASE_PUBLIC_KEY.
#include "patcher/release_key.h"

namespace velka {

std::string ReleasePublicKeyHex() {
    return VELKA_TEST_RELEASE_PUBLIC_KEY;
}

}  // namespace velka
