#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The run's worker threads, started once and joined when the pool goes away. Every
// parallel step of the run (the reference counts, the loci of the gene pass, the
// normalisation pass, the blocks of a large gene's E-step) is one forEach over item
// indices, while the calling thread waits.
class ThreadPool {
public:
    // A body's slot: 0 on the calling thread, 1 ... workers() on the workers, so that
    // per-thread state can live in a vector of slots() entries.
    using Body = std::function<void(std::size_t item, unsigned slot)>;

    // No worker for one thread or fewer: forEach then runs on the calling thread.
    explicit ThreadPool(unsigned nrThreads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    unsigned workers() const { return static_cast<unsigned>(threads.size()); }
    unsigned slots() const { return workers() + 1; }

    // body(0) ... body(n - 1), each once, taken by the workers in index order; returns
    // once every call has finished, and allocates nothing. On workers, a call that throws
    // is reported on standard error at once and no further item is taken; forEach then
    // raises RunAborted once the calls under way have finished. Without workers the calls
    // run here, in order, and a failure propagates as it is. A body must not call forEach.
    void forEach(std::size_t n, const Body& body);

private:
    void stop();
    void work(unsigned slot);
    void take(std::unique_lock<std::mutex>& lock, unsigned slot);

    std::vector<std::thread> threads;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable done;
    const Body* job = nullptr;
    std::size_t jobSize = 0;
    std::size_t next = 0;
    std::size_t running = 0;
    unsigned long generation = 0;
    bool failed = false;
    bool stopping = false;
};

// A step split into one part a worker of the pool, or a single part on the calling
// thread without a pool or without workers.
inline unsigned partsFor(const ThreadPool* pool)
{
    return pool != nullptr && pool->workers() > 0 ? pool->workers() : 1;
}
// body(0) ... body(parts - 1): on the pool when there is one, here otherwise.
inline void forEachPart(ThreadPool* pool, unsigned parts, const ThreadPool::Body& body)
{
    if (pool != nullptr)
        pool->forEach(parts, body);
    else
        for (unsigned part = 0; part < parts; ++part)
            body(part, 0);
}
