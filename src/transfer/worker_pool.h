// A small fixed pool of worker threads that run queued tasks in the order they were submitted.
//
// A task is a function pointer and an untyped argument. The pool owns the task records, never
// the arguments: whoever submits keeps each argument alive until ShutdownPool has returned.
// Task functions are noexcept; the pool does not catch for them.
//
// Threads: CreatePool and ShutdownPool belong to the owning thread; SubmitTask may be called from
// any thread, tasks included. ShutdownPool must not be called from one of the pool's tasks (it
// joins the workers).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace velka {

using PoolFunction = void (*)(void* argument) noexcept;

struct PoolTask {
    PoolFunction function = nullptr;
    void* argument = nullptr;  // not owned
};

// The pool's state is its own; it is reached only through the operations below.
class WorkerPool {
  public:
    WorkerPool() = default;
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    // Shuts the pool down as ShutdownPool does, if that has not happened yet.
    ~WorkerPool();

    // Threads actually started; fewer than asked for when the system refused a thread.
    int32_t ThreadCount() const { return threadCount; }
    // Set once the pool is being shut down.
    bool ShutdownRequested() const;

  private:
    friend std::unique_ptr<WorkerPool> CreatePool(int32_t threadCount);
    friend void SubmitTask(WorkerPool& pool, PoolFunction function, void* argument);
    friend int WorkerMain(WorkerPool* pool);
    friend void ShutdownPool(std::unique_ptr<WorkerPool> pool);

    // Idempotent: the second call finds no joinable thread and an empty queue.
    void Stop();

    // `lock` guards queue, pending and shutdown; `wakeup` is signalled once per submitted task
    // and broadcast at shutdown.
    mutable std::mutex lock;
    std::condition_variable wakeup;
    std::deque<PoolTask> queue;
    std::vector<std::thread> threads;
    int32_t threadCount = 0;
    // Tasks queued and not yet taken by a worker.
    int32_t pending = 0;
    bool shutdown = false;
};

// Starts `threadCount` workers. A thread the system refuses to start is left out (threadCount
// tells how many run); with none running, submitted tasks stay queued until shutdown.
std::unique_ptr<WorkerPool> CreatePool(int32_t threadCount);

// Appends a task at the tail of the queue and wakes one worker. A task submitted after shutdown
// began is dropped without running.
void SubmitTask(WorkerPool& pool, PoolFunction function, void* argument);

// The worker thread's loop: takes tasks from the head of the queue and runs them until shutdown.
// Returns 0; a null pool returns at once.
int WorkerMain(WorkerPool* pool);

// Stops the workers and frees the pool. Tasks already running finish (the join waits for them);
// tasks still queued are dropped without running. A null pool does nothing.
void ShutdownPool(std::unique_ptr<WorkerPool> pool);

}  // namespace velka
