#include "util/strings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/text.h"
#include "util/compact_text.h"

namespace velka {
namespace {

TEST(TrimTest, RemovesOnlyBlankCharactersAtBothEnds) {
    struct Case {
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"\t abc \r\n", "abc"},
        {"   ", ""},
        {"", ""},
        {"a b", "a b"},
        {" \x0b"
         "a\f ",
         "\x0b"
         "a\f"},  // vertical tab and form feed are not blanks here
        {"\r\n\t x y\t\n", "x y"},
        {"\xC2\xA0x", "\xC2\xA0x"},  // a non-breaking space is text
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Trim(c.input), c.expected) << "input: \"" << c.input << "\"";
    }
}

TEST(ReplaceAllTest, ReplacesEveryOccurrenceIncludingOnesFormedByReplacement) {
    struct Case {
        std::string text, search, replacement, expected;
    };
    const Case cases[] = {
        {"a\\b\\c", "\\", "/", "a/b/c"},
        {"my file name", " ", "%20", "my%20file%20name"},
        {"https://host/https", "https", "http", "http://host/http"},
        {"", "x", "y", ""},
        {"abc", "", "zz", "abc"},  // an empty search changes nothing and must not hang
        {"aaaa", "aa", "a", "a"},  // searching again from the start keeps collapsing
        {"aab", "ab", "b", "b"},   // an occurrence formed with the text before the replacement
        {"xyz", "xyz", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReplaceAll(c.text, c.search, c.replacement), c.expected)
            << "text \"" << c.text << "\" search \"" << c.search << "\"";
    }
}

TEST(ReplaceAllTest, ReplacementHoldingTheSearchTextEndsAfterOnePass) {
    EXPECT_EQ(ReplaceAll(std::string("a.b.c"), ".", ".."), "a..b..c");
    EXPECT_EQ(ReplaceAll(std::wstring(L"x"), L"x", L"xx"), L"xx");
}

TEST(ReplaceAllTest, WideFormFillsVersionPlaceholders) {
    EXPECT_EQ(ReplaceAll(std::wstring(L"from x.x.x to y.y.y, x.x.x"), L"x.x.x", L"1.4.12"),
              L"from 1.4.12 to y.y.y, 1.4.12");
    EXPECT_EQ(ReplaceAll(std::wstring(L"版本 y.y.y"), L"y.y.y", L"2.0.1"), L"版本 2.0.1");
    EXPECT_EQ(ReplaceAll(std::wstring(L"abc"), L"", L"q"), L"abc");
}

TEST(SplitTest, DropsEmptyPieces) {
    struct Case {
        std::string text;
        char delimiter;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {",a,,b,", ',', {"a", "b"}},
        {"", ',', {}},
        {",,,", ',', {}},
        {"one", ',', {"one"}},
        {"http://a/$http://b/", '$', {"http://a/", "http://b/"}},
        {"https://host:80/x", ':', {"https", "//host", "80/x"}},
        {" a , b ", ',', {" a ", " b "}},  // pieces are not trimmed
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Split(c.text, c.delimiter), c.expected) << "text \"" << c.text << "\"";
    }
}

// Lengths around the inline limit (15 chars, 7 or 3 wide chars) and far past it, with NULs
// inside: every copy, move and reassignment keeps the whole text.
template <typename Text, typename String>
void ExpectCompactTextKeepsEveryLength(typename String::value_type fill) {
    for (size_t length : {0, 1, 2, 3, 4, 6, 7, 8, 14, 15, 16, 17, 300}) {
        String text(length, fill);
        for (size_t i = 1; i < length; i += 5) text[i] = 0;
        Text compact(text);
        EXPECT_EQ(compact, text) << length;
        EXPECT_EQ(compact.size(), length);
        EXPECT_EQ(compact.empty(), length == 0);
        EXPECT_EQ(static_cast<String>(compact), text) << length;
        Text copy = compact;
        Text moved = std::move(copy);
        EXPECT_EQ(moved, text) << length;
        copy = moved;  // into a moved-from text
        EXPECT_EQ(copy, text) << length;
        moved = moved.view().substr(length / 2);  // from its own storage
        EXPECT_EQ(moved, text.substr(length / 2)) << length;
        compact.clear();
        EXPECT_TRUE(compact.empty()) << length;
        EXPECT_EQ(copy, text) << "copies share no storage: " << length;
    }
}

TEST(CompactTextTest, KeepsEveryLengthThroughCopiesMovesAndReassignment) {
    ExpectCompactTextKeepsEveryLength<CompactText, std::string>('a');
    ExpectCompactTextKeepsEveryLength<CompactWideText, std::wstring>(L'\x9A5B');
    const CompactText name("res\\dir00000\\file00000.txt");
    EXPECT_EQ("Name = " + name + ".", "Name = res\\dir00000\\file00000.txt.");
    EXPECT_TRUE(CompactText("a") < "b" && "a" < CompactText("b") && "b" != CompactText("a"));
}

