// Move-only owners of Win32 handles. Closing never changes GetLastError, so a caller can read
// the code of the failure that made it give up after the owner has gone.
#pragma once

#include <windows.h>

namespace velka {
namespace win32 {

template <BOOL(WINAPI* kClose)(HANDLE)>
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
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

    HANDLE get() const { return h_; }
    // Both null and INVALID_HANDLE_VALUE mean "no handle": the API families disagree.
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE Release() {
        HANDLE h = h_;
        h_ = nullptr;
        return h;
    }
    void Reset() {
        if (valid()) {
            const DWORD saved = GetLastError();
            kClose(h_);
            SetLastError(saved);
        }
        h_ = nullptr;
    }

  private:
    HANDLE h_ = nullptr;
};

using Handle = UniqueHandle<CloseHandle>;    // files, processes, snapshots
using FindHandle = UniqueHandle<FindClose>;  // FindFirstFileW enumerations

}  // namespace win32
}  // namespace velka
