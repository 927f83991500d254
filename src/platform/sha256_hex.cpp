#include <cstdio>
#include <vector>

#include "platform/fs.h"
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

bool Sha256OfFile(const std::wstring& path, Sha256Digest* digest, uint64_t* size) {
    File file(path, "rb");
    if (!file) return false;
    Sha256 hash;
    std::vector<char> buffer(1 << 20);
    uint64_t total = 0;
    size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
        hash.Update(buffer.data(), got);
        total += got;
    }
    if (std::ferror(file.get()) || !hash.Finish(digest)) return false;
    *size = total;
    return true;
}

}  // namespace velka
