#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace velka {
namespace {

// FIPS 180-2 vectors; the pieces exercise how the input is fed, which must not matter.
TEST(Sha256Test, KnownVectorsInAnyPieces) {
    const struct {
        std::string input;
        size_t piece;  // bytes per Update; 0: one Update of everything
        const char* digest;
    } cases[] = {
        {"", 0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 0, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 7,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), 0,
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {std::string(1000000, 'a'), 65536,
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 20) + " piece " + std::to_string(c.piece));
        Sha256 hash;
        const size_t piece = c.piece == 0 ? c.input.size() + 1 : c.piece;
        for (size_t at = 0; at < c.input.size(); at += piece) {
            hash.Update(c.input.data() + at, std::min(piece, c.input.size() - at));
        }
        Sha256Digest digest;
        ASSERT_TRUE(hash.Finish(&digest));
        EXPECT_EQ(Sha256Hex(digest), c.digest);
        // Finish starts afresh: the same object hashes the next stream from nothing.
        hash.Update("abc", 3);
        ASSERT_TRUE(hash.Finish(&digest));
        EXPECT_EQ(Sha256Hex(digest),
                  "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        EXPECT_EQ(Sha256OfBytes(c.input.data(), c.input.size()), c.digest);
    }
}

}  // namespace
}  // namespace velka
