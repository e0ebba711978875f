// The module jobs of the service by Name, for the calls that ask about one
// module (the job manager, CheckModule, the owner checks of Add and Remove):
// one call into BITS instead of a new connection and a walk over every job
// of the account. The scheduler keeps it current with its walks, and every
// description the service writes reaches it; what it cannot vouch for (no
// job known, one that ended or cannot be asked, two live jobs of one Name)
// is left to a walk, whose answer it then keeps. It is open while the
// scheduler runs; closed, it knows nothing and holds no job.
#pragma once

#include <windows.h>
#include <bits.h>
#include <wrl/client.h>

#include <string>
#include <vector>

#include "JobText.h"

namespace zel {

// The scheduler opens the index when its thread starts and closes it before
// its thread leaves COM, so that every reference goes before the service's
// COM and BITS go down.
void OpenJobIndex();
void CloseJobIndex();

struct TIndexedJob {
    Microsoft::WRL::ComPtr<IBackgroundCopyJob> Job;
    TJobInfo Info;
};

// What one walk found: the service's module jobs not known to be finished,
// in enumeration order. It replaces what the index knew.
void IndexWalk(std::vector<TIndexedJob> jobs);
// A description the service gave one of its jobs: the job is a candidate
// for that Name (and for no other), with these fields.
void IndexDescribed(IBackgroundCopyJob* job, const TJobInfo& info);
// The first live job one walk found for the Name (null: none).
void IndexFound(const std::string& name, IBackgroundCopyJob* job, const TJobInfo& info);
// A job that the service ended.
void UnindexJob(IBackgroundCopyJob* job);

// The module's job when the index knows exactly one live job of this Name
// (its state read now to tell); false sends the caller to a walk.
bool IndexedJob(const std::string& name, Microsoft::WRL::ComPtr<IBackgroundCopyJob>& job, TJobInfo& info,
                BG_JOB_STATE& state);

}  // namespace zel
