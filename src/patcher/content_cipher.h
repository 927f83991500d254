// Keyword substitution cipher used for the published configuration values. Only deciphers.
#pragma once

#include <string>

namespace velka {

// The key compiled into the launcher.
extern const char kContentCipherKey[];

class ContentCipher {
public:
    explicit ContentCipher(const std::string& key);

    // Letters are substituted with their case kept; every other byte passes unchanged.
    std::string Decipher(const std::string& text) const;
    // The opposite mapping, for the publisher.
    std::string Encipher(const std::string& text) const;

private:
    std::string key_;
    char lowerAlphabet_[27] = {};
    char upperAlphabet_[27] = {};
    char lowerInverse_[27] = {};
    char upperInverse_[27] = {};
};

}  // namespace velka
