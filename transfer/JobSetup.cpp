#include "JobSetup.h"

#include <wrl/client.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "BITS.h"
#include "JobMap.h"
#include "base/ModuleName.h"
#include "base/WorkerPool.h"

using Microsoft::WRL::ComPtr;

namespace zel {

namespace {

// Three calls under way at once took the settings of a job from about ten
// milliseconds to about three under Wine on two cores; more gained little.
constexpr size_t SetupWorkers = 3;

}  // namespace

// Shared by the pass and its workers, so that a worker that is just letting
// go of the lock never outlives what it holds.
struct TJobSetup::State {
    struct Item {
        ComPtr<IBackgroundCopyJob> Job;
        std::string Name;
        std::string Version;
        std::string Owner;
    };

    std::mutex lock;
    std::condition_variable changed;
    std::deque<Item> queue;
    std::unordered_set<std::string> pending;       // name keys handed over, not set up yet
    std::vector<ComPtr<IBackgroundCopyJob>> refused;  // their description was not taken
    size_t workers = 0;
    size_t busy = 0;
    bool closing = false;

    // Sets up what is queued; the lock is held on entry and on return.
    void SetUpQueued(std::unique_lock<std::mutex>& guard) {
        while (!queue.empty()) {
            Item item = std::move(queue.front());
            queue.pop_front();
            ++busy;
            guard.unlock();
            bool described = false;
            try {
                described = SetUpModuleJob(item.Job.Get(), item.Name, item.Version, item.Owner);
            } catch (...) {
                // Whatever the job got is read again by the next walk.
            }
            guard.lock();
            --busy;
            if (!described) refused.push_back(item.Job);
            pending.erase(ModuleNameKey(item.Name));
            changed.notify_all();
        }
    }

    static void Work(const std::shared_ptr<State>& self) {
        std::unique_lock<std::mutex> guard(self->lock);
        for (;;) {
            self->SetUpQueued(guard);
            if (self->closing) break;
            self->changed.wait(guard, [&] { return !self->queue.empty() || self->closing; });
        }
        --self->workers;
    }
};

TJobSetup::TJobSetup(TJobMap& jobs) : jobs_(jobs), state_(std::make_shared<State>()) {}

TJobSetup::~TJobSetup() {
    try {
        Finish();
    } catch (...) {
    }
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->closing = true;
    state_->changed.notify_all();
}

void TJobSetup::Add(IBackgroundCopyJob* job, const std::string& name, const std::string& version,
                    const std::string& owner) {
    jobs_.Added(job, JobDescription(name, version, std::string(), owner));
    State& s = *state_;
    std::unique_lock<std::mutex> guard(s.lock);
    s.queue.push_back(State::Item{job, name, version, owner});
    s.pending.insert(ModuleNameKey(name));
    s.changed.notify_all();
    size_t idle = s.workers > s.busy ? s.workers - s.busy : 0;
    if (s.workers >= SetupWorkers || idle >= s.queue.size()) return;
    ++s.workers;
    guard.unlock();
    std::shared_ptr<State> shared = state_;
    // Never queued behind calls into clients: the scheduler does it itself.
    if (RunOnWorker([shared] { State::Work(shared); }, false)) return;
    guard.lock();
    --s.workers;
    if (s.workers == 0) s.SetUpQueued(guard);
}

bool TJobSetup::Pending(const std::string& name) {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->pending.count(ModuleNameKey(name)) != 0;
}

void TJobSetup::Finish() {
    State& s = *state_;
    std::vector<ComPtr<IBackgroundCopyJob>> refused;
    {
        std::unique_lock<std::mutex> guard(s.lock);
        if (s.workers == 0) s.SetUpQueued(guard);
        s.changed.wait(guard, [&] { return s.queue.empty() && s.busy == 0; });
        refused.swap(s.refused);
    }
    for (const auto& job : refused) jobs_.Forget(job.Get());
}

}  // namespace zel
