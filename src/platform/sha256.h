// SHA-256 of bulk data by the platform's own implementation (OpenSSL's libcrypto on POSIX, CNG
// on Windows); both use the CPU's SHA instructions where it has them, which a portable C
// implementation would not.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace velka {

using Sha256Digest = std::array<uint8_t, 32>;

// An incremental hash: feed the bytes in any number of pieces (a download's write callback can
// feed each piece as it arrives), then take the digest. One object per stream; an object may be
// moved between threads but not used by two at once.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const void* data, size_t size);
    // The digest of everything fed since construction or the previous Finish, after which the
    // object starts afresh. False only when the platform's hash could not be set up or failed;
    // `digest` is then unspecified.
    bool Finish(Sha256Digest* digest);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// 64 lower-case hexadecimal digits.
std::string Sha256Hex(const Sha256Digest& digest);

// The digest of `size` bytes at `data`, as Sha256Hex; empty on a platform failure.
std::string Sha256OfBytes(const void* data, size_t size);

// The digest and length of a whole file. False when it cannot be read or hashed.
bool Sha256OfFile(const std::wstring& path, Sha256Digest* digest, uint64_t* size);

}  // namespace velka
