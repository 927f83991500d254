#include "util/strings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text.h"
#include "support/fixtures.h"
#include "util/crc32.h"
#include "util/safe_path.h"

namespace velka {
namespace {

std::string Repeat(const std::string& text, size_t times) {
    std::string out;
    while (times-- > 0) out += text;
    return out;
}

// Calls the named text function (CRC-32: fed in two pieces); several texts are cut at "|".
std::string Call(const std::string& function, const std::string& s) {
    const size_t one = s.find('|'), two = s.find('|', one + 1);
    const std::string first = s.substr(0, one), second = s.substr(one + 1, two - one - 1);
    std::string pieces;  // Split at ","
    for (const std::string& piece : Split(s, ',')) pieces += "[" + piece + "]";
    if (function == "Split") return pieces;
    if (function == "Trim") return Trim(s);
    if (function == "AsciiLower") return AsciiLower(s);
    if (function == "EqualsIgnoringAsciiCase")
        return EqualsIgnoringAsciiCase(first, second) ? "y" : "n";
    if (function == "ReplaceAll") return ReplaceAll(first, second, s.substr(two + 1));
    if (function == "ToInt") return std::to_string(ToInt(s));
    if (function == "ToInt64") return std::to_string(ToInt64(s));
    if (function == "ToUInt32") return std::to_string(ToUInt32(s));
    if (function == "UrlEncodeUtf8") return UrlEncodeUtf8(s);
    if (function == "IsSafeRelativePath") return IsSafeRelativePath(s) ? "y" : "n";
    if (function == "PrintableForLog") return PrintableForLog(s);
    return CrcText(
        Crc32(Crc32(0, s.data(), s.size() / 2), s.data() + s.size() / 2, s.size() - s.size() / 2));
}

// Trimming, case, splitting, numbers, form encoding and its 1023-character cap, path screening:
// each function's results for its inputs, joined by "|".
TEST(TextFunctionsTest, EachInputGivesItsResult) {
    const std::string a1020(1020, 'a');
    const struct {
        const char* function;
        std::vector<std::string> inputs;
        std::string expected;
    } cases[] = {
        {"Trim", {"\r\n\t x\x0b\f y\t\n "}, "x\x0b\f y"},  // VT and FF are text
        {"AsciiLower", {"@AZ[`az{ \xC3\x89"}, "@az[`az{ \xC3\x89"},
        {"EqualsIgnoringAsciiCase", {"Game\\A.DLL|game\\a.dll", "\xC3\x89|\xC3\xA9"}, "y|n"},
        // As if searching again from the start; one pass when the replacement holds the search.
        {"ReplaceAll",
         {"https://h/https|https|http", "abc||zz", "baaaa|aa|a", "a.b.c|.|.."},
         "http://h/http|abc|ba|a..b..c"},
        {"Split", {",a,,b,"}, "[a][b]"},
        {"ToInt", {"\t-17x", "abc", "2147483648", "-2147483649"}, "-17|0|0|0"},
        {"ToInt64", {"99999999999", "9223372036854775808"}, "99999999999|0"},
        {"ToUInt32", {" 4294967295 bytes", "4294967296", "  -7", "x"}, "4294967295|0|0|0"},
        {"Crc32", {"123456789", ""}, "CBF43926|00000000"},
        {"UrlEncodeUtf8",
         {"a b_%+\n\x7f", "AZaz09-.~/:@[`{"},
         "a+b%5F%25%2B%0A%7F|AZaz09-.~%2F%3A%40%5B%60%7B"},
        // Whole characters up to the cap; a malformed byte is a character of its own.
        {"UrlEncodeUtf8",
         {Repeat("\xE5\x90\xAF", 400), std::string(2000, ' '), std::string(1000, '/'), a1020 + "a/",
          a1020 + "\xC3\xA9", a1020 + "\xE5Zb", a1020 + "\xE5\x90"},
         Repeat("%E5%90%AF", 113) + "|" + std::string(1023, '+') + "|" + Repeat("%2F", 341) + "|" +
             a1020 + "a|" + a1020 + "|" + a1020 + "%E5|" + a1020 + "%E5"},
        // Dots-and-blanks components are refused: Windows drops trailing dots and blanks.
        {"IsSafeRelativePath",
         {"velka_win\\a//b/", "a..b\\.hidden\\..a", "", "/abs.txt", "\\\\server\\share\\x",
          "a.txt:stream", "a/../../evil.txt", "a\\b\\..", "a/.../x", "a/. ./x",
          std::string("a\0/../../x", 10)},
         "y|y|n|n|n|n|n|n|n|n|n"},
        {"PrintableForLog",
         {std::string("a\0b\r\n\tc\x7f \xE6\xAA\x94", 12)},
         "a?b???c? \xE6\xAA\x94"},
    };
    for (const auto& c : cases) {
        std::string results;
        for (const std::string& input : c.inputs) {
            results += (&input == &c.inputs.front() ? "" : "|") + Call(c.function, input);
        }
        EXPECT_EQ(results, c.expected) << c.function << ": " << PrintableForLog(c.inputs.front());
    }
}

// UTF-8 and wide text convert exactly in every plane and stop at the first NUL; malformed UTF-8
// becomes U+FFFD only, and its neighbours survive.
TEST(TextFunctionsTest, ConversionsKeepEveryCharacter) {
    const struct {
        std::string utf8;
        std::wstring wide;
    } cases[] = {
        {"C:\\velka\\Game\\velka.exe", L"C:\\velka\\Game\\velka.exe"},
        {"\xE6\xAD\xA3\xE5\x9C\xA8\xE9\x80\xB2\xE8\xA1\x8C", L"\u6B63\u5728\u9032\u884C"},
        {"a\xF0\x9F\x98\x80z", L"a\U0001F600z"},
        {std::string("ab\0cd", 5), std::wstring(L"ab\0cd", 5)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8ToWide(c.utf8), c.wide.c_str()) << c.utf8;
        EXPECT_EQ(WideToUtf8(c.wide), c.utf8.c_str()) << c.utf8;
    }
    EXPECT_EQ(WideToUtf8(std::wstring(L"a") + static_cast<wchar_t>(0xD800)), "a\xEF\xBF\xBD");
    for (const std::string bad :
         {"\x80", "\xE4\xB8", "\xC0\xAF", "\xFF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE4"}) {
        const std::wstring wide = Utf8ToWide("ab" + bad + "\u4E0Acd");
        ASSERT_GE(wide.size(), 6u) << PrintableForLog(bad);
        EXPECT_EQ(wide.substr(0, 2) + wide.substr(wide.size() - 3), L"ab\u4E0Acd");
        EXPECT_EQ(wide.substr(2, wide.size() - 5).find_first_not_of(L'\xFFFD'), std::wstring::npos)
            << PrintableForLog(bad);
    }
}

}  // namespace
}  // namespace velka
