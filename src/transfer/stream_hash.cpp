#include "transfer/stream_hash.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace velka {

StreamHash::~StreamHash() {
    Stop();
}

void StreamHash::Update(const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        if (filling_.capacity() < kBlockBytes) filling_.reserve(kBlockBytes);
        const size_t take = std::min(size, kBlockBytes - filling_.size());
        filling_.insert(filling_.end(), bytes, bytes + take);
        bytes += take;
        size -= take;
        if (filling_.size() == kBlockBytes) Submit();
    }
}

void StreamHash::Submit() {
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread([this] { HashBlocks(); });
        } catch (const std::system_error&) {
            hash_.Update(filling_.data(), filling_.size());  // no thread: hash it here
            filling_.clear();
            return;
        }
    }
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return queue_.size() < kQueuedBlocks; });
    queue_.push_back(std::move(filling_));
    filling_ = std::vector<char>();
    if (!spare_.empty()) {
        filling_ = std::move(spare_.back());
        spare_.pop_back();
    }
    changed_.notify_all();
}

void StreamHash::HashBlocks() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return !queue_.empty() || finishing_; });
        if (queue_.empty()) return;
        std::vector<char> block = std::move(queue_.front());
        queue_.pop_front();
        guard.unlock();
        hash_.Update(block.data(), block.size());
        block.clear();
        guard.lock();
        spare_.push_back(std::move(block));
        changed_.notify_all();
    }
}

void StreamHash::Stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        finishing_ = true;
        changed_.notify_all();
    }
    thread_.join();  // the queue is hashed to its end first
}

bool StreamHash::Finish(Sha256Digest* digest) {
    Stop();
    hash_.Update(filling_.data(), filling_.size());
    filling_.clear();
    return hash_.Finish(digest);
}

}  // namespace velka
