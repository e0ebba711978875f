#include "JobMap.h"

#include <mutex>
#include <unordered_set>

#include "service/WorkerPool.h"

namespace zel {

namespace {

// Every job of the last walk stays referenced until the next one: BITS then
// hands out the same reference for a job again, which spares a new proxy
// and, at its release, one more call into BITS per job and walk. Never
// freed: the references go with the process.
std::mutex HeldLock;
std::vector<Microsoft::WRL::ComPtr<IBackgroundCopyJob>>* const Held =
    new std::vector<Microsoft::WRL::ComPtr<IBackgroundCopyJob>>;

}  // namespace

TJobMap::~TJobMap() {
    setup_.Wait();
    // The jobs this map's pass created join those of the last walk, so that
    // letting them go here costs no call into BITS and the next walk finds
    // the same references.
    try {
        std::lock_guard<std::mutex> lock(HeldLock);
        std::unordered_set<IBackgroundCopyJob*> held;
        for (const auto& job : *Held) held.insert(job.Get());
        for (const Entry& entry : entries_)
            if (entry.Job && held.insert(entry.Job.Get()).second) Held->push_back(entry.Job);
    } catch (...) {
    }
}

bool TJobMap::Load(IBackgroundCopyManager* manager) {
    Settle();
    entries_.clear();
    byName_.clear();
    return Walk(manager);
}

bool TJobMap::Refresh(IBackgroundCopyManager* manager) { return Walk(manager); }

bool TJobMap::Walk(IBackgroundCopyManager* manager) {
    // A job whose description is still being written would not be known
    // as the service's in the walk.
    Settle();
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
    // The jobs not seen before are read, a few at a time.
    std::vector<size_t> unread;
    for (size_t i = 0; i < all.size(); ++i)
        if (!known.count(all[i].Get())) unread.push_back(i);
    std::vector<Entry> read(all.size());
    std::vector<char> ours(all.size(), 0);
    ParallelFor(unread.size(), JobsAtOnce, [&](size_t k) {
        size_t i = unread[k];
        ours[i] = ReadJobInfo(all[i].Get(), read[i].Info) ? 1 : 0;
    });
    for (size_t i = 0; i < all.size(); ++i) {
        auto seen = known.find(all[i].Get());
        if (seen != known.end()) {
            entries_.push_back(before[seen->second]);
        } else if (ours[i]) {
            read[i].Job = all[i];
            entries_.push_back(std::move(read[i]));
        }
    }
    if (loaded_) {
        // Jobs gone from the list are let go here, the others stay held.
        std::lock_guard<std::mutex> lock(HeldLock);
        Held->swap(all);
    }
    Index();
    return loaded_;
}

void TJobMap::ReadStates() {
    ParallelFor(entries_.size(), JobsAtOnce, [&](size_t i) {
        Entry& entry = entries_[i];
        entry.StateRead = SUCCEEDED(entry.Job->GetState(&entry.State));
    });
}

void TJobMap::Index() {
    byName_.clear();
    for (size_t i = 0; i < entries_.size(); ++i) byName_[entries_[i].Info.Name].push_back(i);
}

TJobMap::Entry* TJobMap::FirstLive(const std::string& name, bool& hadAny) {
    hadAny = false;
    auto found = byName_.find(name);
    if (found == byName_.end()) return nullptr;
    Settle();
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

void TJobMap::Added(IBackgroundCopyJob* job, const std::string& description, std::function<bool()> settings) {
    Entry entry;
    entry.Job = job;
    ParseDescriptionText(description, entry.Info);
    auto described = std::make_shared<std::atomic<bool>>(false);
    pending_.emplace_back(entries_.size(), described);
    byName_[entry.Info.Name].push_back(entries_.size());
    entries_.push_back(std::move(entry));
    setup_.Add([settings = std::move(settings), described] { *described = settings(); });
}

void TJobMap::Settle() {
    if (pending_.empty()) return;
    setup_.Wait();
    for (const auto& p : pending_)
        if (!*p.second) entries_[p.first].Finished = true;
    pending_.clear();
}

void TJobMap::Described(Entry& entry, const std::string& description) {
    std::string name = entry.Info.Name;
    ParseDescriptionText(description, entry.Info);
    if (entry.Info.Name != name) Index();
}

}  // namespace zel
