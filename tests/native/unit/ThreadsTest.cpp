// The worker pool, the bounded calls into clients and the job setup, driven
// from several threads at once. Built twice: with the address sanitizers
// like every unit here, and with ThreadSanitizer (run.sh), which sees every
// hand-over between the callers, the pool and its workers.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/WorkerPool.h"
#include "com/ClientCalls.h"
#include "transfer/BITS.h"
#include "transfer/JobMap.h"
#include "transfer/JobSetup.h"

using namespace zel;

namespace {

// Polls the condition until it holds or ms have passed.
template <class Condition>
bool WaitFor(Condition condition, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Gives every worker of the pool a task that waits for release; true once
// all of them wait.
bool HoldEveryWorker(HANDLE release) {
    auto held = std::make_shared<std::atomic<size_t>>(0);
    for (size_t i = 0; i < MaxWorkerThreads; ++i)
        if (!RunOnWorker([held, release] {
                ++*held;
                WaitForSingleObject(release, INFINITE);
            }))
            return false;
    return WaitFor([&] { return held->load() == MaxWorkerThreads; }, 30000);
}

// How many run at once, and the most there ever were.
struct Concurrency {
    std::atomic<int> now{0}, most{0};
    void Enter() {
        int n = ++now;
        int seen = most.load();
        while (n > seen && !most.compare_exchange_weak(seen, n)) {
        }
    }
    void Leave() { --now; }
};

}  // namespace

// Tasks given from several threads at once, more than the pool has workers:
// each runs exactly once, never more at a time than the limit; when every
// worker is held, a task that may not wait is refused and one that may is
// run as soon as a worker comes free.
TEST(WorkerPool, TasksFromManyThreadsRunOnceWithinTheLimit) {
    constexpr int Givers = 4, PerGiver = 150;
    std::vector<std::atomic<int>> runs(Givers * PerGiver);
    Concurrency running;
    std::vector<std::thread> givers;
    std::atomic<int> refused{0};
    for (int g = 0; g < Givers; ++g)
        givers.emplace_back([&, g] {
            std::mt19937 random(static_cast<unsigned>(g));
            for (int i = 0; i < PerGiver; ++i) {
                const int index = g * PerGiver + i;
                const int ms = static_cast<int>(random() % 3);
                if (!RunOnWorker([&, index, ms] {
                        running.Enter();
                        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                        ++runs[index];
                        running.Leave();
                    }))
                    ++refused;
            }
        });
    for (auto& t : givers) t.join();
    EXPECT_EQ(refused.load(), 0);
    ASSERT_TRUE(WaitFor(
        [&] { return std::all_of(runs.begin(), runs.end(), [](const std::atomic<int>& r) { return r.load() >= 1; }); },
        30000));
    EXPECT_TRUE(std::all_of(runs.begin(), runs.end(), [](const std::atomic<int>& r) { return r.load() == 1; }));
    EXPECT_LE(running.most.load(), static_cast<int>(MaxWorkerThreads));
    EXPECT_LE(WorkerThreadCount(), MaxWorkerThreads);

    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(HoldEveryWorker(release));
    std::atomic<bool> urgent{false}, queued{false};
    EXPECT_FALSE(RunOnWorker([&] { urgent = true; }, false));
    EXPECT_TRUE(RunOnWorker([&] { queued = true; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(queued.load());
    SetEvent(release);
    EXPECT_TRUE(WaitFor([&] { return queued.load(); }, 30000));
    EXPECT_FALSE(urgent.load());
    EXPECT_LE(WorkerThreadCount(), MaxWorkerThreads);
    CloseHandle(release);
}

// Batches of calls from several broadcasters at once, to a few clients,
// some of them slower than the limit: a call said done has run to its end
// when Wait returns, every work's references go once the works have
// returned, and when they all have, no client is left shut out.
TEST(ClientCalls, BatchesFromManyThreadsSettleEveryCall) {
    constexpr int Broadcasters = 4, Batches = 25, CallsPerBatch = 5, Clients = 6;
    constexpr DWORD LimitMs = 15;
    struct Work {
        std::atomic<bool> started{false}, finished{false};
    };
    auto token = std::make_shared<int>(0);
    std::atomic<int> inconsistent{0}, notStarted{0}, timedOut{0};
    std::vector<std::thread> broadcasters;
    for (int b = 0; b < Broadcasters; ++b)
        broadcasters.emplace_back([&, b] {
            std::mt19937 random(static_cast<unsigned>(100 + b));
            for (int n = 0; n < Batches; ++n) {
                TClientCalls calls;
                std::vector<std::shared_ptr<Work>> works;
                for (int c = 0; c < CallsPerBatch; ++c) {
                    auto work = std::make_shared<Work>();
                    works.push_back(work);
                    const int ms = static_cast<int>(random() % 30);
                    const TProcessKey client{static_cast<DWORD>(1 + random() % Clients), 1};
                    calls.Start(
                        [work, token, ms] {
                            work->started = true;
                            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                            work->finished = true;
                        },
                        client);
                }
                const std::vector<CallState> states = calls.Wait(LimitMs);
                for (size_t c = 0; c < states.size(); ++c) {
                    if (states[c] == CallState::Done && !works[c]->finished) ++inconsistent;
                    if (states[c] == CallState::NotStarted) ++notStarted;
                    if (states[c] == CallState::TimedOut) ++timedOut;
                }
            }
        });
    for (auto& t : broadcasters) t.join();
    EXPECT_EQ(inconsistent.load(), 0);
    EXPECT_EQ(notStarted.load(), 0);
    EXPECT_GT(timedOut.load(), 0);  // the limit was reached: hung clients were shut out and let in again
    // Every work let go of what it held, on its worker.
    EXPECT_TRUE(WaitFor([&] { return token.use_count() == 1; }, 30000)) << token.use_count();
    // The hung calls have all returned: every client is called again.
    TClientCalls after;
    std::atomic<int> ran{0};
    for (int c = 1; c <= Clients; ++c) after.Start([&] { ++ran; }, TProcessKey{static_cast<DWORD>(c), 1});
    EXPECT_EQ(after.Wait(10000), std::vector<CallState>(Clients, CallState::Done));
    EXPECT_EQ(ran.load(), Clients);
}

// ---------------------------------------------------------------- the job setup

namespace zel {

// The calls into BITS that the job setup makes, and the map it reports to,
// as doubles: each setting takes a little while, a job of a module whose
// name ends in X does not take its description, one ending in T throws.
namespace {
struct FakeJob final : IBackgroundCopyJob {
    explicit FakeJob(std::string n) : name(std::move(n)) {}
    const std::string name;
    std::atomic<ULONG> refs{1};
    std::atomic<int> setups{0};
    std::atomic<bool> pendingThroughout{true};
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_FAIL; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }  // the test owns the object
};
TJobSetup* SetupUnderTest = nullptr;
std::mutex MapLock;
std::vector<IBackgroundCopyJob*> MapAdded, MapForgotten;
}  // namespace

bool SetUpModuleJob(IBackgroundCopyJob* job, const std::string& name, const std::string&, const std::string&) {
    auto* fake = static_cast<FakeJob*>(job);
    if (!SetupUnderTest->Pending(name)) fake->pendingThroughout = false;
    ++fake->setups;
    std::this_thread::sleep_for(std::chrono::microseconds(200 * (name.size() % 5)));
    if (!SetupUnderTest->Pending(name)) fake->pendingThroughout = false;
    if (name.back() == 'T') throw std::runtime_error("BITS");
    return name.back() != 'X';
}

TJobMap::~TJobMap() = default;
void TJobMap::Added(IBackgroundCopyJob* job, const std::string&) {
    std::lock_guard<std::mutex> guard(MapLock);
    MapAdded.push_back(job);
}
void TJobMap::Forget(IBackgroundCopyJob* job) {
    std::lock_guard<std::mutex> guard(MapLock);
    MapForgotten.push_back(job);
}

}  // namespace zel

// A registration pass hands over many jobs while others ask whether a module
// is still being set up: each job is set up exactly once, its module counts
// as pending all the while, Finish returns only when every job is done, the
// jobs that took no description (or threw) are forgotten by the map, and no
// reference to a job is left behind.
TEST(JobSetup, EveryJobIsSetUpOnceAndPendingUntilThen) {
    constexpr int Jobs = 240;
    std::vector<std::unique_ptr<FakeJob>> jobs;
    for (int i = 0; i < Jobs; ++i)
        jobs.push_back(
            std::make_unique<FakeJob>("Module" + std::to_string(i) + (i % 7 == 0 ? "X" : i % 11 == 0 ? "T" : "")));
    auto refusedName = [](const std::string& name) { return name.back() == 'X' || name.back() == 'T'; };
    TJobMap map;
    {
        TJobSetup setup(map);
        SetupUnderTest = &setup;
        std::atomic<bool> adding{true};
        std::thread asker([&] {
            std::mt19937 random(7);
            while (adding) setup.Pending(jobs[random() % Jobs]->name);
        });
        for (const auto& job : jobs) setup.Add(job.get(), job->name, "1.0");
        setup.Finish();
        adding = false;
        asker.join();
        for (const auto& job : jobs) EXPECT_FALSE(setup.Pending(job->name)) << job->name;
        SetupUnderTest = nullptr;
    }
    size_t refused = 0;
    for (const auto& job : jobs) {
        EXPECT_EQ(job->setups.load(), 1) << job->name;
        EXPECT_TRUE(job->pendingThroughout.load()) << job->name;
        if (refusedName(job->name)) ++refused;
    }
    {
        std::lock_guard<std::mutex> guard(MapLock);
        EXPECT_EQ(MapAdded.size(), static_cast<size_t>(Jobs));
        EXPECT_EQ(MapForgotten.size(), refused);
        for (IBackgroundCopyJob* job : MapForgotten) {
            const std::string& name = static_cast<FakeJob*>(job)->name;
            EXPECT_TRUE(refusedName(name)) << name;
        }
    }
    EXPECT_TRUE(WaitFor(
        [&] { return std::all_of(jobs.begin(), jobs.end(), [](const auto& j) { return j->refs.load() == 1; }); },
        10000));
}

// The pool's shutdown at the end of the service run. It closes the pool of
// the process for good: this case comes last in the file (CTest runs every
// case in a process of its own anyway).
TEST(WorkerPoolShutDown, TakesNoMoreTasksAndWaitsForThoseTakenWithinItsTime) {
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(HoldEveryWorker(release));
    std::atomic<int> queuedRan{0};
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(RunOnWorker([&] { ++queuedRan; }));
    // Busy workers past the deadline: false, and the pool is closed.
    EXPECT_FALSE(ShutDownWorkers(100));
    std::atomic<bool> late{false};
    EXPECT_FALSE(RunOnWorker([&] { late = true; }));
    EXPECT_FALSE(RunOnWorker([&] { late = true; }, false));
    SetEvent(release);
    // Within its time: the held tasks end, the queued ones still run.
    EXPECT_TRUE(ShutDownWorkers(30000));
    EXPECT_EQ(queuedRan.load(), 3);
    EXPECT_FALSE(late.load());
    EXPECT_TRUE(ShutDownWorkers(0));
    CloseHandle(release);
}
