// The worker pool: every task runs once, off the submitting thread and in submission order on one
// worker; shutdown waits for the running task, drops queued and late ones, and never hangs.
#include "transfer/worker_pool.h"

#include <gtest/gtest.h>

#include <future>

#include "support/fixtures.h"

namespace velka {
namespace {

using testing_support::WaitFor;

// A task that notes how often, when (by a shared count) and on which thread it ran.
struct Task {
    std::atomic<int>* clock;
    int ranAt = -1, runs = 0;
    std::thread::id thread{};
};

void RunTask(void* argument) noexcept {
    auto* task = static_cast<Task*>(argument);
    task->ranAt = (*task->clock)++;
    task->runs++;
    task->thread = std::this_thread::get_id();
}

// Holds its worker until opened.
struct Gate {
    std::atomic<bool> reached{false}, open{false};
};

void Hold(void* argument) noexcept {
    auto* gate = static_cast<Gate*>(argument);
    gate->reached = true;
    while (!gate->open) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Shuts the pool down, or only drops it, on a thread of its own; false when that hangs.
bool StopsWithin10s(std::unique_ptr<WorkerPool> pool, bool drop) {
    std::promise<void> stopped;
    std::future<void> done = stopped.get_future();
    std::thread([pool = std::move(pool), drop, stopped = std::move(stopped)]() mutable {
        drop ? pool.reset() : ShutdownPool(std::move(pool));
        stopped.set_value();
    }).detach();
    return done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

TEST(WorkerPoolTest, EveryTaskRunsOnceOnTheWorkers) {
    for (int threads : {1, 2}) {
        SCOPED_TRACE(threads);
        std::unique_ptr<WorkerPool> pool = CreatePool(threads);
        ASSERT_EQ(threads, pool->ThreadCount());
        Gate gate;
        SubmitTask(*pool, &Hold, &gate);  // the queue fills behind a held worker
        std::atomic<int> clock{0};
        std::vector<Task> tasks(400, Task{&clock});
        const size_t submitters = threads == 1 ? 1 : 4;  // one keeps the order known
        std::vector<std::thread> running;
        for (size_t s = 0; s < submitters; ++s) {
            running.emplace_back([&, s] {
                for (size_t i = s; i < tasks.size(); i += submitters) {
                    SubmitTask(*pool, &RunTask, &tasks[i]);
                }
            });
        }
        for (std::thread& submitter : running) submitter.join();
        gate.open = true;
        EXPECT_TRUE(WaitFor([&] { return clock == 400; }, 10));
        ASSERT_TRUE(StopsWithin10s(std::move(pool), false));
        for (size_t i = 0; i < tasks.size(); ++i) {
            EXPECT_EQ(1, tasks[i].runs) << i;
            EXPECT_NE(std::this_thread::get_id(), tasks[i].thread) << i;
            EXPECT_TRUE(threads > 1 || tasks[i].ranAt == static_cast<int>(i)) << i;
        }
    }
}

TEST(WorkerPoolTest, ShutdownWaitsForTheRunningTaskAndDropsTheRest) {
    std::unique_ptr<WorkerPool> pool = CreatePool(1);
    WorkerPool* raw = pool.get();  // alive until the held task ends
    Gate gate;
    std::atomic<int> clock{0};
    Task queued{&clock}, late{&clock};
    SubmitTask(*pool, &Hold, &gate);
    EXPECT_TRUE(WaitFor([&] { return gate.reached.load(); }, 10));
    SubmitTask(*pool, &RunTask, &queued);
    auto stopped = std::async(std::launch::async, [&] { ShutdownPool(std::move(pool)); });
    EXPECT_TRUE(WaitFor([&] { return raw->ShutdownRequested(); }, 10));
    SubmitTask(*raw, &RunTask, &late);
    EXPECT_EQ(std::future_status::timeout, stopped.wait_for(std::chrono::milliseconds(50)));
    gate.open = true;
    stopped.get();
    EXPECT_EQ(0, clock.load()) << "a queued or late task ran";

    // A dropped pool stops its workers as well; a null one is no pool.
    EXPECT_TRUE(StopsWithin10s(CreatePool(2), true));
    EXPECT_EQ(0, WorkerMain(nullptr));
    ShutdownPool(nullptr);
}

}  // namespace
}  // namespace velka
