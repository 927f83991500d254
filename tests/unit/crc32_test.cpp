// The CRC must give zlib's values, for every length and however the data is cut into pieces:
// the vectorised code has separate paths for short tails, unaligned starts and long runs.
#include "util/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

namespace velka {
namespace {

uint32_t ZlibCrc(const unsigned char* data, size_t size) {
    return static_cast<uint32_t>(crc32(0L, data, static_cast<uInt>(size)));
}

TEST(Crc32Test, EqualsZlibOnRandomDataOfOddLengthsWholeAndInPieces) {
    std::mt19937 random(20240607);
    std::vector<unsigned char> data((1 << 20) + 64);
    for (unsigned char& byte : data) byte = static_cast<unsigned char>(random());

    const size_t lengths[] = {1,
                              3,
                              7,
                              15,
                              17,
                              31,
                              63,
                              65,
                              127,
                              255,
                              257,
                              1023,
                              4097,
                              65535,
                              65537,
                              (1 << 20) + 1,
                              (1 << 20) + 63};
    for (const size_t length : lengths) {
        for (const size_t offset : {size_t{0}, size_t{1}, size_t{7}}) {  // unaligned starts too
            const unsigned char* start = data.data() + offset;
            const uint32_t expected = ZlibCrc(start, length);
            EXPECT_EQ(Crc32(0, start, length), expected) << length << " at +" << offset;

            // Three pieces cut at odd places, as a read loop or an inflater hands them over.
            std::uniform_int_distribution<size_t> cut(0, length);
            size_t a = cut(random), b = cut(random);
            if (a > b) std::swap(a, b);
            uint32_t pieces = Crc32(0, start, a);
            pieces = Crc32(pieces, start + a, b - a);
            pieces = Crc32(pieces, start + b, length - b);
            EXPECT_EQ(pieces, expected) << length << " cut at " << a << ", " << b;
        }
    }
    EXPECT_EQ(Crc32(0, data.data(), 0), 0u) << "nothing fed: the CRC of no bytes";
    EXPECT_EQ(Crc32(0x1234u, data.data(), 0), 0x1234u) << "an empty piece changes nothing";
}

TEST(Crc32Test, TextIsEightUpperCaseDigits) {
    const struct {
        uint32_t crc;
        const char* text;
    } cases[] = {{0, "00000000"},
                 {0x352441C2u, "352441C2"},
                 {0x56836Cu, "0056836C"},
                 {0xFFFFFFFFu, "FFFFFFFF"},
                 {0xABCDEF01u, "ABCDEF01"}};
    for (const auto& c : cases) EXPECT_EQ(CrcText(c.crc), c.text);
}

}  // namespace
}  // namespace velka
