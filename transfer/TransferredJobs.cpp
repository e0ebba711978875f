#include "TransferredJobs.h"

#include <mutex>
#include <utility>

using Microsoft::WRL::ComPtr;

namespace zel {

namespace {

// More jobs than modules are never waiting; past this many something is
// wrong with the scheduler, and the callback settles the job itself.
constexpr size_t MaxWaitingJobs = 4096;

struct THandOver {
    std::mutex lock;
    void (*wake)() = nullptr;  // null: closed
    std::vector<ComPtr<IBackgroundCopyJob>> waiting;
};

THandOver& HandOver() {
    // Never destroyed: a callback may come at the very end of the process.
    static THandOver* const handOver = new THandOver;
    return *handOver;
}

}  // namespace

void OpenTransferredJobs(void (*wake)()) {
    THandOver& h = HandOver();
    std::lock_guard<std::mutex> lock(h.lock);
    h.wake = wake;
}

void CloseTransferredJobs() {
    THandOver& h = HandOver();
    std::vector<ComPtr<IBackgroundCopyJob>> left;
    {
        std::lock_guard<std::mutex> lock(h.lock);
        h.wake = nullptr;
        left.swap(h.waiting);
    }
    // The references go here, outside the lock.
}

bool HandOverTransferredJob(IBackgroundCopyJob* job) {
    if (!job) return false;
    THandOver& h = HandOver();
    void (*wake)() = nullptr;
    {
        std::lock_guard<std::mutex> lock(h.lock);
        if (!h.wake || h.waiting.size() >= MaxWaitingJobs) return false;
        h.waiting.emplace_back(job);
        if (h.waiting.size() == 1) wake = h.wake;
    }
    // The scheduler takes every waiting job when it wakes: one wake for a
    // run of jobs is enough.
    if (wake) wake();
    return true;
}

std::vector<ComPtr<IBackgroundCopyJob>> TakeTransferredJobs() {
    THandOver& h = HandOver();
    std::vector<ComPtr<IBackgroundCopyJob>> taken;
    std::lock_guard<std::mutex> lock(h.lock);
    taken.swap(h.waiting);
    return taken;
}

}  // namespace zel
