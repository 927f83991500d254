// The key release records must be signed with, fixed when the launcher is built.
#pragma once

#include <string>

namespace velka {

// The Ed25519 public key as 64 hexadecimal digits, or empty when the launcher was built without
// one: it then verifies no release record and trusts the mirrors as they are.
std::string ReleasePublicKeyHex();

}  // namespace velka
