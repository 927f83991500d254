// Owners of POSIX descriptors (see platform/unique_handle.h).
#pragma once

#include <dirent.h>
#include <unistd.h>

#include "platform/unique_handle.h"

namespace velka {
namespace posix {

struct FdTraits {
    using Handle = int;
    static int Empty() { return -1; }
    static bool IsValid(int fd) { return fd != -1; }
    static bool Close(int fd) { return ::close(fd) == 0; }
};

struct DirTraits {
    using Handle = DIR*;
    static DIR* Empty() { return nullptr; }
    static bool IsValid(DIR* dir) { return dir != nullptr; }
    static bool Close(DIR* dir) { return ::closedir(dir) == 0; }
};

using UniqueFd = UniqueHandle<FdTraits>;
using UniqueDir = UniqueHandle<DirTraits>;

}  // namespace posix
}  // namespace velka
