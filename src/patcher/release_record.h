// The signed release record: what a publisher vouches for in one release, and its verification.
//
// A mirror carries the record as Launcher/release.txt beside the configurations. Text, LF line
// ends, fields separated by one blank:
//
//   velka-release 1
//   release <number>                 grows with every release; never accepted below the highest
//   issued <unix seconds>            UTC
//   expires <unix seconds>           UTC; refused once past (with kReleaseClockTolerance)
//   file <name> <size> <sha256>      one line per published artifact, sorted by name
//   signature <128 hex digits>       Ed25519 over every byte before this line
//
// <name> is the name the launcher knows an artifact by, whatever URL it comes from:
// "launcherconfig.txt", "serverconfig.txt", "filelist.txt", "ziplist.txt", "hashlist.txt",
// a package's name as in the package list, the launcher package's name as in
// "launcherZipInfo". The single files of the incremental update are vouched for through the
// hash list ("hashlist.txt", published beside the file list): one line "<path>=<sha256>" per game
// file, <path> as in the file list.
//
// Digests are lower-case hexadecimal. Nothing of a record is read before its signature has been
// checked.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "platform/sha256.h"

namespace velka {

inline constexpr char kReleaseRecordName[] = "release.txt";
inline constexpr char kHashListName[] = "hashlist.txt";
// Players' clocks are often wrong by hours; a record is taken this long after it expired.
inline constexpr int64_t kReleaseClockTolerance = 24 * 60 * 60;

struct ReleaseArtifact {
    uint64_t size = 0;
    std::string sha256;  // 64 lower-case hexadecimal digits
};

struct ReleaseRecord {
    uint64_t release = 0;
    int64_t issued = 0;   // seconds since 1970-01-01 UTC
    int64_t expires = 0;  // likewise
    std::map<std::string, ReleaseArtifact> files;

    // The artifact of that name, or null when the record does not vouch for it.
    const ReleaseArtifact* Find(const std::string& name) const;
};

// An Ed25519 key pair, both halves as hexadecimal text: the 32-byte seed the secret key is made
// from (64 digits) and the 32-byte public key (64 digits).
struct ReleaseKeyPair {
    std::string seedHex;
    std::string publicHex;
};

// A fresh random key pair. False only when the system's random source fails.
bool GenerateReleaseKeyPair(ReleaseKeyPair* keys);
// The pair of a seed. False with a reason when `seedHex` is not 64 hexadecimal digits.
bool ReleaseKeyPairFromSeed(const std::string& seedHex, ReleaseKeyPair* keys, std::string* reason);

// Why `name` cannot stand in a "file" line (empty, a blank or control character), or empty.
std::string CheckReleaseFileName(const std::string& name);

// The signed text of `record`. False with a reason for a bad seed or an unwritable name. The
// same record and seed give the same bytes (Ed25519 signatures are deterministic).
bool SignReleaseRecord(const ReleaseRecord& record, const std::string& seedHex, std::string* text,
                       std::string* reason);

// What a launcher holds against a record.
struct ReleaseExpectations {
    std::string publicKeyHex;      // the built-in key (ReleasePublicKeyHex)
    int64_t now = 0;               // the player's clock, seconds since 1970-01-01 UTC
    uint64_t highestAccepted = 0;  // the highest release this install has accepted
    int64_t clockTolerance = kReleaseClockTolerance;
};

// Checks, in this order, the record's form around its signature, the signature with the given
// key, the body's form, the expiry (refused when now > expires + tolerance), and the release
// number (refused when below highestAccepted). True with `record` filled when all hold; false
// with a one-line English reason for a log line otherwise (`record` is then unspecified).
bool VerifyReleaseRecord(const std::string& text, const ReleaseExpectations& expected,
                         ReleaseRecord* record, std::string* reason);

// Whether the bytes received for `name` are the ones the record vouches for: the record lists
// the name with this size and digest. False with a reason naming the artifact otherwise.
bool VerifyReleaseArtifact(const ReleaseRecord& record, const std::string& name, uint64_t size,
                           const Sha256Digest& digest, std::string* reason);

// The SHA-256 (Sha256Hex) and length of a whole file. False when it cannot be read.
bool ComputeFileSha256(const std::wstring& path, std::string* sha256, uint64_t* size);

// The hash list: "<path>=<sha256>\n" per line, in the given order.
std::string HashListText(const std::map<std::string, std::string>& hashes);
// Walks a hash list line by line: false with a reason for a list that does not end in a line end
// or a line that is not "<path>=<64 lower-case hex digits>"; otherwise `line` gets each path,
// its digest and the line's place for a reason ("hash list line <n>"), and may stop the walk by
// returning false (with `reason` set).
bool ForEachHashListLine(std::string_view text,
                         const std::function<bool(std::string_view path, const Sha256Digest& digest,
                                                  const std::string& where)>& line,
                         std::string* reason);
// Bytes of a 64-digit lower-case hexadecimal SHA-256, as the record and the hash list write it.
bool DigestFromHex(std::string_view hex, Sha256Digest* digest);
// Reads a hash list into path -> digest. False with a reason for a malformed line or a path
// given twice (the list is signed over, so any fault means a faulty publisher, not a mirror).
bool ParseHashList(const std::string& text, std::map<std::string, std::string>* hashes,
                   std::string* reason);

}  // namespace velka
