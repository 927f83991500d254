// Identity of this machine and run, for usage reports. Reentrant.
#pragma once

#include <string>

namespace velka {

// A new random (version 4) GUID as 36 upper-case hexadecimal characters in groups 8-4-4-4-12
// joined by "-", no braces. Empty only when the system has no source of randomness.
std::string NewGuidString();

// Lower-case "aa:bb:cc:dd:ee:ff" of the Ethernet adapter carrying the address the host name
// resolves to; empty when the name does not resolve or no such adapter exists.
std::string LocalMacAddress();

}  // namespace velka
