#include "WorkerPool.h"

#include <objbase.h>

#include <algorithm>
#include <atomic>
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

}  // namespace zel
