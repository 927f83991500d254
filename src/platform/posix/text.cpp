#include "platform/text.h"

#include <cstdint>

namespace velka {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes UTF-8 into UTF-32. Malformed sequences (stray continuation bytes, overlong forms,
// surrogates, values above U+10FFFF, truncated sequences) each give one U+FFFD, so text from
// any source converts without failing. Stops at the first NUL.
std::wstring DecodeUtf8(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead == 0) break;
        if (lead < 0x80) {
            out.push_back(static_cast<wchar_t>(lead));
            ++i;
            continue;
        }
        int extra;
        char32_t cp;
        char32_t min;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            cp = lead & 0x1F;
            min = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            cp = lead & 0x0F;
            min = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            cp = lead & 0x07;
            min = 0x10000;
        } else {
            out.push_back(static_cast<wchar_t>(kReplacement));
            ++i;
            continue;
        }
        size_t j = i + 1;
        int got = 0;
        while (got < extra && j < n && (static_cast<unsigned char>(text[j]) & 0xC0) == 0x80) {
            cp = (cp << 6) | (static_cast<unsigned char>(text[j]) & 0x3F);
            ++j;
            ++got;
        }
        if (got < extra || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            // Resume right after the bytes examined so a valid character that follows a
            // broken one survives.
            out.push_back(static_cast<wchar_t>(kReplacement));
            i = j;
            continue;
        }
        out.push_back(static_cast<wchar_t>(cp));
        i = j;
    }
    return out;
}

// Encodes UTF-32 as UTF-8; values that are not Unicode scalar values become U+FFFD. Stops at
// the first NUL.
std::string EncodeUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        char32_t cp = static_cast<char32_t>(wc);
        if (cp == 0) break;
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

}  // namespace

// Narrow text is UTF-8 here, whatever the locale says: paths and configuration files are
// exchanged with Windows machines, never interpreted through the C locale.
std::wstring ToWide(const std::string& narrow) {
    return DecodeUtf8(narrow);
}
std::string ToNarrow(const std::wstring& wide) {
    return EncodeUtf8(wide);
}
std::wstring Utf8ToWide(const std::string& utf8) {
    return DecodeUtf8(utf8);
}
std::string WideToUtf8(const std::wstring& wide) {
    return EncodeUtf8(wide);
}

}  // namespace velka
