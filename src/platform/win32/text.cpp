#include "platform/text.h"

#include <windows.h>

namespace velka {

namespace {

// Passing -1 as the length makes the system convert up to and including the first NUL, which
// is both the stop-at-NUL contract and the count of the terminator we strip afterwards.
std::wstring MultiToWide(UINT codePage, const std::string& text) {
    if (text.empty()) return std::wstring();
    const int needed = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
    if (needed <= 1) return std::wstring();
    std::wstring out(static_cast<size_t>(needed), L'\0');
    const int written = MultiByteToWideChar(codePage, 0, text.c_str(), -1, &out[0], needed);
    if (written <= 1) return std::wstring();
    out.resize(static_cast<size_t>(written - 1));
    return out;
}

std::string WideToMulti(UINT codePage, const std::wstring& text) {
    if (text.empty()) return std::string();
    const int needed =
        WideCharToMultiByte(codePage, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 1) return std::string();
    std::string out(static_cast<size_t>(needed), '\0');
    const int written =
        WideCharToMultiByte(codePage, 0, text.c_str(), -1, &out[0], needed, nullptr, nullptr);
    if (written <= 1) return std::string();
    out.resize(static_cast<size_t>(written - 1));
    return out;
}

}  // namespace

std::wstring ToWide(const std::string& narrow) {
    return MultiToWide(CP_ACP, narrow);
}
std::string ToNarrow(const std::wstring& wide) {
    return WideToMulti(CP_ACP, wide);
}
std::wstring Utf8ToWide(const std::string& utf8) {
    return MultiToWide(CP_UTF8, utf8);
}
std::string WideToUtf8(const std::wstring& wide) {
    return WideToMulti(CP_UTF8, wide);
}

}  // namespace velka
