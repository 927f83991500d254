#include "support/ordinary_user.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace velka {
namespace testing_support {

bool AsOrdinaryUser(const std::function<void()>& work) {
    if (geteuid() != 0) {
        work();
        return true;
    }
    const passwd* nobody = getpwnam("nobody");
    const uid_t user = nobody ? nobody->pw_uid : 65534;
    const gid_t group = nobody ? nobody->pw_gid : 65534;
    if (setegid(group) != 0) return false;
    if (seteuid(user) != 0) {
        if (setegid(0) != 0) std::abort();
        return false;
    }
    work();
    // The saved user is still root, so both always come back; a test left as nobody would fail
    // every later one in confusing ways.
    if (seteuid(0) != 0 || setegid(0) != 0) std::abort();
    return true;
}

}  // namespace testing_support
}  // namespace velka
