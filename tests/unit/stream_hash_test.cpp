#include "transfer/stream_hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace velka {
namespace {

// Fed in uneven pieces, across block boundaries and through the hashing thread, the digest is
// that of the bytes in order.
TEST(StreamHashTest, DigestIsThatOfTheWholeStreamInOrder) {
    const size_t sizes[] = {0, 1, 256 * 1024 - 1, 256 * 1024, 3 * 1024 * 1024 + 17};
    for (size_t size : sizes) {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
        StreamHash hash;
        for (size_t at = 0, piece = 1; at < size; at += piece, piece = piece * 3 + 1) {
            piece = std::min(piece, size - at);
            hash.Update(bytes.data() + at, piece);
        }
        Sha256Digest digest{};
        ASSERT_TRUE(hash.Finish(&digest));
        EXPECT_EQ(Sha256Hex(digest), Sha256OfBytes(bytes.data(), bytes.size())) << size;
    }
}

}  // namespace
}  // namespace velka
