// The worker pool: every task runs once, off the submitting thread and in submission order on one
// worker; shutdown waits for the running task, drops queued and late ones, and never hangs.
#include "transfer/worker_pool.h"

#include <gtest/gtest.h>

#include <future>

#include "support/fixtures.h"

namespace velka {
namespace {

using testing_support::WaitFor;

// Notes how often, when (by a shared count) and where it ran; a gate holds its worker until open.
struct Task {
    std::atomic<int>* clock;
    std::atomic<bool>* gate = nullptr;
    int ranAt = -1, runs = 0;
    std::thread::id thread{};
};

void RunTask(void* argument) noexcept {
    auto* task = static_cast<Task*>(argument);
    task->ranAt = (*task->clock)++;
    while (task->gate && !*task->gate) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    task->runs++;
    task->thread = std::this_thread::get_id();
}

// Runs `stop` on a thread of its own; true once it returned, false when it hangs for 10 s.
bool Returns(std::function<void()> stop) {
    auto returned = std::make_shared<std::atomic<bool>>(false);
    std::thread([stop, returned] { stop(), *returned = true; }).detach();
    return WaitFor([&] { return returned->load(); }, 10);
}

TEST(WorkerPoolTest, RunsEveryTaskOnceAndShutsDownCleanly) {
    for (int threads : {1, 2}) {
        std::unique_ptr<WorkerPool> pool = CreatePool(threads);
        std::atomic<int> clock{0};
        std::atomic<bool> open{false};
        Task hold{&clock, &open};
        SubmitTask(*pool, &RunTask, &hold);  // the queue fills behind a held worker
        std::vector<Task> tasks(400, Task{&clock});
        for (Task& task : tasks) SubmitTask(*pool, &RunTask, &task);
        open = true;
        EXPECT_TRUE(WaitFor([&] { return clock == 401; }, 10));
        ASSERT_TRUE(Returns([&] { ShutdownPool(std::move(pool)); }));
        for (size_t i = 0; i < tasks.size(); ++i) {
            const Task& t = tasks[i];
            EXPECT_TRUE(t.runs == 1 && t.thread != std::this_thread::get_id() &&
                        (threads > 1 || t.ranAt == static_cast<int>(i) + 1))
                << threads << " threads, task " << i << ": " << t.runs << " runs, at " << t.ranAt;
        }
    }

    // Shutdown waits for the running task and drops the queued one and one submitted meanwhile.
    std::unique_ptr<WorkerPool> pool = CreatePool(1);
    WorkerPool* raw = pool.get();  // alive until the held task ends
    std::atomic<int> clock{0};
    std::atomic<bool> open{false};
    Task hold{&clock, &open}, queued{&clock}, late{&clock};
    SubmitTask(*pool, &RunTask, &hold);
    EXPECT_TRUE(WaitFor([&] { return clock == 1; }, 10));
    SubmitTask(*pool, &RunTask, &queued);
    auto stopped = std::async(std::launch::async, [&] { ShutdownPool(std::move(pool)); });
    EXPECT_TRUE(WaitFor([&] { return raw->ShutdownRequested(); }, 10));
    SubmitTask(*raw, &RunTask, &late);
    EXPECT_EQ(std::future_status::timeout, stopped.wait_for(std::chrono::milliseconds(50)));
    open = true;
    stopped.get();
    EXPECT_EQ(1, clock.load()) << "a queued or late task ran";

    // A dropped pool stops its workers as well; a null one is no pool.
    EXPECT_TRUE(Returns([] { CreatePool(2); }));
    EXPECT_EQ(0, WorkerMain(nullptr));
    ShutdownPool(nullptr);
}

}  // namespace
}  // namespace velka
