// Identity of this machine and run, for usage reports.
#pragma once

#include <string>

namespace velka {

// A new random GUID as 36 upper-case characters with hyphens, no braces.
std::string NewGuidString();

// Lower-case "aa:bb:cc:dd:ee:ff" of the Ethernet adapter carrying the host's address; empty when
// it cannot be found.
std::string LocalMacAddress();

}  // namespace velka
