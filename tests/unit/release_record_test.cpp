#include "patcher/release_record.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include "patcher/release_guard.h"
#include "support/scratch_log.h"

namespace velka {
namespace {

const std::string kSeed(64, '1'), kA(64, 'a'), kB(64, 'b');
constexpr int64_t kIssued = 1700000000, kExpires = kIssued + 30 * 86400;

const char kPublicKey[] = "d04ab232742bb4ab3a1368bd4615e4e6d0224ab71a016baf8520a332c9778737";

std::string Signed(uint64_t release, const std::string& seed = kSeed) {
    ReleaseRecord record{release, kIssued, kExpires, {}};
    record.files["filelist.txt"] = {3, Sha256OfBytes("abc", 3)};
    record.files["velka_win_1.0.0_001.zip"] = {0, Sha256OfBytes("", 0)};
    std::string text, reason;
    EXPECT_TRUE(SignReleaseRecord(record, seed, &text, &reason)) << reason;
    return text;
}

// A body written by hand and signed properly: the parser must refuse what the writer never writes.
std::string SignedBody(const std::string& body) {
    unsigned char seed[32], pk[32], sk[64], sig[64];
    char hex[129];
    sodium_hex2bin(seed, sizeof seed, kSeed.data(), kSeed.size(), nullptr, nullptr, nullptr);
    crypto_sign_seed_keypair(pk, sk, seed);
    crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(body.data()),
                         body.size(), sk);
    return body + "signature " + sodium_bin2hex(hex, sizeof hex, sig, sizeof sig) + "\n";
}

// `expected` empty: the call succeeded; otherwise it failed with a reason holding `expected`.
void ExpectOutcome(bool ok, const std::string& reason, const std::string& expected) {
    EXPECT_EQ(ok, expected.empty()) << reason;
    EXPECT_NE(reason.find(expected), std::string::npos) << reason;
}

// The text is fixed by record and key; a row per check (empty reason: accepted), clock and
// rollback.
TEST(ReleaseRecordTest, VerificationRefusesForgedOldExpiredAndMalformedRecords) {
    const std::string genuine = Signed(5);
    const std::string head = "velka-release 1\nrelease 5\nissued 1700000000\nexpires 1702592000\n";
    EXPECT_EQ(genuine, Signed(5));
    EXPECT_EQ(genuine.substr(0, head.size() + 20), head + "file filelist.txt 3 ") << genuine;
    std::string tampered = genuine;
    tampered[tampered.find(Sha256OfBytes("abc", 3))] = 'c';
    const std::tuple<std::string, int64_t, uint64_t, const char*> cases[] = {
        {genuine, kIssued, 0, ""},
        {genuine, kIssued, 5, ""},
        {genuine, kExpires + kReleaseClockTolerance, 0, ""},
        {genuine, kExpires + kReleaseClockTolerance + 1, 0,
         "expired on 2023-12-14 22:13:20 UTC; the computer's clock reads 2023-12-15 22:13:21 UTC "
         "(check the system date)"},
        {Signed(4), kIssued, 5, "release 4, older than release 5"},
        {Signed(5, std::string(64, '2')), kIssued, 0, "does not verify"},
        {tampered, kIssued, 0, "does not verify"},
        {genuine.substr(0, genuine.size() - 2), kIssued, 0, "truncated"},
        {genuine.substr(0, genuine.find("signature")), kIssued, 0, "truncated"},
        {SignedBody("velka-release 2\nrelease 5\nissued 1\nexpires 2\n"), 1, 0, "format 1"},
        {SignedBody("velka-release 1\nrelease 5\nissued 1\n"), 1, 0, "missing"},
        {SignedBody("velka-release 1\nrelease 5\nissued 9\nexpires 8\n"), 1, 0, "expires before"},
        {SignedBody("velka-release 1\nrelease 05\n"), 1, 0, "malformed release"},
        {SignedBody("velka-release 1\nissued 1\nissued 1\n"), 1, 0, "issued given twice"},
        {SignedBody("velka-release 1\nissued 9223372036854775808\n"), 1, 0, "malformed issued"},
        {SignedBody(head + "file a 1 " + kA + "\nfile a 1 " + kA + "\n"), kIssued, 0, "twice"},
        {SignedBody(head + "file a 1 " + std::string(64, 'A') + "\n"), kIssued, 0, "malformed"},
        {SignedBody(head + "\n"), kIssued, 0, "unknown field"},
        {genuine, kIssued, 0, "release key"},  // a launcher built without a key
    };
    for (const auto& [text, now, accepted, expected] : cases) {
        SCOPED_TRACE(text);
        ReleaseRecord record;
        std::string reason;
        const std::string key = std::string(expected) == "release key" ? "" : kPublicKey;
        const bool ok = VerifyReleaseRecord(text, {key, now, accepted}, &record, &reason);
        ExpectOutcome(ok, reason, expected);
        EXPECT_TRUE(*expected || record.files.at("filelist.txt").size == 3) << "not read back";
    }
}

// Seeds are 64 hexadecimal digits; names with blanks cannot be signed.
TEST(ReleaseRecordTest, BadSeedsAndNamesAreRefused) {
    ReleaseKeyPair keys;
    std::string text, reason;
    for (const std::string& bad : {std::string(63, '1'), std::string(64, 'g'), std::string()})
        EXPECT_FALSE(ReleaseKeyPairFromSeed(bad, &keys, &reason)) << bad;
    const ReleaseRecord blank{1, 1, 2, {{"a b.zip", {1, kA}}}};
    ExpectOutcome(SignReleaseRecord(blank, kSeed, &text, &reason), reason, "blank");
}

// The publisher's map and the launcher's per-entry digests read the same lines.
TEST(HashListTest, ReadsWhatIsWrittenAndRefusesFaults) {
    const std::map<std::string, std::string> hashes = {{"b\\x.pak", kB}, {"x=y", kA}};
    const std::string text = HashListText(hashes);
    EXPECT_EQ(text, "b\\x.pak=" + kB + "\nx=y=" + kA + "\n");
    std::map<std::string, std::string> read;
    std::string reason;
    EXPECT_TRUE(ParseHashList(text, &read, &reason) && read == hashes) << reason;
    // The file list may name a path twice; an entry the hash list leaves out gets none.
    std::vector<FileEntry> entries;
    for (auto path : {"x=y", "b\\x.pak", "x=y", "missing.txt"}) entries.emplace_back().path = path;
    std::vector<Sha256Digest> digests;
    ASSERT_TRUE(HashListDigests(text, entries, &digests, &reason)) << reason;
    ASSERT_EQ(digests.size(), 4u);
    EXPECT_EQ(Sha256Hex(digests[0]) + Sha256Hex(digests[1]) + Sha256Hex(digests[2]), kA + kB + kA);
    EXPECT_EQ(digests[3], Sha256Digest{});
    entries[0].path = "a";
    for (const auto& [fault, expected] : std::map<std::string, std::string>{
             {"a=" + kA, "truncated"},
             {"a=" + kA + "\na=" + kB + "\n", "line 2 names a again"},
             {"=" + kA + "\n", "line 1 is malformed"},
             {"a " + kA + "\n", "line 1 is malformed"},
             {"a=" + kA + "\nb=" + kA.substr(1) + "\n", "line 2 is malformed"},
             {"a=" + std::string(64, 'A') + "\n", "line 1 is malformed"}}) {
        ExpectOutcome(ParseHashList(fault, &read, &reason), reason, expected);
        ExpectOutcome(HashListDigests(fault, entries, &digests, &reason), reason, expected);
    }
}

TEST(ReleaseGuardTest, HashListBesideTheFileListAndTheAcceptedReleaseOnDisk) {
    EXPECT_EQ(HashListUrlBeside("filelist.txt"), "");
    testing_support::ScratchFolder scratch("accepted");
    ASSERT_TRUE(WriteAcceptedRelease(scratch.Path(), 18446744073709551615ull));
    EXPECT_EQ(ReadAcceptedRelease(scratch.Path()), 18446744073709551615ull);
    ASSERT_TRUE(WriteFileBytes(scratch / kAcceptedReleasePath, "12x\n"));
    EXPECT_EQ(ReadAcceptedRelease(scratch.Path()), 0u);
}

}  // namespace
}  // namespace velka
