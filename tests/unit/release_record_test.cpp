#include "patcher/release_record.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <functional>
#include <string>

namespace velka {
namespace {

const std::string kSeed(64, '1');
const std::string kOtherSeed(64, '2');
constexpr int64_t kIssued = 1700000000;
constexpr int64_t kExpires = kIssued + 30 * 86400;

std::string PublicKey(const std::string& seed) {
    ReleaseKeyPair keys;
    std::string reason;
    EXPECT_TRUE(ReleaseKeyPairFromSeed(seed, &keys, &reason)) << reason;
    return keys.publicHex;
}

ReleaseRecord SampleRecord() {
    ReleaseRecord record;
    record.release = 5;
    record.issued = kIssued;
    record.expires = kExpires;
    record.files["filelist.txt"] = {3, Sha256OfBytes("abc", 3)};
    record.files["velka_win_1.0.0_001.zip"] = {0, Sha256OfBytes("", 0)};
    return record;
}

std::string Signed(const ReleaseRecord& record, const std::string& seed = kSeed) {
    std::string text, reason;
    EXPECT_TRUE(SignReleaseRecord(record, seed, &text, &reason)) << reason;
    return text;
}

// A body written by hand, signed properly: the parser must refuse what the writer never writes.
std::string SignedBody(const std::string& body) {
    EXPECT_GE(sodium_init(), 0);
    unsigned char seed[crypto_sign_SEEDBYTES], pk[crypto_sign_PUBLICKEYBYTES],
        sk[crypto_sign_SECRETKEYBYTES], sig[crypto_sign_BYTES];
    sodium_hex2bin(seed, sizeof(seed), kSeed.data(), kSeed.size(), nullptr, nullptr, nullptr);
    crypto_sign_seed_keypair(pk, sk, seed);
    crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(body.data()),
                         body.size(), sk);
    char hex[crypto_sign_BYTES * 2 + 1];
    sodium_bin2hex(hex, sizeof(hex), sig, sizeof(sig));
    return body + "signature " + hex + "\n";
}

// `expected` empty: the call succeeded; otherwise it failed with a reason holding `expected`.
void ExpectOutcome(bool ok, const std::string& reason, const std::string& expected) {
    if (expected.empty()) {
        EXPECT_TRUE(ok) << reason;
    } else {
        EXPECT_FALSE(ok);
        EXPECT_NE(reason.find(expected), std::string::npos) << reason;
    }
}

TEST(ReleaseRecordTest, SignedRecordsAreDeterministicAndReadBack) {
    const std::string text = Signed(SampleRecord());
    EXPECT_EQ(text, Signed(SampleRecord()));
    EXPECT_EQ(text.rfind("velka-release 1\nrelease 5\nissued 1700000000\nexpires 1702592000\n"
                         "file filelist.txt 3 "
                         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n",
                         0),
              0u)
        << text;
    ReleaseRecord record;
    std::string reason;
    ASSERT_TRUE(VerifyReleaseRecord(text, {PublicKey(kSeed), kIssued, 0}, &record, &reason))
        << reason;
    EXPECT_EQ(record.release, 5u);
    EXPECT_EQ(record.expires, kExpires);
    EXPECT_EQ(record.files.size(), 2u);
    ASSERT_NE(record.Find("filelist.txt"), nullptr);
    EXPECT_EQ(record.Find("filelist.txt")->size, 3u);
    EXPECT_EQ(record.Find("ziplist.txt"), nullptr);
}

TEST(ReleaseRecordTest, VerificationRefusesForgedOldExpiredAndMalformedRecords) {
    const std::string genuine = Signed(SampleRecord());
    ReleaseRecord older = SampleRecord();
    older.release = 4;
    const std::string body = "velka-release 1\nrelease 5\nissued 1700000000\nexpires 1702592000\n";
    const std::string digest(64, 'a');
    const struct {
        const char* label;
        std::string text;
        ReleaseExpectations expected;
        const char* reason;  // empty: accepted
    } cases[] = {
        {"genuine", genuine, {PublicKey(kSeed), kIssued, 0}, ""},
        {"same release again", genuine, {PublicKey(kSeed), kIssued, 5}, ""},
        {"expired within the clock tolerance",
         genuine,
         {PublicKey(kSeed), kExpires + kReleaseClockTolerance, 0},
         ""},
        {"expired",
         genuine,
         {PublicKey(kSeed), kExpires + kReleaseClockTolerance + 1, 0},
         "expired on 2023-12-14 22:13:20 UTC; the computer's clock reads 2023-12-15 22:13:21 "
         "UTC (check the system date)"},
        {"rollback to an older release",
         Signed(older),
         {PublicKey(kSeed), kIssued, 5},
         "release 4, older than release 5"},
        {"signed by another key",
         Signed(SampleRecord(), kOtherSeed),
         {PublicKey(kSeed), kIssued, 0},
         "does not verify"},
        {"a digest changed",
         [&] {
             std::string t = genuine;
             t[t.find("ba7816")] = 'c';
             return t;
         }(),
         {PublicKey(kSeed), kIssued, 0},
         "does not verify"},
        {"a line removed",
         [&] {
             std::string t = genuine;
             t.erase(t.find("file velka_win"), t.find("signature") - t.find("file velka_win"));
             return t;
         }(),
         {PublicKey(kSeed), kIssued, 0},
         "does not verify"},
        {"truncated",
         genuine.substr(0, genuine.size() - 2),
         {PublicKey(kSeed), kIssued, 0},
         "truncated"},
        {"cut before the signature",
         genuine.substr(0, genuine.find("signature")),
         {PublicKey(kSeed), kIssued, 0},
         "truncated"},
        {"empty", "", {PublicKey(kSeed), kIssued, 0}, "truncated"},
        {"no key built in", genuine, {"", kIssued, 0}, "release key"},
        {"other format",
         SignedBody("velka-release 2\nrelease 5\nissued 1\nexpires 2\n"),
         {PublicKey(kSeed), 1, 0},
         "format 1"},
        {"no expiry",
         SignedBody("velka-release 1\nrelease 5\nissued 1\n"),
         {PublicKey(kSeed), 1, 0},
         "missing"},
        {"expires before issued",
         SignedBody("velka-release 1\nrelease 5\nissued 9\nexpires 8\n"),
         {PublicKey(kSeed), 1, 0},
         "expires before"},
        {"number with a sign",
         SignedBody("velka-release 1\nrelease +5\nissued 1\nexpires 2\n"),
         {PublicKey(kSeed), 1, 0},
         "malformed release"},
        {"file given twice",
         SignedBody(body + "file a 1 " + digest + "\nfile a 1 " + digest + "\n"),
         {PublicKey(kSeed), kIssued, 0},
         "given twice"},
        {"upper-case digest",
         SignedBody(body + "file a 1 " + std::string(64, 'A') + "\n"),
         {PublicKey(kSeed), kIssued, 0},
         "malformed file line"},
        {"blank line", SignedBody(body + "\n"), {PublicKey(kSeed), kIssued, 0}, "unknown field"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ReleaseRecord record;
        std::string reason;
        ExpectOutcome(VerifyReleaseRecord(c.text, c.expected, &record, &reason), reason, c.reason);
    }
}

TEST(ReleaseRecordTest, ArtifactsMatchOnlyByNameSizeAndDigest) {
    const ReleaseRecord record = SampleRecord();
    Sha256Digest abc, abd;
    Sha256 hash;
    hash.Update("abc", 3);
    ASSERT_TRUE(hash.Finish(&abc));
    hash.Update("abd", 3);
    ASSERT_TRUE(hash.Finish(&abd));
    const struct {
        const char* name;
        uint64_t size;
        const Sha256Digest& digest;
        const char* reason;
    } cases[] = {
        {"filelist.txt", 3, abc, ""},
        {"filelist.txt", 4, abc, "has 4 bytes, the release record 3"},
        {"filelist.txt", 3, abd, "does not have the SHA-256"},
        {"ziplist.txt", 3, abc, "does not list ziplist.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.size));
        std::string reason;
        ExpectOutcome(VerifyReleaseArtifact(record, c.name, c.size, c.digest, &reason), reason,
                      c.reason);
    }
}

TEST(ReleaseRecordTest, KeysComeFromSeedsAndFreshPairsDiffer) {
    ReleaseKeyPair a, b;
    ASSERT_TRUE(GenerateReleaseKeyPair(&a));
    ASSERT_TRUE(GenerateReleaseKeyPair(&b));
    EXPECT_NE(a.seedHex, b.seedHex);
    EXPECT_EQ(PublicKey(a.seedHex), a.publicHex);
    std::string text, reason;
    ReleaseRecord record;
    for (const std::string& bad : {std::string(63, '1'), std::string(64, 'g'), std::string()}) {
        EXPECT_FALSE(ReleaseKeyPairFromSeed(bad, &a, &reason)) << bad;
        EXPECT_FALSE(SignReleaseRecord(SampleRecord(), bad, &text, &reason)) << bad;
    }
    ReleaseRecord blank = SampleRecord();
    blank.files["a b.zip"] = {1, std::string(64, 'a')};
    EXPECT_FALSE(SignReleaseRecord(blank, kSeed, &text, &reason));
    EXPECT_NE(reason.find("blank"), std::string::npos) << reason;
}

TEST(HashListTest, ReadsWhatIsWrittenAndRefusesFaults) {
    const std::string a(64, 'a'), b(64, 'b');
    const std::map<std::string, std::string> hashes = {{"bin\\a.dll", a}, {"x=y", b}};
    const std::string text = HashListText(hashes);
    EXPECT_EQ(text, "bin\\a.dll=" + a + "\nx=y=" + b + "\n");
    const struct {
        std::string text;
        const char* reason;
    } cases[] = {
        {text, ""},
        {"", ""},
        {text.substr(0, text.size() - 1), "truncated"},
        {"a=" + a + "\na=" + b + "\n", "names a again"},
        {"=" + a + "\n", "line 1 is malformed"},
        {"a=" + a + "\nb=" + a.substr(1) + "\n", "line 2 is malformed"},
        {"a=" + std::string(64, 'A') + "\n", "malformed"},
    };
    for (const auto& c : cases) {
        std::map<std::string, std::string> read;
        std::string reason;
        SCOPED_TRACE(c.text);
        const bool ok = ParseHashList(c.text, &read, &reason);
        ExpectOutcome(ok, reason, c.reason);
        if (ok && !c.text.empty()) {
            EXPECT_EQ(read, hashes);
        }
    }
}

}  // namespace
}  // namespace velka
