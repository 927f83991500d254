#include "transfer/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace velka {
namespace {

constexpr std::chrono::seconds kPatience{10};

// A door tasks can wait at; the test opens it.
class Gate {
  public:
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void Pass() {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
    }
    // True once a task waits at (or has passed) the gate.
    bool WaitForArrival() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kPatience, [this] { return arrived_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    bool arrived_ = false;
};

void PassGate(void* gate) noexcept {
    static_cast<Gate*>(gate)->Pass();
}

// Records the order in which tasks ran and lets the test wait for a number of them.
struct Journal {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> order;
    std::set<std::thread::id> threads;

    bool WaitForCount(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kPatience, [&] { return order.size() >= count; });
    }
};

struct JournalTask {
    Journal* journal;
    int index;
};

void WriteJournal(void* argument) noexcept {
    auto* task = static_cast<JournalTask*>(argument);
    std::lock_guard<std::mutex> lock(task->journal->mutex);
    task->journal->order.push_back(task->index);
    task->journal->threads.insert(std::this_thread::get_id());
    task->journal->changed.notify_all();
}

std::vector<JournalTask> MakeTasks(Journal* journal, int count) {
    std::vector<JournalTask> tasks;
    for (int i = 0; i < count; ++i) tasks.push_back(JournalTask{journal, i});
    return tasks;
}

// Runs ShutdownPool on its own thread so that a deadlock fails the test instead of hanging it.
bool ShutdownWithin(std::unique_ptr<WorkerPool> pool, std::chrono::seconds limit) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread stopper([pool = std::move(pool), done = std::move(done)]() mutable {
        ShutdownPool(std::move(pool));
        done.set_value();
    });
    if (finished.wait_for(limit) != std::future_status::ready) {
        stopper.detach();
        return false;
    }
    stopper.join();
    return true;
}

TEST(WorkerPoolTest, OneThreadRunsTasksInSubmissionOrder) {
    std::unique_ptr<WorkerPool> pool = CreatePool(1);
    ASSERT_EQ(pool->ThreadCount(), 1);
    Gate gate;
    Journal journal;
    std::vector<JournalTask> tasks = MakeTasks(&journal, 20);
    // Holding the only worker makes all twenty wait in the queue together.
    SubmitTask(*pool, &PassGate, &gate);
    ASSERT_TRUE(gate.WaitForArrival());
    for (JournalTask& task : tasks) SubmitTask(*pool, &WriteJournal, &task);
    gate.Open();

    ASSERT_TRUE(journal.WaitForCount(tasks.size())) << "tasks did not all run";
    ASSERT_TRUE(ShutdownWithin(std::move(pool), kPatience));
    std::vector<int> expected;
    for (int i = 0; i < 20; ++i) expected.push_back(i);
    EXPECT_EQ(journal.order, expected);
}

TEST(WorkerPoolTest, TwoThreadsRunEveryTaskOnceFromManySubmitters) {
    std::unique_ptr<WorkerPool> pool = CreatePool(2);
    ASSERT_EQ(pool->ThreadCount(), 2);
    Journal journal;
    std::vector<JournalTask> tasks = MakeTasks(&journal, 400);

    std::vector<std::thread> submitters;
    for (int s = 0; s < 4; ++s) {
        submitters.emplace_back([&, s] {
            for (size_t i = s; i < tasks.size(); i += 4) {
                SubmitTask(*pool, &WriteJournal, &tasks[i]);
            }
        });
    }
    for (std::thread& submitter : submitters) submitter.join();

    ASSERT_TRUE(journal.WaitForCount(tasks.size()));
    ASSERT_TRUE(ShutdownWithin(std::move(pool), kPatience));
    std::multiset<int> ran(journal.order.begin(), journal.order.end());
    ASSERT_EQ(ran.size(), tasks.size());
    for (int i = 0; i < static_cast<int>(tasks.size()); ++i) {
        EXPECT_EQ(ran.count(i), 1u) << "task " << i;
    }
    EXPECT_LE(journal.threads.size(), 2u);
    EXPECT_EQ(journal.threads.count(std::this_thread::get_id()), 0u) << "ran on the submitter";
}

TEST(WorkerPoolTest, ShutdownWaitsForRunningTaskAndDropsQueuedOnes) {
    std::unique_ptr<WorkerPool> pool = CreatePool(1);
    WorkerPool* raw = pool.get();
    Gate gate;
    Journal journal;
    std::vector<JournalTask> tasks = MakeTasks(&journal, 5);
    SubmitTask(*pool, &PassGate, &gate);
    ASSERT_TRUE(gate.WaitForArrival());
    for (JournalTask& task : tasks) SubmitTask(*pool, &WriteJournal, &task);

    std::atomic<bool> returned{false};
    std::thread stopper([&returned, pool = std::move(pool)]() mutable {
        ShutdownPool(std::move(pool));
        returned = true;
    });
    // The pool stays alive until the running task ends, so `raw` is valid here.
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!raw->ShutdownRequested() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(raw->ShutdownRequested());
    JournalTask late{&journal, 99};
    SubmitTask(*raw, &WriteJournal, &late);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned) << "shutdown returned while a task was still running";
    gate.Open();
    stopper.join();

    EXPECT_TRUE(returned);
    EXPECT_TRUE(journal.order.empty()) << "a queued or late task ran after shutdown";
}

TEST(WorkerPoolTest, IdleAndFreshPoolsShutDownWithoutDeadlock) {
    // Fresh pools catch a worker that checks the flag only after it starts waiting; idle ones a
    // shutdown that wakes nobody.
    for (int round = 0; round < 50; ++round) {
        std::unique_ptr<WorkerPool> pool = CreatePool(2);
        if (round % 2 == 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(ShutdownWithin(std::move(pool), kPatience)) << "round " << round;
    }
}

TEST(WorkerPoolTest, NullAndDroppedPoolsAreHarmless) {
    EXPECT_EQ(WorkerMain(nullptr), 0);
    ShutdownPool(nullptr);

    // A pool dropped without ShutdownPool still stops its threads.
    Journal journal;
    std::vector<JournalTask> tasks = MakeTasks(&journal, 3);
    {
        std::unique_ptr<WorkerPool> pool = CreatePool(2);
        for (JournalTask& task : tasks) SubmitTask(*pool, &WriteJournal, &task);
        ASSERT_TRUE(journal.WaitForCount(tasks.size()));
    }
    EXPECT_EQ(journal.order.size(), tasks.size());
}

}  // namespace
}  // namespace velka
