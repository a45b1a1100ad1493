#include "util/TaskPool.h"

#include <iostream>
#include <new>

#include <boost/thread/thread.hpp>

#include "util/Errors.h"

void reportFailure(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const RunAborted&) {
    } catch (const KestroveException& e) {
        std::cerr << e.what() << std::endl;
    } catch (const std::bad_alloc&) {
        std::cerr << KestroveException(ERR_MEMORY_ALLOCATION).what() << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "Error: " << e.what() << std::endl;
    } catch (...) {
        std::cerr << "Error: unexpected failure" << std::endl;
    }
}

void TaskPool::post(std::function<void()> task)
{
    service.post([this, task = std::move(task)] {
        try {
            task();
        } catch (...) {
            fail(std::current_exception());
        }
    });
}

void TaskPool::run(int nrThreads)
{
    boost::thread_group workers;
    try {
        for (int i = 0; i < nrThreads; ++i)
            workers.create_thread([this] { service.run(); });
    } catch (...) {
        service.stop();
        workers.join_all();
        throw;
    }
    workers.join_all();
    service.stop();
    if (failed)
        throw RunAborted{};
}

void TaskPool::fail(std::exception_ptr failure)
{
    {
        std::lock_guard<std::mutex> lock(failureMutex);
        if (!failed) {
            failed = true;
            reportFailure(failure);
        }
    }
    service.stop();
}
