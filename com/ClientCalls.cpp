#include "ClientCalls.h"

#include <objbase.h>

#include <atomic>
#include <map>
#include <utility>

#include "base/Lock.h"
#include "base/WorkerPool.h"

namespace zel {

namespace {

constexpr int Running = 0;
constexpr int Finished = 1;
constexpr int Failed = 2;     // no worker could be started
constexpr int Abandoned = 3;  // still running after Wait gave up on it
constexpr int Refused = 4;    // not started: its client has an abandoned call

// Client processes with abandoned calls still running, and how many.
struct HungClients {
    CRITICAL_SECTION lock;
    std::map<std::pair<DWORD, uint64_t>, int> calls;
    HungClients() { InitializeCriticalSection(&lock); }
};

HungClients& Hung() {
    static HungClients* hung = new HungClients;  // lives to the end of the process
    return *hung;
}

std::pair<DWORD, uint64_t> KeyOf(const TProcessKey& client) { return {client.Pid, client.Created}; }

}  // namespace

// What the broadcaster and its workers share: the count of works still
// running (plus one held by Wait) and the event set when it reaches 0.
struct TClientCalls::Batch {
    std::atomic<LONG> pending{1};
    // Wait has given up: a work still waiting for a worker is not started.
    std::atomic<bool> abandoned{false};
    HANDLE allDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~Batch() {
        if (allDone) CloseHandle(allDone);
    }
    void Leave() {
        if (--pending == 0 && allDone) SetEvent(allDone);
    }
};

// One work: its state and the process it calls into.
struct TClientCalls::Call {
    std::atomic<int> state{Running};
    TProcessKey client;
};

TClientCalls::TClientCalls() : batch_(std::make_shared<Batch>()) {}

TClientCalls::~TClientCalls() {
    if (!waited_) Wait(0);
}

void TClientCalls::Start(std::function<void()> work, const TProcessKey& client) {
    auto call = std::make_shared<Call>();
    call->client = client;
    calls_.push_back(call);
    if (client.Known()) {
        HungClients& hung = Hung();
        Lock lock(hung.lock);
        if (hung.calls.count(KeyOf(client))) {
            call->state = Refused;
            return;
        }
    }
    ++batch_->pending;
    std::shared_ptr<Batch> batch = batch_;
    auto run = [work = std::move(work), batch, call]() mutable {
        try {
            if (!batch->abandoned) work();
        } catch (...) {
        }
        // The work's own references go here, on the worker: releasing the
        // proxy of a client that hangs may hang as well.
        work = nullptr;
        {
            HungClients& hung = Hung();
            Lock lock(hung.lock);
            if (call->state.exchange(Finished) == Abandoned) {
                auto it = hung.calls.find(KeyOf(call->client));
                if (it != hung.calls.end() && --it->second <= 0) hung.calls.erase(it);
            }
        }
        batch->Leave();
    };
    if (!RunOnWorker(std::move(run))) {
        call->state = Failed;
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
    if (batch_->pending.load() > 0) batch_->abandoned = true;
    std::vector<CallState> result;
    HungClients& hung = Hung();
    Lock lock(hung.lock);
    for (const auto& call : calls_) {
        int expected = Running;
        if (call->client.Known() && call->state.compare_exchange_strong(expected, Abandoned))
            ++hung.calls[KeyOf(call->client)];
        int s = call->state.load();
        result.push_back(s == Finished ? CallState::Done : s == Failed ? CallState::NotStarted : CallState::TimedOut);
    }
    return result;
}

}  // namespace zel
