// Worker threads of the process, in the multithreaded COM apartment, kept
// for the next task: many short calls into other processes cost no thread
// creation each.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <memory>

namespace zel {

// Starts the task at once on an idle worker, or on a new one when all are
// busy (a task never waits for a worker). False when no thread could be
// started. A worker left idle for a minute ends.
bool RunOnWorker(std::function<void()> task);

// Calls body(i) for every i below count, on up to `width` threads at a time
// (the calling thread is one of them), and returns when every call has
// returned. For calls that mostly wait on another process, such as calls
// into BITS: their waits overlap. When calls raise, the first error is
// raised again once all have returned.
void ParallelFor(size_t count, size_t width, const std::function<void(size_t)>& body);

// Tasks handed over by one thread that goes on with its own work: they run
// in the order given on up to `width` workers at a time. Wait returns when
// every task added so far has run; the destructor waits too.
class TWorkQueue {
public:
    explicit TWorkQueue(size_t width);
    ~TWorkQueue();
    TWorkQueue(const TWorkQueue&) = delete;
    TWorkQueue& operator=(const TWorkQueue&) = delete;

    void Add(std::function<void()> task);
    void Wait();

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

}  // namespace zel
