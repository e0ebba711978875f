#include "JobIndex.h"

#include <mutex>
#include <unordered_map>
#include <utility>

#include "base/ModuleName.h"

using Microsoft::WRL::ComPtr;

namespace zel {

namespace {

using Candidates = std::vector<TIndexedJob>;

// The lock is never held across a call into BITS: the references that leave
// the index are let go after it is released (the last one of a job costs a
// call), and the states are read on copies.
struct JobIndex {
    std::mutex lock;
    bool open = false;
    // Name key (letter case ignored, as the job map and the queues compare
    // names) -> the jobs that may be the module's, in enumeration order as
    // far as known.
    std::unordered_map<std::string, Candidates> byName;
    std::unordered_map<IBackgroundCopyJob*, std::string> keyOf;

    // Takes the job out of its Name's candidates; its reference goes to
    // `gone`, to be let go by the caller after the lock.
    void Remove(IBackgroundCopyJob* job, Candidates& gone) {
        auto key = keyOf.find(job);
        if (key == keyOf.end()) return;
        auto name = byName.find(key->second);
        keyOf.erase(key);
        if (name == byName.end()) return;
        Candidates& list = name->second;
        for (auto c = list.begin(); c != list.end(); ++c)
            if (c->Job.Get() == job) {
                gone.push_back(std::move(*c));
                list.erase(c);
                break;
            }
        if (list.empty()) byName.erase(name);
    }

    void Clear(Candidates& gone) {
        for (auto& name : byName)
            for (TIndexedJob& c : name.second) gone.push_back(std::move(c));
        byName.clear();
        keyOf.clear();
    }
};

// Lives as long as the process: a static destructor would run after COM is
// gone. The references it holds go at CloseJobIndex.
JobIndex& Index() {
    static JobIndex* const index = new JobIndex;
    return *index;
}

bool Ended(BG_JOB_STATE state) { return state == BG_JOB_STATE_CANCELLED || state == BG_JOB_STATE_ACKNOWLEDGED; }

}  // namespace

void OpenJobIndex() {
    JobIndex& index = Index();
    std::lock_guard<std::mutex> guard(index.lock);
    index.open = true;
}

void CloseJobIndex() {
    JobIndex& index = Index();
    Candidates gone;
    std::lock_guard<std::mutex> guard(index.lock);
    index.open = false;
    index.Clear(gone);
}

void IndexWalk(std::vector<TIndexedJob> jobs) {
    JobIndex& index = Index();
    Candidates gone;
    std::lock_guard<std::mutex> guard(index.lock);
    index.Clear(gone);
    if (!index.open) return;
    try {
        for (TIndexedJob& job : jobs) {
            if (!job.Job || !IsValidModuleName(job.Info.Name) || index.keyOf.count(job.Job.Get())) continue;
            std::string key = ModuleNameKey(job.Info.Name);
            index.keyOf[job.Job.Get()] = key;
            index.byName[key].push_back(std::move(job));
        }
    } catch (...) {
        // An index it cannot fill knows nothing: the calls walk.
        index.Clear(gone);
    }
}

void IndexDescribed(IBackgroundCopyJob* job, const TJobInfo& info) {
    JobIndex& index = Index();
    Candidates gone;
    std::lock_guard<std::mutex> guard(index.lock);
    if (!index.open || !job) return;
    try {
        auto known = index.keyOf.find(job);
        if (known != index.keyOf.end() && IsValidModuleName(info.Name) &&
            known->second == ModuleNameKey(info.Name)) {
            for (TIndexedJob& c : index.byName[known->second])
                if (c.Job.Get() == job) c.Info = info;
            return;
        }
        index.Remove(job, gone);
        if (!IsValidModuleName(info.Name)) return;
        std::string key = ModuleNameKey(info.Name);
        index.byName[key].push_back(TIndexedJob{job, info});
        index.keyOf[job] = key;
    } catch (...) {
        // A description the index could not note must not leave the old one.
        index.Remove(job, gone);
    }
}

void IndexFound(const std::string& name, IBackgroundCopyJob* job, const TJobInfo& info) {
    if (!IsValidModuleName(name)) return;
    JobIndex& index = Index();
    Candidates gone;
    std::lock_guard<std::mutex> guard(index.lock);
    if (!index.open) return;
    std::string key;
    try {
        key = ModuleNameKey(name);
        auto known = index.byName.find(key);
        if (known != index.byName.end()) {
            for (TIndexedJob& c : known->second) {
                index.keyOf.erase(c.Job.Get());
                gone.push_back(std::move(c));
            }
            index.byName.erase(known);
        }
        if (!job) return;
        if (index.keyOf.count(job)) index.Remove(job, gone);
        index.byName[key].push_back(TIndexedJob{job, info});
        index.keyOf[job] = key;
    } catch (...) {
        index.Clear(gone);
    }
}

void UnindexJob(IBackgroundCopyJob* job) {
    JobIndex& index = Index();
    Candidates gone;
    std::lock_guard<std::mutex> guard(index.lock);
    index.Remove(job, gone);
}

bool IndexedJob(const std::string& name, ComPtr<IBackgroundCopyJob>& job, TJobInfo& info, BG_JOB_STATE& state) {
    JobIndex& index = Index();
    Candidates known;
    {
        std::lock_guard<std::mutex> guard(index.lock);
        if (!index.open) return false;
        auto found = index.byName.find(ModuleNameKey(name));
        if (found == index.byName.end()) return false;
        known = found->second;
    }
    const TIndexedJob* live = nullptr;
    BG_JOB_STATE liveState = BG_JOB_STATE_QUEUED;
    std::vector<IBackgroundCopyJob*> ended;
    bool unsure = false;
    for (const TIndexedJob& c : known) {
        BG_JOB_STATE read;
        // A job that cannot be asked (cancelled from outside and gone, or
        // BITS itself gone) says nothing about the others: a walk decides.
        if (FAILED(c.Job->GetState(&read))) {
            unsure = true;
            break;
        }
        if (Ended(read)) {
            ended.push_back(c.Job.Get());
        } else if (live) {
            // Which of two live jobs comes first only a walk tells.
            unsure = true;
            break;
        } else {
            live = &c;
            liveState = read;
        }
    }
    if (!ended.empty()) {
        // Cancelled and completed are for good: these jobs are nobody's now.
        Candidates gone;
        std::lock_guard<std::mutex> guard(index.lock);
        for (IBackgroundCopyJob* j : ended) index.Remove(j, gone);
    }
    if (unsure || !live) return false;
    job = live->Job;
    info = live->Info;
    state = liveState;
    return true;
}

}  // namespace zel
