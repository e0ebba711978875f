#include "ClientCalls.h"

#include <objbase.h>

#include <atomic>

namespace zel {

namespace {

constexpr int Running = 0;
constexpr int Finished = 1;
constexpr int Failed = 2;  // no worker could be started

// A worker needs little stack: it makes one call through a proxy.
constexpr SIZE_T WorkerStack = 256 * 1024;

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

struct TClientCalls::Item {
    std::function<void()> work;
    std::shared_ptr<Batch> batch;
    std::shared_ptr<std::atomic<int>> state;
};

TClientCalls::TClientCalls() : batch_(std::make_shared<Batch>()) {}

TClientCalls::~TClientCalls() {
    if (!waited_) Wait(0);
}

void TClientCalls::Start(std::function<void()> work) {
    auto state = std::make_shared<std::atomic<int>>(Running);
    states_.push_back(state);
    Item* item = new Item{std::move(work), batch_, state};
    ++batch_->pending;
    HANDLE thread = CreateThread(nullptr, WorkerStack, &TClientCalls::Worker, item,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread) {
        CloseHandle(thread);
        return;
    }
    *state = Failed;
    delete item;
    batch_->Leave();
}

DWORD WINAPI TClientCalls::Worker(LPVOID param) {
    Item* item = static_cast<Item*>(param);
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    try {
        item->work();
    } catch (...) {
    }
    // The work's own references go here, on the worker: releasing the
    // proxy of a client that hangs may hang as well.
    item->work = nullptr;
    if (SUCCEEDED(init)) CoUninitialize();
    std::shared_ptr<Batch> batch = std::move(item->batch);
    *item->state = Finished;
    delete item;
    batch->Leave();
    return 0;
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
