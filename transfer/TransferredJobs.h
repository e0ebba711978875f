// Jobs that BITS reported transferred, on their way from the job callback
// to the scheduler thread. The callback only hands the job over and wakes
// the scheduler, which settles the files (digests, signatures), announces
// the update to the clients and gives the module its next job: BITS's
// thread is never held by hashing, by clients that are slow to answer or
// by a new job.
#pragma once

#include <windows.h>
#include <bits.h>
#include <wrl/client.h>

#include <vector>

namespace zel {

// The scheduler thread opens the hand-over when it can take jobs; wake is
// called on the callback's thread when a job arrives and none was waiting.
void OpenTransferredJobs(void (*wake)());
// At the scheduler's end: later jobs are settled by the callback itself
// again, and those still waiting are let go on the calling thread. BITS
// keeps them transferred, and the next check settles them.
void CloseTransferredJobs();
// On the callback's thread: true when the scheduler took the job (a new
// reference is kept), false when the hand-over is closed or full.
bool HandOverTransferredJob(IBackgroundCopyJob* job);
// On the scheduler thread: the jobs handed over so far, oldest first.
std::vector<Microsoft::WRL::ComPtr<IBackgroundCopyJob>> TakeTransferredJobs();

}  // namespace zel
