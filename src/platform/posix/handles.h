// Move-only owners of POSIX descriptors. Closing never changes errno, so a caller can read the
// code of the failure that made it give up after the owner has gone.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cerrno>

namespace velka {
namespace posix {

template <typename T, T kEmpty, int (*kClose)(T)>
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(T h) : h_(h) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(UniqueHandle&& o) noexcept : h_(o.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        if (this != &o) {
            Reset();
            h_ = o.Release();
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    T get() const { return h_; }
    bool valid() const { return h_ != kEmpty; }
    T Release() {
        T h = h_;
        h_ = kEmpty;
        return h;
    }
    void Reset() {
        if (h_ != kEmpty) {
            const int saved = errno;
            kClose(h_);
            errno = saved;
            h_ = kEmpty;
        }
    }
    // Closes and reports the close's own result (a write that failed late surfaces here).
    bool Close() {
        if (h_ == kEmpty) return true;
        const int rc = kClose(h_);
        h_ = kEmpty;
        return rc == 0;
    }

  private:
    T h_ = kEmpty;
};

using UniqueFd = UniqueHandle<int, -1, ::close>;
using UniqueDir = UniqueHandle<DIR*, nullptr, ::closedir>;

}  // namespace posix
}  // namespace velka
