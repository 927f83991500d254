// Libraries loaded at run time by their full path (LoadLibraryW / dlopen).
//
// Only absolute paths are accepted: a bare or relative name would let the system search the
// current directory (or, on Windows, the PATH), so whoever controls that folder would choose the
// code that runs inside the launcher, which runs with administrator rights. Reentrant.
#pragma once

#include <string>

namespace velka {

// The file name this platform gives a shared library of the given base name:
// "Didura64" -> "Didura64.dll" on Windows, "libDidura64.so" elsewhere.
std::wstring SharedLibraryFileName(const std::wstring& baseName);

// True for a path that names its file without reference to the current directory: "/x" on
// POSIX; "C:\x", "C:/x" or "\\server\share\x" on Windows.
bool IsAbsolutePath(const std::wstring& path);

// Move-only owner of a loaded library; unloads it when destroyed.
class DynamicLibrary {
  public:
    DynamicLibrary() = default;
    ~DynamicLibrary();
    DynamicLibrary(DynamicLibrary&& other) noexcept : handle_(other.handle_) {
        other.handle_ = nullptr;
    }
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // Loads the library at `fullPath`. An empty or relative path loads nothing (no system call
    // is made); a missing or unloadable file gives an empty owner. Loading a file that is
    // already loaded shares it (the system counts references).
    static DynamicLibrary Load(const std::wstring& fullPath);

    bool loaded() const { return handle_ != nullptr; }
    // Address of the exported symbol, or null when it is missing or nothing is loaded. The
    // address is valid while this owner (or another reference to the same library) lives.
    void* Find(const char* name) const;
    // Unloads now; the owner is empty afterwards.
    void Reset();

  private:
    explicit DynamicLibrary(void* handle) : handle_(handle) {}
    void* handle_ = nullptr;
};

}  // namespace velka
