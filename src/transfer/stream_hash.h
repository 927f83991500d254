// The SHA-256 of a download, computed beside the transfer: the receiving thread only copies each
// piece into a block (far cheaper than hashing it) and a thread of the hash's own hashes the
// blocks in order, so hashing does not slow the transfer down on a machine with a core to spare.
//
// At most kQueuedBlocks blocks wait (a few hundred KiB each); a receiver faster than the hash
// waits for one to be free. A stream shorter than one block starts no thread: it is hashed at
// Finish. When no thread can be started the blocks are hashed on the caller's thread.
//
// One object per stream; Update and Finish are called by one thread (the transfer's).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sha256.h"

namespace velka {

class StreamHash {
  public:
    StreamHash() = default;
    ~StreamHash();
    StreamHash(const StreamHash&) = delete;
    StreamHash& operator=(const StreamHash&) = delete;

    void Update(const void* data, size_t size);
    // The digest of everything fed; the object is spent afterwards. False when the platform's
    // hash failed.
    bool Finish(Sha256Digest* digest);

  private:
    static constexpr size_t kBlockBytes = 256 * 1024;
    static constexpr size_t kQueuedBlocks = 8;

    void Submit();
    void HashBlocks();
    void Stop();

    Sha256 hash_;  // the hashing thread's while it runs
    std::vector<char> filling_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::vector<char>> queue_;  // full blocks in stream order
    std::vector<std::vector<char>> spare_;
    bool finishing_ = false;
    std::thread thread_;
};

}  // namespace velka
