#include "platform/dynamic_library.h"

#include <dlfcn.h>

#include "platform/text.h"

namespace velka {

std::wstring SharedLibraryFileName(const std::wstring& baseName) {
    return L"lib" + baseName + L".so";
}

bool IsAbsolutePath(const std::wstring& path) {
    return !path.empty() && path[0] == L'/';
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
    // RTLD_LOCAL: the library's symbols must not stand in for anyone else's.
    return DynamicLibrary(dlopen(ToNarrow(fullPath).c_str(), RTLD_NOW | RTLD_LOCAL));
}

void* DynamicLibrary::Find(const char* name) const {
    if (handle_ == nullptr) return nullptr;
    return dlsym(handle_, name);
}

void DynamicLibrary::Reset() {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = nullptr;
}

}  // namespace velka
