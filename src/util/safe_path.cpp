#include "util/safe_path.h"

#include "platform/text.h"

namespace velka {

namespace {

bool IsControl(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
}

// Windows drops trailing dots and blanks from path components, so "..." and ".. " can reach
// the parent folder; no legitimate game file is named like that.
bool IsDotsAndBlanksOnly(const std::wstring& component) {
    if (component.empty()) return false;
    for (wchar_t c : component) {
        if (c != L'.' && c != L' ') return false;
    }
    return true;
}

}  // namespace

bool IsSafeRelativePath(const std::string& path) {
    if (path.empty()) return false;
    for (char c : path) {
        if (IsControl(c)) return false;
    }
    // The check runs on the wide form: that is what reaches the file system, and in a
    // double-byte ANSI code page a trail byte may look like a backslash.
    const std::wstring wide = ToWide(path);
    if (wide.empty()) return false;
    if (wide.front() == L'/' || wide.front() == L'\\') return false;
    if (wide.find(L':') != std::wstring::npos) return false;

    size_t start = 0;
    while (start <= wide.size()) {
        size_t end = wide.find_first_of(L"/\\", start);
        if (end == std::wstring::npos) end = wide.size();
        if (IsDotsAndBlanksOnly(wide.substr(start, end - start))) return false;
        start = end + 1;
    }
    return true;
}

std::string PrintableForLog(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (IsControl(c)) c = '?';
    }
    return out;
}

}  // namespace velka
