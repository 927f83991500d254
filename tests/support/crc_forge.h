// Forgeries that a CRC-32 check cannot tell from the genuine bytes, for the tests that show what
// the release signatures are for.
#pragma once

#include <string>

namespace velka {
namespace testing_support {

// Bytes of the same length and the same CRC-32 as `genuine`, beginning with `payload`, then four
// bytes chosen to fix the CRC, then the rest of `genuine`. Needs genuine.size() >=
// payload.size() + 4; empty otherwise.
std::string ForgeSameCrc32(const std::string& genuine, const std::string& payload);

}  // namespace testing_support
}  // namespace velka
