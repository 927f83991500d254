// The release record: the raw text as a mirror delivers it (odd first byte), or a body signed
// here with a fixed key so the fields behind the signature are reached too (even first byte).
#include "patcher/release_record.h"

#include <sodium.h>

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || sodium_init() < 0) return 0;
    static unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    static unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    static char publicHex[crypto_sign_PUBLICKEYBYTES * 2 + 1];
    static bool keyed = false;
    if (!keyed) {
        const unsigned char seed[crypto_sign_SEEDBYTES] = {7};
        crypto_sign_seed_keypair(publicKey, secretKey, seed);
        sodium_bin2hex(publicHex, sizeof(publicHex), publicKey, sizeof(publicKey));
        keyed = true;
    }
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] % 2 == 0) {
        unsigned char signature[crypto_sign_BYTES];
        char hex[crypto_sign_BYTES * 2 + 1];
        const auto* body = reinterpret_cast<const unsigned char*>(text.data());
        crypto_sign_detached(signature, nullptr, body, text.size(), secretKey);
        sodium_bin2hex(hex, sizeof(hex), signature, sizeof(signature));
        text += std::string("signature ") + hex + "\n";
    }
    velka::ReleaseExpectations expected;
    expected.publicKeyHex = publicHex;
    expected.now = 1700000000;
    velka::ReleaseRecord record;
    std::string reason;
    velka::VerifyReleaseRecord(text, expected, &record, &reason);
    return 0;
}