TEST(NumberParsingTest, SignedParsersFollowStrtolAndNeverThrow) {
    struct Case {
        std::string text;
        int32_t asInt;
        int64_t asInt64;
    };
    const Case cases[] = {
        {"12abc", 12, 12},
        {"abc", 0, 0},
        {"", 0, 0},
        {"   42", 42, 42},
        {"\t-17x", -17, -17},
        {"+8", 8, 8},
        {"99999999999", 0, 99999999999LL},
        {"2147483647", 2147483647, 2147483647LL},
        {"2147483648", 0, 2147483648LL},
        {"-2147483648", INT32_MIN, -2147483648LL},
        {"-2147483649", 0, -2147483649LL},
        {"9223372036854775807", 0, INT64_MAX},
        {"9223372036854775808", 0, 0},
        {"-99999999999999999999", 0, 0},
        {"0x1A", 0, 0},  // decimal only
        {"007", 7, 7},
        {"- 5", 0, 0},
        {"1.9", 1, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ToInt(c.text), c.asInt) << "ToInt(\"" << c.text << "\")";
        EXPECT_EQ(ToInt64(c.text), c.asInt64) << "ToInt64(\"" << c.text << "\")";
    }
}

TEST(NumberParsingTest, UnsignedParserRejectsNegativeAndOversizedValues) {
    struct Case {
        std::string text;
        uint32_t expected;
    };
    const Case cases[] = {
        {"4294967295", 4294967295u},
        {"4294967296", 0},
        {"18446744073709551615", 0},
        {"-1", 0},  // not wrapped around to the largest value
        {"  -7", 0},
        {"-0", 0},
        {"+12", 12},
        {" 305419896 bytes", 305419896u},
        {"bytes", 0},
        {"", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ToUInt32(c.text), c.expected) << "ToUInt32(\"" << c.text << "\")";
    }
}

TEST(UrlEncodeTest, KeepsUnreservedBytesAndEncodesTheRest) {
    struct Case {
        std::string utf8;
        std::string expected;
    };
    const Case cases[] = {
        {"a b_c", "a+b%5Fc"},
        {"", ""},
        {"AZaz09-.~", "AZaz09-.~"},
        {"a&b=c/d?e", "a%26b%3Dc%2Fd%3Fe"},
        {"%+", "%25%2B"},
        {"\n\x7f", "%0A%7F"},
        {"\xE5\x90\xAF\xE5\x8A\xA8", "%E5%90%AF%E5%8A%A8"},  // 启动
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UrlEncodeUtf8(c.utf8), c.expected) << "input \"" << c.utf8 << "\"";
    }
    EXPECT_EQ(UrlEncode("a b_c"), "a+b%5Fc");
    EXPECT_EQ(UrlEncode(""), "");
}

TEST(UrlEncodeTest, ConvertsAnsiTextToUtf8First) {
    const std::wstring accented = L"caf\u00e9";
    const std::string narrow = ToNarrow(accented);
    if (narrow.empty() || ToWide(narrow) != accented) {
        GTEST_SKIP() << "the narrow code page cannot hold U+00E9";
    }
    EXPECT_EQ(UrlEncode(narrow), "caf%C3%A9");
}

TEST(UrlEncodeTest, CapStopsAtAWholeCharacter) {
    std::string chinese;
    for (int i = 0; i < 400; ++i) chinese += "\xE5\x90\xAF";  // 启, nine characters encoded
    const std::string encoded = UrlEncodeUtf8(chinese);
    ASSERT_LE(encoded.size(), 1023u);
    // 113 whole characters fit (1017 characters); a 114th would need 1026.
    ASSERT_EQ(encoded.size(), 113u * 9u);
    for (size_t i = 0; i < encoded.size(); i += 9) {
        ASSERT_EQ(encoded.substr(i, 9), "%E5%90%AF") << "at offset " << i;
    }
}

TEST(UrlEncodeTest, CapCountsEncodedCharactersNotInputBytes) {
    struct Case {
        std::string input;
        size_t expectedLength;
    };
    const Case cases[] = {
        {std::string(1023, 'a'), 1023},
        {std::string(2000, 'a'), 1023},
        {std::string(2000, ' '), 1023},
        {std::string(1000, '/'), 1023},        // 341 "%2F" fill 1023 exactly
        {std::string(1021, 'a') + "/", 1021},  // "%2F" would reach 1024: dropped
        {std::string(1020, 'a') + "/b", 1023},
        {std::string(1020, 'a') + "\xC3\xA9", 1020},  // é needs six characters
    };
    for (const Case& c : cases) {
        const std::string encoded = UrlEncodeUtf8(c.input);
        EXPECT_EQ(encoded.size(), c.expectedLength) << "input of " << c.input.size() << " bytes";
        const size_t lastPercent = encoded.rfind('%');
        EXPECT_TRUE(lastPercent == std::string::npos || lastPercent + 3 <= encoded.size())
            << "a %XX triplet was cut";
    }
}

TEST(UrlEncodeTest, MalformedUtf8BytesAreEncodedOneByOne) {
    EXPECT_EQ(UrlEncodeUtf8("\xE5\x90"), "%E5%90");  // truncated sequence
    EXPECT_EQ(UrlEncodeUtf8("\x90"
                            "a"),
              "%90a");  // stray continuation byte
    EXPECT_EQ(UrlEncodeUtf8("\xE5"
                            "ab"),
              "%E5ab");
}

}  // namespace
}  // namespace velka
