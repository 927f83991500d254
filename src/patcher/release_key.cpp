#include "patcher/release_key.h"

namespace velka {

std::string ReleasePublicKeyHex() {
    return VELKA_RELEASE_PUBLIC_KEY;
}

}  // namespace velka
