#include "platform/sha256.h"

#include <gtest/gtest.h>

#include "support/fixtures.h"
#include "transfer/stream_hash.h"

namespace velka {
namespace {

// Known digests (FIPS 180-2; none: the one-shot digest) from the stream hash and its hashing
// thread, fed in growing pieces across its 256 KiB blocks and past its queue's length.
TEST(Sha256Test, KnownVectorsInAnyPieces) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {testing_support::VariedBytes(3 * 1024 * 1024 + 17, 3), nullptr},
    };
    for (const auto& [input, digest] : cases) {
        const std::string oneShot = Sha256OfBytes(input.data(), input.size());
        EXPECT_EQ(oneShot, digest ? digest : oneShot);
        StreamHash stream;
        for (size_t at = 0, piece = 1; at < input.size(); at += piece, piece = piece * 3 + 1) {
            piece = std::min(piece, input.size() - at);
            stream.Update(input.data() + at, piece);
        }
        Sha256Digest streamed{};
        ASSERT_TRUE(stream.Finish(&streamed));
        EXPECT_EQ(Sha256Hex(streamed), oneShot) << input.size();
    }
}

}  // namespace
}  // namespace velka
