#pragma once

#include <cstdlib>
#include <functional>

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

namespace velka {
namespace testing_support {

// Runs `work` with an ordinary user's rights (POSIX root: as "nobody", then back), so permission
// checks also run as root. False, without running `work`, when rights cannot be dropped.
inline bool AsOrdinaryUser(const std::function<void()>& work) {
#ifndef _WIN32
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        if (setegid(nobody ? nobody->pw_gid : 65534) != 0) return false;
        if (seteuid(nobody ? nobody->pw_uid : 65534) != 0) {
            if (setegid(0) != 0) std::abort();
            return false;
        }
        work();
        // The saved user is still root; a test left as nobody would fail every later one.
        if (seteuid(0) != 0 || setegid(0) != 0) std::abort();
        return true;
    }
#endif
    work();
    return true;
}

}  // namespace testing_support
}  // namespace velka
