#include "patcher/release_record.h"

#include <sodium.h>

#include <cstdio>
#include <vector>

#include "platform/fs.h"
#include "util/dates.h"

namespace velka {

namespace {

constexpr char kFormatLine[] = "velka-release 1";
constexpr char kSignaturePrefix[] = "signature ";

bool Fail(std::string* reason, const std::string& text) {
    *reason = text;
    return false;
}

bool IsHex(const std::string& text, size_t digits) {
    if (text.size() != digits) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

bool IsLowerHex(const std::string& text, size_t digits) {
    if (!IsHex(text, digits)) return false;
    for (char c : text) {
        if (c >= 'A' && c <= 'F') return false;
    }
    return true;
}

// Bytes of a hexadecimal text of exactly 2 * size digits.
bool FromHex(const std::string& hex, unsigned char* bytes, size_t size) {
    if (!IsHex(hex, size * 2)) return false;
    return sodium_hex2bin(bytes, size, hex.data(), hex.size(), nullptr, nullptr, nullptr) == 0;
}

std::string ToHex(const unsigned char* bytes, size_t size) {
    std::vector<char> hex(size * 2 + 1);
    sodium_bin2hex(hex.data(), hex.size(), bytes, size);
    return std::string(hex.data(), size * 2);
}

// A decimal number as the record writes it: digits only, no leading zero, within range.
bool ParseNumber(const std::string& text, uint64_t limit, uint64_t* value) {
    if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return false;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (result > (limit - digit) / 10) return false;
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (true) {
        const size_t blank = line.find(' ', start);
        fields.push_back(line.substr(start, blank - start));
        if (blank == std::string::npos) return fields;
        start = blank + 1;
    }
}

bool ParseBody(const std::string& body, ReleaseRecord* record, std::string* reason) {
    *record = ReleaseRecord();
    bool haveRelease = false, haveIssued = false, haveExpires = false;
    size_t start = 0;
    size_t lineNumber = 0;
    while (start < body.size()) {
        const size_t end = body.find('\n', start);  // the body ends in "\n" (checked)
        const std::string line = body.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        if (lineNumber == 1) {
            if (line != kFormatLine) return Fail(reason, "not a release record of format 1");
            continue;
        }
        const std::vector<std::string> f = Fields(line);
        const uint64_t maxTime = static_cast<uint64_t>(INT64_MAX);
        uint64_t number = 0;
        if (f[0] == "release" || f[0] == "issued" || f[0] == "expires") {
            bool* seen =
                f[0] == "release" ? &haveRelease : (f[0] == "issued" ? &haveIssued : &haveExpires);
            if (*seen) return Fail(reason, where + f[0] + " given twice");
            if (f.size() != 2 ||
                !ParseNumber(f[1], f[0] == "release" ? UINT64_MAX : maxTime, &number)) {
                return Fail(reason, where + "malformed " + f[0]);
            }
            *seen = true;
            if (f[0] == "release") record->release = number;
            if (f[0] == "issued") record->issued = static_cast<int64_t>(number);
            if (f[0] == "expires") record->expires = static_cast<int64_t>(number);
        } else if (f[0] == "file") {
            ReleaseArtifact artifact;
            if (f.size() != 4 || !CheckReleaseFileName(f[1]).empty() ||
                !ParseNumber(f[2], UINT64_MAX, &artifact.size) || !IsLowerHex(f[3], 64)) {
                return Fail(reason, where + "malformed file line");
            }
            artifact.sha256 = f[3];
            if (!record->files.emplace(f[1], artifact).second) {
                return Fail(reason, where + "file " + f[1] + " given twice");
            }
        } else {
            return Fail(reason, where + "unknown field \"" + f[0] + "\"");
        }
    }
    if (!haveRelease || !haveIssued || !haveExpires) {
        return Fail(reason, "release, issued or expires missing");
    }
    if (record->expires < record->issued) return Fail(reason, "expires before it was issued");
    return true;
}

}  // namespace

const ReleaseArtifact* ReleaseRecord::Find(const std::string& name) const {
    const auto found = files.find(name);
    return found == files.end() ? nullptr : &found->second;
}

bool GenerateReleaseKeyPair(ReleaseKeyPair* keys) {
    if (sodium_init() < 0) return false;
    unsigned char seed[crypto_sign_SEEDBYTES];
    randombytes_buf(seed, sizeof(seed));
    std::string unused;
    const bool ok = ReleaseKeyPairFromSeed(ToHex(seed, sizeof(seed)), keys, &unused);
    sodium_memzero(seed, sizeof(seed));
    return ok;
}

namespace {

// Expands a secret key's hex seed into the Ed25519 key pair; the caller wipes secretKey.
bool KeyPairFromSeedHex(const std::string& seedHex,
                        unsigned char (&publicKey)[crypto_sign_PUBLICKEYBYTES],
                        unsigned char (&secretKey)[crypto_sign_SECRETKEYBYTES],
                        std::string* reason) {
    unsigned char seed[crypto_sign_SEEDBYTES];
    if (sodium_init() < 0) return Fail(reason, "libsodium cannot start");
    if (!FromHex(seedHex, seed, sizeof(seed))) {
        return Fail(reason, "a secret key is 64 hexadecimal digits");
    }
    crypto_sign_seed_keypair(publicKey, secretKey, seed);
    sodium_memzero(seed, sizeof(seed));
    return true;
}

}  // namespace

bool ReleaseKeyPairFromSeed(const std::string& seedHex, ReleaseKeyPair* keys, std::string* reason) {
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    if (!KeyPairFromSeedHex(seedHex, publicKey, secretKey, reason)) return false;
    keys->seedHex = seedHex;
    keys->publicHex = ToHex(publicKey, sizeof(publicKey));
    sodium_memzero(secretKey, sizeof(secretKey));
    return true;
}

std::string CheckReleaseFileName(const std::string& name) {
    if (name.empty()) return "an empty name";
    for (char c : name) {
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) {
            return "\"" + name + "\" holds a blank or a control character";
        }
    }
    return std::string();
}

bool SignReleaseRecord(const ReleaseRecord& record, const std::string& seedHex, std::string* text,
                       std::string* reason) {
    std::string body = std::string(kFormatLine) + "\n";
    body += "release " + std::to_string(record.release) + "\n";
    body += "issued " + std::to_string(record.issued) + "\n";
    body += "expires " + std::to_string(record.expires) + "\n";
    for (const auto& [name, artifact] : record.files) {
        const std::string problem = CheckReleaseFileName(name);
        if (!problem.empty()) return Fail(reason, "cannot sign for " + problem);
        body += "file " + name + " " + std::to_string(artifact.size) + " " + artifact.sha256 + "\n";
    }
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    unsigned char signature[crypto_sign_BYTES];
    if (!KeyPairFromSeedHex(seedHex, publicKey, secretKey, reason)) return false;
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(body.data()),
                         body.size(), secretKey);
    sodium_memzero(secretKey, sizeof(secretKey));
    *text = body + kSignaturePrefix + ToHex(signature, sizeof(signature)) + "\n";
    return true;
}

