#include "platform/dynamic_library.h"

#include <windows.h>

namespace velka {

std::wstring SharedLibraryFileName(const std::wstring& baseName) {
    return baseName + L".dll";
}

bool IsAbsolutePath(const std::wstring& path) {
    auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    if (path.size() >= 3 && path[1] == L':' && separator(path[2])) {
        const wchar_t drive = path[0];
        return (drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z');
    }
    // "\\server\share\..." and "\\?\C:\...".
    return path.size() >= 3 && separator(path[0]) && separator(path[1]);
}

DynamicLibrary::~DynamicLibrary() {
    Reset();
}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        Reset();
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

DynamicLibrary DynamicLibrary::Load(const std::wstring& fullPath) {
    if (!IsAbsolutePath(fullPath)) return DynamicLibrary();
    // A library that cannot be loaded must not stop the launcher with a system dialog.
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryW(fullPath.c_str());
    SetErrorMode(previous);
    return DynamicLibrary(reinterpret_cast<void*>(module));
}

void* DynamicLibrary::Find(const char* name) const {
    if (handle_ == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void DynamicLibrary::Reset() {
    if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = nullptr;
}

}  // namespace velka
