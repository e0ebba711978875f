#include "WorkerPool.h"

#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <exception>
#include <memory>
#include <vector>

#include "Lock.h"

namespace zel {

namespace {

// A worker needs little stack: it makes calls through proxies.
constexpr SIZE_T WorkerStack = 256 * 1024;
// A worker left idle this long ends.
constexpr DWORD WorkerIdleMs = 60000;

// Workers are kept for the next calls, so that an event to many clients
// costs no thread creation. A worker busy in a call that hangs is simply
// not idle; the pool grows by another one when all are busy, so a call
// never waits for a worker.
class TWorkerPool {
public:
    using Task = std::function<void()>;

    static TWorkerPool& Instance() {
        static TWorkerPool* pool = new TWorkerPool;  // lives to the end of the process
        return *pool;
    }

    bool Run(Task task) {
        Worker* worker = nullptr;
        {
            Lock lock(lock_);
            if (!idle_.empty()) {
                worker = idle_.back();
                idle_.pop_back();
            }
        }
        if (!worker) {
            worker = new Worker;
            worker->pool = this;
            worker->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
            HANDLE thread = worker->wake ? CreateThread(nullptr, WorkerStack, &TWorkerPool::Loop, worker,
                                                        STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)
                                         : nullptr;
            if (!thread) {
                if (worker->wake) CloseHandle(worker->wake);
                delete worker;
                return false;
            }
            CloseHandle(thread);
        }
        worker->task = std::move(task);
        SetEvent(worker->wake);
        return true;
    }

private:
    struct Worker {
        TWorkerPool* pool = nullptr;
        HANDLE wake = nullptr;
        Task task;
    };

    TWorkerPool() { InitializeCriticalSection(&lock_); }

    static DWORD WINAPI Loop(LPVOID param) {
        Worker* worker = static_cast<Worker*>(param);
        TWorkerPool* pool = worker->pool;
        HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        for (;;) {
            if (WaitForSingleObject(worker->wake, WorkerIdleMs) == WAIT_TIMEOUT) {
                // Retire unless a task is being handed over right now.
                Lock lock(pool->lock_);
                auto it = std::find(pool->idle_.begin(), pool->idle_.end(), worker);
                if (it != pool->idle_.end()) {
                    pool->idle_.erase(it);
                    break;
                }
                continue;
            }
            Task task = std::move(worker->task);
            worker->task = nullptr;
            try {
                task();
            } catch (...) {
                // A task's error is the task's: the worker goes on.
            }
            task = nullptr;
            Lock lock(pool->lock_);
            pool->idle_.push_back(worker);
        }
        if (SUCCEEDED(init)) CoUninitialize();
        CloseHandle(worker->wake);
        delete worker;
        return 0;
    }

    CRITICAL_SECTION lock_;
    std::vector<Worker*> idle_;
};

}  // namespace

bool RunOnWorker(std::function<void()> task) { return TWorkerPool::Instance().Run(std::move(task)); }

void ParallelFor(size_t count, size_t width, const std::function<void(size_t)>& body) {
    if (count == 0) return;
    // What the threads share; held by each of them, so that a worker that
    // finishes after the caller has returned touches nothing freed.
    struct Shared {
        std::atomic<size_t> next{0};
        std::atomic<size_t> running{0};
        HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        CRITICAL_SECTION lock;
        std::exception_ptr error;  // the first a call raised
        Shared() { InitializeCriticalSection(&lock); }
        ~Shared() {
            if (done) CloseHandle(done);
            DeleteCriticalSection(&lock);
        }
    };
    auto shared = std::make_shared<Shared>();
    auto drain = [shared, &body, count] {
        for (size_t i; (i = shared->next++) < count;) {
            try {
                body(i);
            } catch (...) {
                Lock lock(shared->lock);
                if (!shared->error) shared->error = std::current_exception();
            }
        }
    };
    size_t helpers = std::min(std::max<size_t>(width, 1), count) - 1;
    for (size_t h = 0; h < helpers; ++h) {
        ++shared->running;
        bool started = shared->done && RunOnWorker([shared, drain] {
            drain();
            if (--shared->running == 0) SetEvent(shared->done);
        });
        if (!started) --shared->running;
    }
    drain();
    // The body is the caller's: it must outlive every call of it.
    if (shared->running.load() > 0) WaitForSingleObject(shared->done, INFINITE);
    if (shared->error) std::rethrow_exception(shared->error);
}

// What the queue and its workers share; held by each worker, so that one
// that is still leaving touches nothing freed.
struct TWorkQueue::Shared {
    CRITICAL_SECTION lock;
    std::deque<std::function<void()>> tasks;
    size_t width = 1;
    size_t active = 0;
    HANDLE idle = CreateEventA(nullptr, TRUE, TRUE, nullptr);  // no task left and no worker running
    Shared() { InitializeCriticalSection(&lock); }
    ~Shared() {
        if (idle) CloseHandle(idle);
        DeleteCriticalSection(&lock);
    }
    // Runs tasks until none is left.
    void Drain() {
        for (;;) {
            std::function<void()> task;
            {
                Lock hold(lock);
                if (tasks.empty()) {
                    if (--active == 0 && idle) SetEvent(idle);
                    return;
                }
                task = std::move(tasks.front());
                tasks.pop_front();
            }
            try {
                task();
            } catch (...) {
            }
        }
    }
};

TWorkQueue::TWorkQueue(size_t width) : shared_(std::make_shared<Shared>()) {
    shared_->width = std::max<size_t>(width, 1);
}

TWorkQueue::~TWorkQueue() { Wait(); }

void TWorkQueue::Add(std::function<void()> task) {
    bool start = false;
    {
        Lock hold(shared_->lock);
        shared_->tasks.push_back(std::move(task));
        if (shared_->active < shared_->width) {
            ++shared_->active;
            start = true;
            if (shared_->idle) ResetEvent(shared_->idle);
        }
    }
    if (!start) return;
    std::shared_ptr<Shared> shared = shared_;
    // Without a worker (or without the event to wait on) the task runs here.
    if (!shared->idle || !RunOnWorker([shared] { shared->Drain(); })) shared->Drain();
}

void TWorkQueue::Wait() {
    if (shared_->idle) WaitForSingleObject(shared_->idle, INFINITE);
}

}  // namespace zel
