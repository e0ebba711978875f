#include "WorkerPool.h"

#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <vector>

#include "InFlight.h"
#include "Lock.h"
#include "Log.h"

namespace zel {

namespace {

// A worker needs little stack: it makes calls through proxies.
constexpr SIZE_T WorkerStack = 256 * 1024;
// A worker left idle this long ends.
constexpr DWORD WorkerIdleMs = 60000;

// Workers are kept for the next calls, so that an event to many clients
// costs no thread creation. A worker busy in a call that hangs is simply
// not idle; the pool grows by another one when all are busy, up to
// MaxWorkerThreads; beyond that tasks wait for a worker in order.
class TWorkerPool {
public:
    using Task = std::function<void()>;

    static TWorkerPool& Instance() {
        static TWorkerPool* pool = new TWorkerPool;  // lives to the end of the process
        return *pool;
    }

    bool Run(Task task, bool mayWait) {
        Worker* worker = nullptr;
        bool queued = false;
        bool warn = false;
        {
            Lock lock(lock_);
            if (closed_) return false;
            if (!idle_.empty()) {
                worker = idle_.back();
                idle_.pop_back();
            } else if (count_ >= MaxWorkerThreads) {
                if (!mayWait || queue_.size() >= MaxQueuedTasks) return false;
                queue_.push_back(std::move(task));
                queued = true;
                warn = !saturated_;
                saturated_ = true;
            } else {
                ++count_;  // the new worker's place is taken now
            }
        }
        if (warn) {
            try {
                WriteLogFmt("Заняты все рабочие потоки службы (%d): задачи ждут своей очереди",
                            {static_cast<int>(MaxWorkerThreads)}, LogWarning);
            } catch (...) {
            }
        }
        if (queued) return true;
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
                Lock lock(lock_);
                --count_;
                return false;
            }
            CloseHandle(thread);
        }
        worker->task = std::move(task);
        SetEvent(worker->wake);
        return true;
    }

    size_t Count() {
        Lock lock(lock_);
        return count_;
    }

    bool ShutDown(DWORD ms) {
        const ULONGLONG deadline = GetTickCount64() + ms;
        {
            Lock lock(lock_);
            closed_ = true;
        }
        // The workers come back to the idle list one by one; at the stop a
        // poll is cheap enough.
        for (;;) {
            {
                Lock lock(lock_);
                if (queue_.empty() && idle_.size() == count_) return true;
            }
            if (GetTickCount64() >= deadline) return false;
            Sleep(10);
        }
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
                    --pool->count_;
                    break;
                }
                continue;
            }
            Task task = std::move(worker->task);
            worker->task = nullptr;
            for (;;) {
                try {
                    task();
                } catch (...) {
                    // A task's error is the task's: the worker goes on.
                }
                task = nullptr;
                // The tasks that waited for a worker come first.
                Lock lock(pool->lock_);
                if (pool->queue_.empty()) {
                    pool->saturated_ = false;
                    pool->idle_.push_back(worker);
                    break;
                }
                task = std::move(pool->queue_.front());
                pool->queue_.pop_front();
            }
        }
        if (SUCCEEDED(init)) CoUninitialize();
        CloseHandle(worker->wake);
        delete worker;
        return 0;
    }

    CRITICAL_SECTION lock_;
    std::vector<Worker*> idle_;
    size_t count_ = 0;          // workers there are, busy or idle
    std::deque<Task> queue_;    // tasks waiting for a worker
    bool saturated_ = false;    // the limit's warning is written for this time
    bool closed_ = false;       // shut down: no task is taken any more
};

}  // namespace

bool RunOnWorker(std::function<void()> task, bool mayWait) {
    // In flight from here until the task has run and gone (or was refused).
    auto inFlight = std::make_shared<TInFlight>();
    return TWorkerPool::Instance().Run([task = std::move(task), inFlight] { task(); }, mayWait);
}

size_t WorkerThreadCount() { return TWorkerPool::Instance().Count(); }

bool ShutDownWorkers(DWORD ms) { return TWorkerPool::Instance().ShutDown(ms); }

}  // namespace zel
