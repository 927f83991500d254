// Work on a list by two threads whose results are taken in list order: the local file check
// reads and sums files on both cores while every mark, counter and status text still follows
// the list exactly as a single pass would.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace velka {

// Calls compute(i) for every i in [0, count), on the calling thread and one helper thread, and
// apply(i, result) on the calling thread in increasing i. At most `window` results wait to be
// applied, so memory does not grow with `count`. compute must be safe to run for two indices at
// once and must not throw; apply runs on the calling thread only, after every earlier apply.
// Without a helper thread (the system refused one) everything runs on the calling thread.
template <typename Result, typename Compute, typename Apply>
void ComputeAheadInOrder(size_t count, size_t window, Compute compute, Apply apply) {
    window = std::max<size_t>(1, std::min(window, count));
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::optional<Result>> slots(window);
    size_t next = 0;     // the next index nobody has taken yet
    size_t applied = 0;  // indices below this are applied and their slots free
    bool stop = false;
    const auto mayTake = [&] { return next < count && next < applied + window; };
    // Takes one index under the lock, computes it outside, stores it under the lock again.
    const auto takeOne = [&](std::unique_lock<std::mutex>& guard) {
        const size_t index = next++;
        guard.unlock();
        Result result = compute(index);
        guard.lock();
        slots[index % window] = std::move(result);
        changed.notify_all();
    };

    std::thread helper;
    // Joined on every way out, an exception from apply included.
    struct Joiner {
        std::thread& thread;
        std::mutex& lock;
        std::condition_variable& changed;
        bool& stop;
        ~Joiner() {
            if (!thread.joinable()) return;
            {
                std::lock_guard<std::mutex> guard(lock);
                stop = true;
            }
            changed.notify_all();
            thread.join();
        }
    } joiner{helper, lock, changed, stop};
    if (count > 1) {
        try {
            helper = std::thread([&] {
                std::unique_lock<std::mutex> guard(lock);
                for (;;) {
                    changed.wait(guard, [&] { return stop || mayTake() || next >= count; });
                    if (stop || next >= count) return;
                    takeOne(guard);
                }
            });
        } catch (const std::system_error&) {
            // Alone, then.
        }
    }

    for (size_t i = 0; i < count; ++i) {
        std::unique_lock<std::mutex> guard(lock);
        // Rather than wait for the helper, take further work while this index is in flight.
        while (!slots[i % window]) {
            if (mayTake()) {
                takeOne(guard);
            } else {
                changed.wait(guard);
            }
        }
        Result result = std::move(*slots[i % window]);
        slots[i % window].reset();
        applied = i + 1;
        changed.notify_all();
        guard.unlock();
        apply(i, result);
    }
}

}  // namespace velka
