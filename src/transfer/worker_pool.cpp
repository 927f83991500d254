#include "transfer/worker_pool.h"

#include <system_error>

namespace velka {

void WorkerPool::Stop() {
    {
        std::lock_guard<std::mutex> guard(lock);
        shutdown = true;
    }
    wakeup.notify_all();
    for (std::thread& thread : threads) {
        if (thread.joinable()) thread.join();
    }
    threads.clear();
    std::lock_guard<std::mutex> guard(lock);
    queue.clear();
    pending = 0;
}

WorkerPool::~WorkerPool() {
    Stop();
}

bool WorkerPool::ShutdownRequested() const {
    std::lock_guard<std::mutex> guard(lock);
    return shutdown;
}

std::unique_ptr<WorkerPool> CreatePool(int32_t threadCount) {
    auto pool = std::make_unique<WorkerPool>();
    for (int32_t i = 0; i < threadCount; ++i) {
        try {
            pool->threads.emplace_back(&WorkerMain, pool.get());
        } catch (const std::system_error&) {
            // Out of threads: run with those that started.
            break;
        }
    }
    pool->threadCount = static_cast<int32_t>(pool->threads.size());
    return pool;
}

void SubmitTask(WorkerPool& pool, PoolFunction function, void* argument) {
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        if (pool.shutdown) return;
        pool.queue.push_back(PoolTask{function, argument});
        ++pool.pending;
    }
    pool.wakeup.notify_one();
}

int WorkerMain(WorkerPool* pool) {
    if (!pool) return 0;
    for (;;) {
        PoolTask task;
        {
            std::unique_lock<std::mutex> guard(pool->lock);
            while (pool->pending == 0) {
                if (pool->shutdown) return 0;
                pool->wakeup.wait(guard);
            }
            // Shutdown wins over queued work: the owner wants the threads back now.
            if (pool->shutdown) return 0;
            --pool->pending;
            task = pool->queue.front();
            pool->queue.pop_front();
        }
        task.function(task.argument);
    }
}

void ShutdownPool(std::unique_ptr<WorkerPool> pool) {
    if (pool) pool->Stop();
}

}  // namespace velka
