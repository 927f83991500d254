// Pieces of the failure texts the player sees.
#pragma once

#include <cstdint>
#include <string>

namespace velka {

// " LastError(<code>)": what a failure text ends with when a system call failed.
inline std::wstring LastErrorSuffix(uint32_t code) {
    return L" LastError(" + std::to_wstring(code) + L")";
}

}  // namespace velka