bool VerifyReleaseRecord(const std::string& text, const ReleaseExpectations& expected,
                         ReleaseRecord* record, std::string* reason) {
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char signature[crypto_sign_BYTES];
    if (sodium_init() < 0) return Fail(reason, "libsodium cannot start");
    if (!FromHex(expected.publicKeyHex, publicKey, sizeof(publicKey))) {
        return Fail(reason, "the launcher's release key is not 64 hexadecimal digits");
    }
    // The signature line is the last; a record cut short anywhere loses it or its end.
    const std::string prefix = std::string("\n") + kSignaturePrefix;
    const size_t at = text.rfind(prefix);
    const size_t hexStart = at + prefix.size();
    if (at == std::string::npos || text.size() != hexStart + crypto_sign_BYTES * 2 + 1 ||
        text.back() != '\n' ||
        !FromHex(text.substr(hexStart, crypto_sign_BYTES * 2), signature, sizeof(signature))) {
        return Fail(reason, "the release record is truncated or has no signature line");
    }
    const size_t bodySize = at + 1;
    if (crypto_sign_verify_detached(signature, reinterpret_cast<const unsigned char*>(text.data()),
                                    bodySize, publicKey) != 0) {
        return Fail(reason,
                    "the release record's signature does not verify with this "
                    "launcher's key");
    }
    std::string problem;
    if (!ParseBody(text.substr(0, bodySize), record, &problem)) {
        return Fail(reason, "the signed release record is malformed: " + problem);
    }
    if (expected.now > record->expires &&
        expected.now - record->expires > expected.clockTolerance) {
        return Fail(reason, "the release record expired on " + UtcTimeString(record->expires) +
                                "; the computer's clock reads " + UtcTimeString(expected.now) +
                                " (check the system date)");
    }
    if (record->release < expected.highestAccepted) {
        return Fail(reason, "the release record holds release " + std::to_string(record->release) +
                                ", older than release " + std::to_string(expected.highestAccepted) +
                                " accepted before (a rollback)");
    }
    return true;
}

