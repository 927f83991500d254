// Whole-file helpers, the same on every platform: they go through OpenFile.
#include <cstdio>
#include <string>

#include "platform/fs.h"

namespace velka {

bool ReadFileBytes(const std::wstring& path, std::string* contents) {
    contents->clear();
    File file(path, "rb");
    if (!file) return false;
    char buffer[64 * 1024];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) contents->append(buffer, n);
    return !std::ferror(file.get());
}

bool WriteFileBytes(const std::wstring& path, const std::string& contents) {
    File file(path, "wb");
    if (!file) return false;
    if (!contents.empty() &&
        std::fwrite(contents.data(), 1, contents.size(), file.get()) != contents.size()) {
        return false;
    }
    return file.Close();
}

bool WriteFileAtomically(const std::wstring& path, const std::string& contents) {
    const std::wstring temporary = path + L".tmp";
    if (WriteFileBytes(temporary, contents) && MoveIntoPlace(temporary, path)) return true;
    const uint32_t code = LastSystemError();
    RemoveFile(temporary);
    SetLastSystemError(code);
    return false;
}

}  // namespace velka
