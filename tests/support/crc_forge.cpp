#include "support/crc_forge.h"

#include <zlib.h>

#include <cstdint>

namespace velka {
namespace testing_support {

namespace {

uint32_t Crc32(const std::string& bytes) {
    return static_cast<uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

}  // namespace

// CRC-32 is affine over GF(2): flipping a set of bits changes the CRC by the XOR of what each
// flip alone changes it by. Flipping the 32 bits of four consecutive bytes changes it in 32
// independent ways, so solving one 32x32 linear system gives the flips that land on any CRC.
std::string ForgeSameCrc32(const std::string& genuine, const std::string& payload) {
    if (genuine.size() < payload.size() + 4) return std::string();
    std::string forged = genuine;
    forged.replace(0, payload.size(), payload);
    const size_t at = payload.size();
    const uint32_t base = Crc32(forged);

    // pivot[b]: a reduced change with highest bit b, and the set of patch bits that makes it.
    uint32_t pivot[32] = {};
    uint32_t flips[32] = {};
    for (uint32_t bit = 0; bit < 32; ++bit) {
        std::string flipped = forged;
        flipped[at + bit / 8] = static_cast<char>(flipped[at + bit / 8] ^ (1u << (bit % 8)));
        uint32_t change = Crc32(flipped) ^ base;
        uint32_t which = 1u << bit;
        for (int b = 31; b >= 0 && change != 0; --b) {
            if (!(change >> b & 1u)) continue;
            if (pivot[b] == 0) {
                pivot[b] = change;
                flips[b] = which;
                change = 0;
            } else {
                change ^= pivot[b];
                which ^= flips[b];
            }
        }
    }
    uint32_t wanted = base ^ Crc32(genuine);
    uint32_t solution = 0;
    for (int b = 31; b >= 0; --b) {
        if (!(wanted >> b & 1u)) continue;
        if (pivot[b] == 0) return std::string();  // cannot happen for CRC-32
        wanted ^= pivot[b];
        solution ^= flips[b];
    }
    for (uint32_t bit = 0; bit < 32; ++bit) {
        if (solution >> bit & 1u) {
            forged[at + bit / 8] = static_cast<char>(forged[at + bit / 8] ^ (1u << (bit % 8)));
        }
    }
    return forged;
}

}  // namespace testing_support
}  // namespace velka
