#include "support/crc_forge.h"

#include <gtest/gtest.h>

#include <string>

#include "patcher/file_lists.h"
#include "patcher/release_record.h"
#include "platform/fs.h"
#include "support/scratch_log.h"
#include "util/file_crc.h"

namespace velka {
namespace {

using testing_support::ForgeSameCrc32;
using testing_support::ScratchFolder;

std::string Pseudorandom(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return bytes;
}

// The launcher's own CRC check passes the forgery, the SHA-256 of the release record does not.
TEST(CrcForgeTest, ForgeriesKeepSizeAndCrcButNotTheDigest) {
    const struct {
        std::string genuine;
        std::string payload;
    } cases[] = {
        {"abcdefgh", "evil"},  // the payload and the patch fill it exactly
        {"launcherVersion=3.1.2034\nremoteURLs=http://good/\n", "remoteURLs=http://evil/\n#"},
        {std::string(4096, '\0'), "MZ"},
        {Pseudorandom(200000, 7), Pseudorandom(100000, 8)},
    };
    ScratchFolder scratch("forge");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload.substr(0, 12));
        const std::string forged = ForgeSameCrc32(c.genuine, c.payload);
        ASSERT_EQ(forged.size(), c.genuine.size());
        EXPECT_EQ(forged.compare(0, c.payload.size(), c.payload), 0);
        EXPECT_EQ(forged.substr(c.payload.size() + 4), c.genuine.substr(c.payload.size() + 4));
        ASSERT_TRUE(WriteFileBytes(scratch / L"genuine", c.genuine));
        ASSERT_TRUE(WriteFileBytes(scratch / L"forged", forged));
        EXPECT_EQ(ComputeFileCrc(scratch / L"forged"), ComputeFileCrc(scratch / L"genuine"));
        std::string genuineSha, forgedSha;
        uint64_t size = 0;
        ASSERT_TRUE(ComputeFileSha256(scratch / L"genuine", &genuineSha, &size));
        ASSERT_TRUE(ComputeFileSha256(scratch / L"forged", &forgedSha, &size));
        EXPECT_EQ(size, c.genuine.size());
        EXPECT_NE(forgedSha, genuineSha);
    }
    EXPECT_EQ(ForgeSameCrc32("abcdefg", "evil"), "") << "no room for the four patch bytes";
}

}  // namespace
}  // namespace velka
