#include "patcher/content_cipher.h"

#include <gtest/gtest.h>

#include <string>

namespace velka {
namespace {

const std::string kPlainUpper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
const std::string kPlainLower = "abcdefghijklmnopqrstuvwxyz";

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

TEST(ContentCipherTest, CompiledKeyBuildsTheExpectedAlphabet) {
    EXPECT_STREQ(kContentCipherKey, "MARBLEFOXRIVERGATE");
    const ContentCipher cipher(kContentCipherKey);
    // Key letters once each at their first position (R, E, A repeat), then the rest in order.
    const std::string alphabet = "MARBLEFOXIVGTCDHJKNPQSUWYZ";
    EXPECT_EQ(cipher.Encipher(kPlainUpper), alphabet);
    EXPECT_EQ(cipher.Encipher(kPlainLower), Lower(alphabet));
    EXPECT_EQ(cipher.Decipher(alphabet), kPlainUpper);
    EXPECT_EQ(cipher.Decipher(Lower(alphabet)), kPlainLower);
}

TEST(ContentCipherTest, KeyTablesIgnoreRepeatsLowerCaseDigitsAndSpaces) {
    struct Case {
        std::string key;
        std::string alphabet;
    };
    const Case cases[] = {
        {"ZEBRA", "ZEBRACDFGHIJKLMNOPQSTUVWXY"},
        {"ZEBRAZEBRA", "ZEBRACDFGHIJKLMNOPQSTUVWXY"},
        {"Z e B r A 9!", "ZBACDEFGHIJKLMNOPQRSTUVWXY"},
        {"zebra", kPlainUpper},
        {"", kPlainUpper},  // no key: every letter maps to itself
        {"\xC3\x89Q", "QABCDEFGHIJKLMNOPRSTUVWXYZ"},
        {"ZYXWVUTSRQPONMLKJIHGFEDCBA", "ZYXWVUTSRQPONMLKJIHGFEDCBA"},
    };
    for (const Case& c : cases) {
        const ContentCipher cipher(c.key);
        EXPECT_EQ(cipher.Encipher(kPlainUpper), c.alphabet) << "key \"" << c.key << "\"";
        EXPECT_EQ(cipher.Encipher(kPlainLower), Lower(c.alphabet)) << "key \"" << c.key << "\"";
        EXPECT_EQ(cipher.Decipher(c.alphabet), kPlainUpper) << "key \"" << c.key << "\"";
    }
}

TEST(ContentCipherTest, DistinctKeyLettersEncipherTheFirstLetters) {
    for (const std::string key : {"QWERTY", "K", "PLUMAGE"}) {
        const ContentCipher cipher(key);
        const std::string first = kPlainUpper.substr(0, key.size());
        EXPECT_EQ(cipher.Encipher(first), key);
        EXPECT_EQ(cipher.Decipher(key), first);
    }
}

TEST(ContentCipherTest, OnlyAsciiLettersChangeAndCaseIsKept) {
    const ContentCipher cipher(kContentCipherKey);
    const std::string untouched[] = {
        "",
        "1.4.12",
        "3.1.2034",
        "123456789$0=:/.",
        std::string("\x00\x7f\x80\xff", 4),
        "\xE5\x90\xAF\xE5\x8A\xA8",
        "@[`{",
    };
    for (const std::string& text : untouched) {
        EXPECT_EQ(cipher.Decipher(text), text) << "\"" << text << "\"";
        EXPECT_EQ(cipher.Encipher(text), text) << "\"" << text << "\"";
    }
    EXPECT_EQ(cipher.Encipher("Http://Mirror.Example/a$B"), "Opph://Txkkdk.Lwmthgl/m$A");
    EXPECT_EQ(cipher.Decipher("Opph://Txkkdk.Lwmthgl/m$A"), "Http://Mirror.Example/a$B");
    // A published URL value: digits and punctuation read the same in both forms.
    EXPECT_EQ(cipher.Decipher("opph://127.0.0.1:8080/slgvm_ov_uxc/Gmqcrolk/"),
              "http://127.0.0.1:8080/velka_hk_win/Launcher/");
}

TEST(ContentCipherTest, EncipherAndDecipherAreInverse) {
    std::string everyByte;
    for (int b = 0; b < 256; ++b) everyByte += static_cast<char>(b);
    for (const char* key : {kContentCipherKey, "ZEBRA", "", "the QUICK brown FOX"}) {
        const ContentCipher cipher(key);
        EXPECT_EQ(cipher.Decipher(cipher.Encipher(everyByte)), everyByte) << "key " << key;
        EXPECT_EQ(cipher.Encipher(cipher.Decipher(everyByte)), everyByte) << "key " << key;
    }
}

}  // namespace
}  // namespace velka
