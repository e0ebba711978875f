#include "JobMap.h"

#include <mutex>

#include "JobIndex.h"
#include "base/ModuleName.h"

namespace zel {

namespace {

// Every job of the last walk stays referenced until the next one: BITS then
// hands out the same reference for a job again, which spares a new proxy
// and, at its release, one more call into BITS per job and walk. What was
// read of a held job is kept with it, so that a walk reads only the jobs it
// has not seen before: while the reference is held, no other job can have
// the same address, and the service's own description changes are noted
// here as they are made. Never freed: the references go with the process.
struct HeldJob {
    Microsoft::WRL::ComPtr<IBackgroundCopyJob> Job;
    bool Ours = false;  // a job of the service, with Info read
    TJobInfo Info;
};
using HeldJobs = std::unordered_map<IBackgroundCopyJob*, HeldJob>;
std::mutex HeldLock;
HeldJobs* const Held = new HeldJobs;

}  // namespace

void NoteJobDescription(IBackgroundCopyJob* job, const std::string& description) {
    try {
        TJobInfo info;
        ParseDescriptionText(description, info);
        IndexDescribed(job, info);
        std::lock_guard<std::mutex> lock(HeldLock);
        auto held = Held->find(job);
        if (held == Held->end() || !held->second.Ours) return;
        held->second.Info = info;
    } catch (...) {
        // Without the note the job is read again by the next walk.
        std::lock_guard<std::mutex> lock(HeldLock);
        Held->erase(job);
    }
}

TJobMap::~TJobMap() {
    // The jobs this map's pass created join those of the last walk, so that
    // letting them go here costs no call into BITS and the next walk finds
    // the same references.
    try {
        std::lock_guard<std::mutex> lock(HeldLock);
        for (const Entry& entry : entries_)
            if (entry.Job && !entry.Finished && !Held->count(entry.Job.Get()))
                Held->emplace(entry.Job.Get(), HeldJob{entry.Job, true, entry.Info});
    } catch (...) {
    }
}

bool TJobMap::Load(IBackgroundCopyManager* manager) {
    entries_.clear();
    byName_.clear();
    return Walk(manager);
}

bool TJobMap::Refresh(IBackgroundCopyManager* manager) { return Walk(manager); }

bool TJobMap::Walk(IBackgroundCopyManager* manager) {
    // The entries read so far stay held during the walk, so that BITS hands
    // out the same references for their jobs again.
    std::vector<Entry> before;
    before.swap(entries_);
    std::unordered_map<IBackgroundCopyJob*, size_t> known;
    for (size_t i = 0; i < before.size(); ++i) known.emplace(before[i].Job.Get(), i);
    std::vector<Microsoft::WRL::ComPtr<IBackgroundCopyJob>> all;
    loaded_ = ForEachJob(manager, [&](IBackgroundCopyJob* job) {
        all.push_back(job);
        return true;
    });
    // The jobs neither this map nor the last walk has seen are read. A job
    // of another program is remembered as such; one of the service whose
    // description cannot be used (yet: the job callback may be creating it
    // right now) is read again next time.
    std::vector<Entry> read(all.size());
    std::vector<JobOwner> owner(all.size(), JobOwner::Unusable);
    std::vector<size_t> unread;
    {
        std::lock_guard<std::mutex> lock(HeldLock);
        for (size_t i = 0; i < all.size(); ++i) {
            if (known.count(all[i].Get())) continue;
            auto held = Held->find(all[i].Get());
            if (held == Held->end()) {
                unread.push_back(i);
            } else {
                owner[i] = held->second.Ours ? JobOwner::Module : JobOwner::Other;
                read[i].Info = held->second.Info;
            }
        }
    }
    for (size_t i : unread) owner[i] = ReadJobOwner(all[i].Get(), read[i].Info);
    HeldJobs now;
    for (size_t i = 0; i < all.size(); ++i) {
        auto seen = known.find(all[i].Get());
        if (seen != known.end()) {
            entries_.push_back(before[seen->second]);
            now[all[i].Get()] = HeldJob{all[i], true, before[seen->second].Info};
            continue;
        }
        if (owner[i] == JobOwner::Module) {
            read[i].Job = all[i];
            entries_.push_back(read[i]);
        }
        if (owner[i] != JobOwner::Unusable)
            now[all[i].Get()] = HeldJob{all[i], owner[i] == JobOwner::Module, read[i].Info};
    }
    std::vector<TIndexedJob> indexed;
    if (loaded_) {
        // Jobs gone from the list are let go here, the others stay held.
        // A description noted since this map read a job is the newer one.
        std::lock_guard<std::mutex> lock(HeldLock);
        for (auto& job : now) {
            auto old = Held->find(job.first);
            if (old != Held->end() && old->second.Ours && job.second.Ours) job.second.Info = old->second.Info;
        }
        for (const Entry& entry : entries_) {
            if (entry.Finished) continue;
            auto held = now.find(entry.Job.Get());
            indexed.push_back(TIndexedJob{entry.Job, held != now.end() ? held->second.Info : entry.Info});
        }
        Held->swap(now);
    }
    Index();
    if (loaded_) IndexWalk(std::move(indexed));
    return loaded_;
}

void TJobMap::Index() {
    byName_.clear();
    for (size_t i = 0; i < entries_.size(); ++i) byName_[ModuleNameKey(entries_[i].Info.Name)].push_back(i);
}

TJobMap::Entry* TJobMap::FirstLive(const std::string& name, bool& hadAny) {
    hadAny = false;
    auto found = byName_.find(ModuleNameKey(name));
    if (found == byName_.end()) return nullptr;
    for (size_t index : found->second) {
        Entry& entry = entries_[index];
        if (!entry.Finished) {
            // The state may have changed since the walk: it is read now.
            BG_JOB_STATE state;
            entry.Finished = SUCCEEDED(entry.Job->GetState(&state)) &&
                             (state == BG_JOB_STATE_CANCELLED || state == BG_JOB_STATE_ACKNOWLEDGED);
        }
        if (!entry.Finished) return &entry;
        hadAny = true;
    }
    return nullptr;
}

TJobMap::Entry* TJobMap::Find(IBackgroundCopyManager* manager, const std::string& name) {
    bool hadAny = false;
    Entry* entry = FirstLive(name, hadAny);
    if (!entry && hadAny && loaded_) {
        // The module's job ended since the walk: whoever ended it (the job
        // callback completing a download) may have made its successor.
        Refresh(manager);
        entry = FirstLive(name, hadAny);
    }
    return entry;
}

std::vector<std::pair<std::string, std::string>> TJobMap::Modules() const {
    std::vector<std::pair<std::string, std::string>> modules;
    for (const auto& name : byName_)
        for (size_t index : name.second)
            if (!entries_[index].Finished) {
                modules.emplace_back(entries_[index].Info.Name, entries_[index].Info.Owner);
                break;
            }
    return modules;
}

void TJobMap::Added(IBackgroundCopyJob* job, const std::string& description) {
    Entry entry;
    entry.Job = job;
    ParseDescriptionText(description, entry.Info);
    byName_[ModuleNameKey(entry.Info.Name)].push_back(entries_.size());
    entries_.push_back(std::move(entry));
}

void TJobMap::Forget(IBackgroundCopyJob* job) {
    for (auto entry = entries_.begin(); entry != entries_.end(); ++entry)
        if (entry->Job.Get() == job) {
            entries_.erase(entry);
            Index();
            return;
        }
}

void TJobMap::Described(Entry& entry, const std::string& description) {
    std::string name = entry.Info.Name;
    ParseDescriptionText(description, entry.Info);
    if (entry.Info.Name != name) Index();
}

}  // namespace zel
