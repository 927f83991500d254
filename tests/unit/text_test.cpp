#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/fs.h"

namespace velka {
namespace {

// Narrow text is UTF-8 everywhere but Windows, where it is the ANSI code page; under Wine that
// code page follows the host locale and is usually 1252, which cannot carry Chinese.
bool NarrowIsUtf8() {
    return ToNarrow(L"\u00e9") == "\xC3\xA9";
}

TEST(TextTest, NarrowIsUtf8ExceptOnWindows) {
    if (kPathSeparator == L'/') {
        EXPECT_TRUE(NarrowIsUtf8()) << "narrow text must be UTF-8";
    }
}

TEST(TextTest, AsciiRoundTripsAndEmptyStaysEmpty) {
    const std::string cases[] = {"", "a", "Launcher terminate", "C:\\velka\\Game\\velka.exe",
                                 " \t\r\n!~"};
    for (const std::string& narrow : cases) {
        const std::wstring wide = ToWide(narrow);
        EXPECT_EQ(wide, std::wstring(narrow.begin(), narrow.end())) << "ToWide of " << narrow;
        EXPECT_EQ(ToNarrow(wide), narrow) << "ToNarrow of " << narrow;
        EXPECT_EQ(Utf8ToWide(narrow), wide) << "Utf8ToWide of " << narrow;
        EXPECT_EQ(WideToUtf8(wide), narrow) << "WideToUtf8 of " << narrow;
    }
}

TEST(TextTest, ChineseConvertsExactlyToAndFromUtf8) {
    const std::wstring wide = L"正在進行程序初始化";
    const std::string utf8 =
        "\xE6\xAD\xA3\xE5\x9C\xA8\xE9\x80\xB2\xE8\xA1\x8C\xE7\xA8\x8B\xE5\xBA\x8F"
        "\xE5\x88\x9D\xE5\xA7\x8B\xE5\x8C\x96";
    EXPECT_EQ(WideToUtf8(wide), utf8);
    EXPECT_EQ(Utf8ToWide(utf8), wide);
    EXPECT_EQ(Utf8ToWide(WideToUtf8(L"Velka手遊下載器 v3")), L"Velka手遊下載器 v3");
}

TEST(TextTest, ChineseRoundTripsThroughNarrowWhereTheCodePageHoldsIt) {
    const std::wstring wide = L"啓動遊戲失敗";
    if (NarrowIsUtf8()) {
        EXPECT_EQ(ToNarrow(wide), WideToUtf8(wide));
        EXPECT_EQ(ToWide(ToNarrow(wide)), wide);
        return;
    }
    const std::string narrow = ToNarrow(wide);
    if (ToWide(narrow) != wide) {
        GTEST_SKIP() << "the ANSI code page cannot represent Chinese text";
    }
    EXPECT_EQ(ToWide(narrow), wide);
}

TEST(TextTest, CharactersOutsideTheBasicPlaneSurviveUtf8) {
    const std::string utf8 = "a\xF0\x9F\x98\x80z";  // U+1F600 between two letters
    const std::wstring wide = Utf8ToWide(utf8);
    EXPECT_EQ(wide.front(), L'a');
    EXPECT_EQ(wide.back(), L'z');
    EXPECT_EQ(WideToUtf8(wide), utf8);
}

TEST(TextTest, EveryConversionStopsAtTheFirstNul) {
    const std::string narrow("ab\0cd", 5);
    const std::wstring wide(L"ab\0cd", 5);
    EXPECT_EQ(ToWide(narrow), L"ab");
    EXPECT_EQ(ToNarrow(wide), "ab");
    EXPECT_EQ(Utf8ToWide(narrow), L"ab");
    EXPECT_EQ(WideToUtf8(wide), "ab");
    EXPECT_EQ(ToWide(std::string("\0x", 2)), L"");
    EXPECT_EQ(ToNarrow(std::wstring(L"\0x", 2)), "");
}

TEST(TextTest, MalformedUtf8BecomesReplacementCharacterAndKeepsItsNeighbours) {
    struct Case {
        const char* what;
        std::string input;
        std::wstring after;  // valid text that follows the broken bytes
    };
    const Case cases[] = {
        {"stray continuation byte",
         "ab\x80"
         "cd",
         L"cd"},
        {"truncated three-byte sequence",
         "ab\xE4\xB8"
         "cd",
         L"cd"},
        {"overlong slash",
         "ab\xC0\xAF"
         "cd",
         L"cd"},
        {"invalid lead byte",
         "ab\xFF"
         "cd",
         L"cd"},
        {"encoded surrogate",
         "ab\xED\xA0\x80"
         "cd",
         L"cd"},
        {"above U+10FFFF",
         "ab\xF4\x90\x80\x80"
         "cd",
         L"cd"},
        {"valid character after a broken one", "ab\xE4\xE4\xB8\x8A", L"\u4E0A"},
    };
    for (const Case& c : cases) {
        const std::wstring wide = Utf8ToWide(c.input);
        ASSERT_GE(wide.size(), 3u + c.after.size()) << c.what;
        EXPECT_EQ(wide.substr(0, 2), L"ab") << c.what;
        EXPECT_EQ(wide.substr(wide.size() - c.after.size()), c.after) << c.what;
        const std::wstring middle = wide.substr(2, wide.size() - 2 - c.after.size());
        EXPECT_EQ(middle.find_first_not_of(L'\xFFFD'), std::wstring::npos)
            << c.what << ": only replacement characters stand for the broken bytes";
        if (NarrowIsUtf8()) {
            EXPECT_EQ(ToWide(c.input), wide) << c.what;
        }
    }
}

TEST(TextTest, SequenceCutOffAtTheEndIsReplacedOrDropped) {
    const std::wstring wide = Utf8ToWide("ab\xE4\xB8");
    if (kPathSeparator == L'/') {
        EXPECT_EQ(wide, L"ab\xFFFD");
    } else {
        // Wine drops an incomplete last sequence where Windows replaces it.
        EXPECT_TRUE(wide == L"ab" || wide == L"ab\xFFFD") << WideToUtf8(wide);
    }
}

TEST(TextTest, LoneSurrogateBecomesReplacementCharacterInUtf8) {
    const std::wstring wide = std::wstring(L"a") + static_cast<wchar_t>(0xD800) + L"b";
    EXPECT_EQ(WideToUtf8(wide),
              "a\xEF\xBF\xBD"
              "b");
}

}  // namespace
}  // namespace velka
