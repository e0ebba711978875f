#include "ClientCalls.h"

#include <objbase.h>

#include <atomic>

#include "service/WorkerPool.h"

namespace zel {

namespace {

constexpr int Running = 0;
constexpr int Finished = 1;
constexpr int Failed = 2;  // no worker could be started

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
    if (!RunOnWorker(std::move(run))) {
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
