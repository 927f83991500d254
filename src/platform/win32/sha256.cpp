#include "platform/sha256.h"

// windows.h first, then what BCrypt needs.
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

namespace velka {

namespace {

// One provider for the process; CNG allows creating hashes from it on any thread.
BCRYPT_ALG_HANDLE Provider() {
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE handle = nullptr;
        if (BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) {
            handle = nullptr;
        }
        return handle;
    }();
    return provider;
}

BCRYPT_HASH_HANDLE NewHash() {
    BCRYPT_HASH_HANDLE hash = nullptr;
    const BCRYPT_ALG_HANDLE provider = Provider();
    if (provider == nullptr || BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0) < 0) {
        return nullptr;
    }
    return hash;
}

}  // namespace

struct Sha256::State {
    BCRYPT_HASH_HANDLE hash = NewHash();
    bool ok = hash != nullptr;
    ~State() {
        if (hash != nullptr) BCryptDestroyHash(hash);
    }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::Update(const void* data, size_t size) {
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    while (state_->ok && size > 0) {
        // BCryptHashData takes a 32-bit length.
        const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        state_->ok = BCryptHashData(state_->hash, bytes, piece, 0) >= 0;
        bytes += piece;
        size -= piece;
    }
}

bool Sha256::Finish(Sha256Digest* digest) {
    const bool ok = state_->ok && BCryptFinishHash(state_->hash, digest->data(),
                                                   static_cast<ULONG>(digest->size()), 0) >= 0;
    // A finished CNG hash cannot take more data: start a new one.
    if (state_->hash != nullptr) BCryptDestroyHash(state_->hash);
    state_->hash = NewHash();
    state_->ok = state_->hash != nullptr;
    return ok;
}

}  // namespace velka
