#include "patcher/content_cipher.h"

namespace velka {

const char kContentCipherKey[] = "MARBLEFOXRIVERGATE";

ContentCipher::ContentCipher(const std::string& key) : key_(key) {
    // An empty key builds the identity alphabet rather than leaving the tables zero, which would
    // turn every letter into a NUL byte.
    bool taken[26] = {};
    int count = 0;
    for (char c : key_) {
        if (c < 'A' || c > 'Z' || taken[c - 'A']) continue;
        taken[c - 'A'] = true;
        upperAlphabet_[count] = c;
        lowerAlphabet_[count] = static_cast<char>(c - 'A' + 'a');
        ++count;
    }
    for (int letter = 0; letter < 26; ++letter) {
        if (taken[letter]) continue;
        upperAlphabet_[count] = static_cast<char>('A' + letter);
        lowerAlphabet_[count] = static_cast<char>('a' + letter);
        ++count;
    }
    for (int i = 0; i < 26; ++i) {
        const int cipher = upperAlphabet_[i] - 'A';
        upperInverse_[cipher] = static_cast<char>('A' + i);
        lowerInverse_[cipher] = static_cast<char>('a' + i);
    }
}

std::string ContentCipher::Decipher(const std::string& text) const {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = upperInverse_[c - 'A'];
        } else if (c >= 'a' && c <= 'z') {
            c = lowerInverse_[c - 'a'];
        }
    }
    return out;
}

std::string ContentCipher::Encipher(const std::string& text) const {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = upperAlphabet_[c - 'A'];
        } else if (c >= 'a' && c <= 'z') {
            c = lowerAlphabet_[c - 'a'];
        }
    }
    return out;
}

}  // namespace velka
