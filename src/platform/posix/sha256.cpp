#include "platform/sha256.h"

#include <openssl/evp.h>

namespace velka {

struct Sha256::State {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool ok = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
    ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::Update(const void* data, size_t size) {
    if (state_->ok && size > 0) state_->ok = EVP_DigestUpdate(state_->context, data, size) == 1;
}

bool Sha256::Finish(Sha256Digest* digest) {
    unsigned int length = 0;
    const bool ok = state_->ok &&
                    EVP_DigestFinal_ex(state_->context, digest->data(), &length) == 1 &&
                    length == digest->size();
    state_->ok = EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) == 1;
    return ok;
}

}  // namespace velka
