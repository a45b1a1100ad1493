#pragma once

#include <exception>
#include <functional>
#include <mutex>

#include <boost/asio/io_service.hpp>

// Raised once the reason for stopping has been printed on standard error; the run then
// ends with exit status 1. Workers raise it instead of exiting the process themselves,
// so no thread tears down state that another thread is still using.
struct RunAborted {};

// One pool phase of the run: every task is queued before the first worker starts, so
// workers never wait for work, and the pool is done once its queue is empty. A task that
// throws is reported on standard error at once and stops the queue; run() then raises
// RunAborted on the calling thread after every worker has been joined, so a failure on a
// worker ends the run with exit status 1 instead of terminating the process.
class TaskPool {
public:
    void post(std::function<void()> task);
    void run(int nrThreads);

private:
    void fail(std::exception_ptr failure);

    boost::asio::io_service service;
    std::mutex failureMutex;
    bool failed = false;
};

// The one line on standard error for a failure that ends the run (nothing for RunAborted,
// whose reason has already been printed).
void reportFailure(std::exception_ptr failure);
