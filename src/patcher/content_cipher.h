// Keyword substitution cipher of the published configuration values: the cipher alphabet is the
// key's distinct upper-case letters A-Z in order (every other key character is ignored), then the
// remaining letters alphabetically. Letters keep their case; every other byte passes unchanged.
// The launcher only deciphers; the publisher enciphers. Immutable after construction, so it may
// be read from any thread.
#pragma once

#include <string>

namespace velka {

// The key compiled into the launcher.
extern const char kContentCipherKey[];

class ContentCipher {
  public:
    // An empty key, or one without upper-case letters, gives the identity mapping.
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