bool VerifyReleaseArtifact(const ReleaseRecord& record, const std::string& name, uint64_t size,
                           const Sha256Digest& digest, std::string* reason) {
    const ReleaseArtifact* artifact = record.Find(name);
    if (artifact == nullptr) return Fail(reason, "the release record does not list " + name);
    if (artifact->size != size) {
        return Fail(reason, name + " has " + std::to_string(size) + " bytes, the release record " +
                                std::to_string(artifact->size));
    }
    if (artifact->sha256 != Sha256Hex(digest)) {
        return Fail(reason, name + " does not have the SHA-256 of the release record");
    }
    return true;
}

bool ComputeFileSha256(const std::wstring& path, std::string* sha256, uint64_t* size) {
    Sha256Digest digest;
    if (!Sha256OfFile(path, &digest, size)) return false;
    *sha256 = Sha256Hex(digest);
    return true;
}

std::string HashListText(const std::map<std::string, std::string>& hashes) {
    std::string text;
    for (const auto& [path, digest] : hashes) text += path + "=" + digest + "\n";
    return text;
}

bool DigestFromHex(std::string_view hex, Sha256Digest* digest) {
    if (hex.size() != digest->size() * 2) return false;
    auto value = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;  // lower case only
    };
    for (size_t i = 0; i < digest->size(); ++i) {
        const int high = value(hex[2 * i]);
        const int low = value(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        (*digest)[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

bool ForEachHashListLine(std::string_view text,
                         const std::function<bool(std::string_view path, const Sha256Digest& digest,
                                                  const std::string& where)>& line,
                         std::string* reason) {
    if (!text.empty() && text.back() != '\n') return Fail(reason, "the hash list is truncated");
    size_t start = 0;
    size_t lineNumber = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        const std::string_view current = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        const size_t equals = current.rfind('=');
        const std::string where = "hash list line " + std::to_string(lineNumber);
        Sha256Digest digest{};
        if (equals == std::string_view::npos || equals == 0 ||
            !DigestFromHex(current.substr(equals + 1), &digest)) {
            return Fail(reason, where + " is malformed");
        }
        if (!line(current.substr(0, equals), digest, where)) return false;
    }
    return true;
}

bool ParseHashList(const std::string& text, std::map<std::string, std::string>* hashes,
                   std::string* reason) {
    hashes->clear();
    return ForEachHashListLine(
        text,
        [&](std::string_view path, const Sha256Digest& digest, const std::string& where) {
            if (hashes->emplace(std::string(path), Sha256Hex(digest)).second) return true;
            return Fail(reason, where + " names " + std::string(path) + " again");
        },
        reason);
}

}  // namespace velka
