#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/fixtures.h"
#include "transfer/stream_hash.h"

namespace velka {
namespace {

// Known digests (FIPS 180-2, or none: the one-shot digest) from the incremental hash and from the
// threaded stream hash, fed in growing pieces across its 256 KiB block boundaries.
TEST(Sha256Test, KnownVectorsInAnyPieces) {
    const struct {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {testing_support::VariedBytes(256 * 1024, 3), nullptr},
        {testing_support::VariedBytes(3 * 256 * 1024 + 17, 4), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 20) + " size " + std::to_string(c.input.size()));
        const std::string oneShot = Sha256OfBytes(c.input.data(), c.input.size());
        EXPECT_EQ(oneShot, c.digest ? c.digest : oneShot);
        Sha256 hash;
        StreamHash stream;
        for (size_t at = 0, piece = 1; at < c.input.size(); at += piece, piece = piece * 3 + 1) {
            piece = std::min(piece, c.input.size() - at);
            hash.Update(c.input.data() + at, piece);
            stream.Update(c.input.data() + at, piece);
        }
        Sha256Digest digest{}, streamed{};
        ASSERT_TRUE(hash.Finish(&digest) && stream.Finish(&streamed));
        EXPECT_EQ(Sha256Hex(digest), oneShot);
        EXPECT_EQ(Sha256Hex(streamed), oneShot);
        // Finish starts afresh: the same object hashes the next stream from nothing.
        hash.Update("abc", 3);
        ASSERT_TRUE(hash.Finish(&digest));
        EXPECT_EQ(Sha256Hex(digest), Sha256OfBytes("abc", 3));
    }
}

}  // namespace
}  // namespace velka
