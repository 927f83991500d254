// One move-only owner for every kind of handle: descriptors, Win32 handles, FILE*, archives,
// icons and menus. `Traits` says what the handle is:
//   using Handle = ...;
//   static Handle Empty();           // the value that owns nothing
//   static bool IsValid(Handle h);   // whether h is something to close
//   static bool Close(Handle h);     // closes h; false when closing failed
// The destructor and Reset close without changing the thread's last system error (errno or
// GetLastError), so a caller can read the code of the failure that made it give up after the
// owner has gone; Close reports the closing's own result (a write that failed late surfaces
// there).
#pragma once

#include <cstdint>

namespace velka {

uint32_t LastSystemError();
void SetLastSystemError(uint32_t code);

template <typename Traits>
class UniqueHandle {
  public:
    using Handle = typename Traits::Handle;

    UniqueHandle() = default;
    explicit UniqueHandle(Handle h) : h_(h) {}
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

    Handle get() const { return h_; }
    bool valid() const { return Traits::IsValid(h_); }
    explicit operator bool() const { return valid(); }

    // Gives the handle up without closing it.
    Handle Release() {
        const Handle h = h_;
        h_ = Traits::Empty();
        return h;
    }
    // Closes the handle, if any, keeping the last system error.
    void Reset() {
        const Handle h = Release();
        if (!Traits::IsValid(h)) return;
        const uint32_t saved = LastSystemError();
        Traits::Close(h);
        SetLastSystemError(saved);
    }
    // Closes the handle, if any; false when closing failed. The handle is gone either way.
    bool Close() {
        const Handle h = Release();
        return !Traits::IsValid(h) || Traits::Close(h);
    }

  private:
    Handle h_ = Traits::Empty();
};

}  // namespace velka
