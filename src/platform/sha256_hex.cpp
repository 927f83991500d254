#include "platform/sha256.h"

namespace velka {

std::string Sha256Hex(const Sha256Digest& digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(digest.size() * 2);
    for (uint8_t byte : digest) {
        hex.push_back(kDigits[byte >> 4]);
        hex.push_back(kDigits[byte & 0x0F]);
    }
    return hex;
}

std::string Sha256OfBytes(const void* data, size_t size) {
    Sha256 hash;
    hash.Update(data, size);
    Sha256Digest digest;
    return hash.Finish(&digest) ? Sha256Hex(digest) : std::string();
}

}  // namespace velka
