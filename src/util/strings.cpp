#include "util/strings.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <utility>

#include "platform/text.h"

namespace velka {

namespace {

constexpr const char kBlanks[] = " \r\n\t";
constexpr size_t kUrlEncodedLimit = 1023;

template <typename String>
String ReplaceAllImpl(String text, const String& search, const String& replacement) {
    if (search.empty()) return text;
    // A replacement that contains the search text would be found again forever; such a call gets
    // a single left-to-right pass instead.
    const bool singlePass = replacement.find(search) != String::npos;
    size_t from = 0;
    for (;;) {
        const size_t pos = text.find(search, from);
        if (pos == String::npos) return text;
        text.replace(pos, search.size(), replacement);
        if (singlePass) {
            from = pos + replacement.size();
        } else {
            // Same result as searching again from the start: the text before `pos` held no
            // occurrence, so a new one can begin at most search.size() - 1 characters earlier.
            from = pos >= search.size() - 1 ? pos - (search.size() - 1) : 0;
        }
    }
}

// Length of the UTF-8 sequence that starts with `lead`, or 1 for a byte that cannot start one.
size_t Utf8SequenceLength(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 1;
}

bool IsUnreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '~';
}

size_t EncodedLength(unsigned char c) {
    return IsUnreserved(c) || c == ' ' ? 1 : 3;
}

}  // namespace

std::string Trim(const std::string& text) {
    const size_t last = text.find_last_not_of(kBlanks);
    if (last == std::string::npos) return std::string();
    const size_t first = text.find_first_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

std::string AsciiLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && AsciiLower(a) == AsciiLower(b);
}

std::string ReplaceAll(std::string text, const std::string& search,
                       const std::string& replacement) {
    return ReplaceAllImpl(std::move(text), search, replacement);
}

std::wstring ReplaceAll(std::wstring text, const std::wstring& search,
                        const std::wstring& replacement) {
    return ReplaceAllImpl(std::move(text), search, replacement);
}

std::string WithoutByteOrderMark(std::string text) {
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    return text;
}

std::vector<std::string> Split(const std::string& text, char delimiter) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(delimiter, start);
        if (end == std::string::npos) end = text.size();
        if (end > start) pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

int64_t ToInt64(const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE) return 0;
    return static_cast<int64_t>(value);
}

int32_t ToInt(const std::string& text) {
    const int64_t value = ToInt64(text);
    if (value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max()) {
        return 0;
    }
    return static_cast<int32_t>(value);
}

uint32_t ToUInt32(const std::string& text) {
    // strtoul would wrap "-1" to the largest value, and to a width that differs between
    // platforms; a negative number is out of range for an unsigned result, so it reads as 0.
    const size_t first = text.find_first_not_of(" \t\n\v\f\r");
    if (first != std::string::npos && text[first] == '-') return 0;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE || value > std::numeric_limits<uint32_t>::max()) {
        return 0;
    }
    return static_cast<uint32_t>(value);
}

std::string IntToString(int32_t value) {
    return std::to_string(value);
}

std::string UrlEncodeUtf8(const std::string& utf8) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    size_t i = 0;
    while (i < utf8.size()) {
        // Whole characters only: cutting inside a multi-byte sequence would send a broken
        // character, so the cap is applied to a sequence as a unit.
        size_t length = Utf8SequenceLength(static_cast<unsigned char>(utf8[i]));
        if (length > utf8.size() - i) length = 1;
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(utf8[i + k]) & 0xC0) != 0x80) {
                length = 1;
                break;
            }
        }
        size_t encoded = 0;
        for (size_t k = 0; k < length; ++k) {
            encoded += EncodedLength(static_cast<unsigned char>(utf8[i + k]));
        }
        if (out.size() + encoded > kUrlEncodedLimit) break;
        for (size_t k = 0; k < length; ++k) {
            const unsigned char c = static_cast<unsigned char>(utf8[i + k]);
            if (IsUnreserved(c)) {
                out += static_cast<char>(c);
            } else if (c == ' ') {
                out += '+';
            } else {
                out += '%';
                out += kHex[c >> 4];
                out += kHex[c & 0x0F];
            }
        }
        i += length;
    }
    return out;
}

std::string UrlEncode(const std::string& text) {
    if (text.empty()) return std::string();
    return UrlEncodeUtf8(WideToUtf8(ToWide(text)));
}

}  // namespace velka
