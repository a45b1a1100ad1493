#include "util/ThreadPool.h"

#include <exception>

#include "util/Errors.h"

ThreadPool::ThreadPool(unsigned nrThreads)
{
    if (nrThreads <= 1)
        return;
    try {
        threads.reserve(nrThreads);
        for (unsigned i = 0; i < nrThreads; ++i)
            threads.emplace_back([this, slot = i + 1] { work(slot); });
    } catch (...) {
        stop();
        throw;
    }
}

ThreadPool::~ThreadPool()
{
    stop();
}

void ThreadPool::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    for (std::thread& thread : threads)
        thread.join();
    threads.clear();
}

void ThreadPool::forEach(std::size_t n, const Body& body)
{
    if (threads.empty()) {
        for (std::size_t i = 0; i < n; ++i)
            body(i, 0);
        return;
    }
    std::unique_lock<std::mutex> lock(mutex);
    job = &body;
    jobSize = n;
    next = 0;
    failed = false;
    ++generation;
    wake.notify_all();
    done.wait(lock, [this] { return next >= jobSize && running == 0; });
    job = nullptr;
    if (failed)
        throw RunAborted{};
}

void ThreadPool::work(unsigned slot)
{
    std::unique_lock<std::mutex> lock(mutex);
    unsigned long seen = 0;
    while (true) {
        wake.wait(lock, [&] { return stopping || (job != nullptr && generation != seen); });
        if (stopping)
            return;
        seen = generation;
        take(lock, slot);
    }
}

// Takes items of the current job until none is left; the lock is held only between calls.
void ThreadPool::take(std::unique_lock<std::mutex>& lock, unsigned slot)
{
    const Body& body = *job;
    while (next < jobSize) {
        const std::size_t item = next++;
        ++running;
        lock.unlock();
        try {
            body(item, slot);
        } catch (...) {
            lock.lock();
            if (!failed) {
                failed = true;
                reportFailure(std::current_exception());
            }
            next = jobSize;
            lock.unlock();
        }
        lock.lock();
        --running;
    }
    if (running == 0)
        done.notify_all();
}
