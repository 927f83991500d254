// Runs a piece of a test with the rights of an ordinary user, so checks that permissions keep the
// caller out also run where the tests run as root (CI).
#pragma once

#include <functional>

namespace velka {
namespace testing_support {

// POSIX: a process running as root sets its effective user and group to "nobody" for the call
// and back afterwards; any other process runs `work` as it is. Windows: runs `work` as it is.
// False, without running `work`, when the rights could not be dropped.
bool AsOrdinaryUser(const std::function<void()>& work);

}  // namespace testing_support
}  // namespace velka
