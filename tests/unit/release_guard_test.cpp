#include "patcher/release_guard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fs.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

std::vector<FileEntry> Entries(const std::vector<std::string>& paths) {
    std::vector<FileEntry> entries;
    for (const std::string& path : paths) {
        entries.emplace_back();
        entries.back().path = path;
    }
    return entries;
}

std::string Hex(char digit) {
    return std::string(64, digit);
}

TEST(HashListDigestsTest, EachEntryGetsTheDigestOfItsPathWhateverTheOrder) {
    // The file list may name a path twice; an entry the hash list leaves out gets none.
    const auto entries = Entries({"b\\x.pak", "a.txt", "b\\x.pak", "missing.txt"});
    std::vector<Sha256Digest> digests;
    std::string reason;
    ASSERT_TRUE(HashListDigests("a.txt=" + Hex('1') + "\nb\\x.pak=" + Hex('f') + "\n", entries,
                                &digests, &reason))
        << reason;
    ASSERT_EQ(digests.size(), 4u);
    EXPECT_EQ(Sha256Hex(digests[0]), Hex('f'));
    EXPECT_EQ(Sha256Hex(digests[1]), Hex('1'));
    EXPECT_EQ(Sha256Hex(digests[2]), Hex('f'));
    EXPECT_EQ(digests[3], Sha256Digest{});
}

TEST(HashListDigestsTest, MalformedListsAreRefused) {
    const auto entries = Entries({"a.txt"});
    const std::string cases[] = {
        "a.txt=" + Hex('1'),                                 // no line end: cut short
        "a.txt=" + Hex('A') + "\n",                          // upper case is never written
        "a.txt=" + Hex('1').substr(1) + "\n",                // a digit short
        "=" + Hex('1') + "\n",                               // no path
        "a.txt " + Hex('1') + "\n",                          // no "="
        "a.txt=" + Hex('1') + "\na.txt=" + Hex('2') + "\n",  // named twice
    };
    for (const std::string& text : cases) {
        std::vector<Sha256Digest> digests;
        std::string reason;
        EXPECT_FALSE(HashListDigests(text, entries, &digests, &reason)) << text;
        EXPECT_FALSE(reason.empty()) << text;
    }
}

TEST(ReleaseGuardTest, HashListLiesBesideTheFileList) {
    EXPECT_EQ(HashListUrlBeside("http://m/lists/filelist.txt"), "http://m/lists/hashlist.txt");
    EXPECT_EQ(HashListUrlBeside("http://m/files.txt?v=1"), "http://m/hashlist.txt");
    EXPECT_EQ(HashListUrlBeside("filelist.txt"), "");
}

TEST(ReleaseGuardTest, AcceptedReleaseSurvivesARestartAndUnreadableMeansNone) {
    testing_support::ScratchFolder scratch("accepted");
    EXPECT_EQ(ReadAcceptedRelease(scratch.Path()), 0u);
    ASSERT_TRUE(WriteAcceptedRelease(scratch.Path(), 18446744073709551615ull));
    EXPECT_EQ(ReadAcceptedRelease(scratch.Path()), 18446744073709551615ull);
    ASSERT_TRUE(WriteFileBytes(scratch / kAcceptedReleasePath, "12x\n"));
    EXPECT_EQ(ReadAcceptedRelease(scratch.Path()), 0u);
}

}  // namespace
}  // namespace velka
