#include "ClientCalls.h"

#include <objbase.h>

#include <algorithm>
#include <atomic>

#include "service/Lock.h"

namespace zel {

namespace {

constexpr int Running = 0;
constexpr int Finished = 1;
constexpr int Failed = 2;  // no worker could be started

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
            task();
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

// What the broadcaster and its workers share: the count of works still
// running (plus one held by Wait) and the event set when it reaches 0.
struct TClientCalls::Batch {
    std::atomic<LONG> pending{1};
    HANDLE allDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~Batch() {
        if (allDone) CloseHandle(allDone);
    }
    void Leave() {
        if (--pending == 0 && allDone) SetEvent(allDone);
    }
};

TClientCalls::TClientCalls() : batch_(std::make_shared<Batch>()) {}

TClientCalls::~TClientCalls() {
    if (!waited_) Wait(0);
}

void TClientCalls::Start(std::function<void()> work) {
    auto state = std::make_shared<std::atomic<int>>(Running);
    states_.push_back(state);
    ++batch_->pending;
    std::shared_ptr<Batch> batch = batch_;
    auto run = [work = std::move(work), batch, state]() mutable {
        try {
            work();
        } catch (...) {
        }
        // The work's own references go here, on the worker: releasing the
        // proxy of a client that hangs may hang as well.
        work = nullptr;
        *state = Finished;
        batch->Leave();
    };
    if (!TWorkerPool::Instance().Run(std::move(run))) {
        *state = Failed;
        batch_->Leave();
    }
}

std::vector<CallState> TClientCalls::Wait(DWORD timeoutMs) {
    if (!waited_) {
        waited_ = true;
        batch_->Leave();
    }
    if (batch_->allDone) {
        WaitForSingleObject(batch_->allDone, timeoutMs);
    } else {
        DWORD start = GetTickCount();
        while (batch_->pending.load() > 0 && GetTickCount() - start < timeoutMs) Sleep(10);
    }
    std::vector<CallState> result;
    for (const auto& state : states_) {
        int s = state->load();
        result.push_back(s == Finished ? CallState::Done : s == Failed ? CallState::NotStarted : CallState::TimedOut);
    }
    return result;
}

}  // namespace zel
