// The BITS jobs of the service as one walk over the account's jobs has seen
// them: what a scheduler pass reads once and then looks modules up in.
#pragma once

#include <windows.h>
#include <bits.h>
#include <wrl/client.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "BITS.h"

namespace zel {

// Calls visit(job) for every job of the account in enumeration order,
// fetching them in blocks; visit returns false to end the walk. False when
// the enumeration cannot be had (its HRESULT goes to *result when given).
template <class Visit>
bool ForEachJob(IBackgroundCopyManager* manager, Visit visit, HRESULT* result = nullptr);

// Notes a description the service gave a job, for the walks that keep what
// they read of the jobs they hold.
void NoteJobDescription(IBackgroundCopyJob* job, const std::string& description);

class TJobMap {
public:
    TJobMap() = default;
    // The jobs the map knows stay referenced until the next walk.
    ~TJobMap();
    TJobMap(const TJobMap&) = delete;
    TJobMap& operator=(const TJobMap&) = delete;

    struct Entry {
        Microsoft::WRL::ComPtr<IBackgroundCopyJob> Job;
        TJobInfo Info;
        bool Finished = false;  // cancelled or completed, as far as known
        bool StateRead = false;  // State holds what the check read at the job's turn
        BG_JOB_STATE State = BG_JOB_STATE_QUEUED;
    };

    // Walks the jobs and keeps those of the service with their description
    // fields; false (and an empty map) when the jobs cannot be enumerated.
    bool Load(IBackgroundCopyManager* manager);
    // Walks again: jobs seen before keep what was read of them (a job's
    // reference stays the same while it is held), new ones are read, gone
    // ones are dropped, and the order is the enumeration's of now.
    bool Refresh(IBackgroundCopyManager* manager);
    bool Loaded() const { return loaded_; }

    // The service's jobs in enumeration order.
    std::vector<Entry>& Entries() { return entries_; }

    // The first job of the service with this Name, in enumeration order,
    // that is not finished (its state is read now); null when none.
    Entry* Find(IBackgroundCopyManager* manager, const std::string& name);
    // The modules of the jobs not known to be finished, one (name, owner)
    // per module, as far as this pass has read them.
    std::vector<std::pair<std::string, std::string>> Modules() const;
    // A job this pass created, with the description it was given.
    void Added(IBackgroundCopyJob* job, const std::string& description);
    // A job this pass created that turned out no module's job.
    void Forget(IBackgroundCopyJob* job);
    // A job whose description this pass rewrote.
    void Described(Entry& entry, const std::string& description);

private:
    bool Walk(IBackgroundCopyManager* manager);
    Entry* FirstLive(const std::string& name, bool& hadAny);
    void Index();

    bool loaded_ = false;
    std::vector<Entry> entries_;
    // Name key (letter case ignored) -> indexes of the entries with that
    // Name, in enumeration order.
    std::unordered_map<std::string, std::vector<size_t>> byName_;
};

// ---------------------------------------------------------------- template

constexpr ULONG JobBlock = 64;  // jobs per Next call

template <class Visit>
bool ForEachJob(IBackgroundCopyManager* manager, Visit visit, HRESULT* result) {
    Microsoft::WRL::ComPtr<IEnumBackgroundCopyJobs> jobs;
    HRESULT hr = manager ? manager->EnumJobs(0, &jobs) : E_POINTER;
    if (SUCCEEDED(hr) && !jobs) hr = E_POINTER;
    if (result) *result = hr;
    if (FAILED(hr)) return false;
    IBackgroundCopyJob* block[JobBlock];
    bool going = true;
    while (going) {
        ULONG fetched = 0;
        hr = jobs->Next(JobBlock, block, &fetched);
        if (FAILED(hr) || fetched > JobBlock) break;
        for (ULONG i = 0; i < fetched; ++i) {
            Microsoft::WRL::ComPtr<IBackgroundCopyJob> job;
            job.Attach(block[i]);
            if (going && job && !visit(job.Get())) going = false;
        }
        if (hr != S_OK || fetched == 0) break;
    }
    return true;
}

}  // namespace zel
