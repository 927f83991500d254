// Archive entry and list path screening: a name it lets through, joined to a folder with either
// separator, never leaves that folder.
#include <filesystem>
#include <string>

#include "util/safe_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    for (char c : velka::PrintableForLog(name)) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) __builtin_trap();
    }
    if (!velka::IsSafeRelativePath(name)) return 0;
    std::string slashed = name;
    for (char& c : slashed) {
        if (c == '\\') c = '/';
    }
    const std::filesystem::path base("/base");
    const std::string joined = (base / slashed).lexically_normal().generic_string();
    if (joined.rfind("/base/", 0) != 0) __builtin_trap();
    return 0;
}
