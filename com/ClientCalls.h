// Calls into the objects of client processes, bounded in time: a client
// whose code does not return holds up nobody for longer than the limit.
// The calls of one batch run at the same time, each on a worker thread of
// a shared pool, as far as the pool's limit allows; a call that outlives the
// limit is abandoned, and its worker comes back to the pool whenever the
// call returns (at the latest when the client process ends). A call that
// got no worker before the limit counts as timed out and is never started.
// While a client process has an abandoned call outstanding, no further call
// to it is started: one that hangs in every call holds no more workers than
// it held when it first hung.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "Caller.h"

namespace zel {

constexpr DWORD ClientCallTimeoutMs = 30000;

enum class CallState { Done, TimedOut, NotStarted };

class TClientCalls {
public:
    TClientCalls();
    ~TClientCalls();
    TClientCalls(const TClientCalls&) = delete;
    TClientCalls& operator=(const TClientCalls&) = delete;

    // Starts the work at once on a worker thread in the multithreaded
    // apartment. The work must own (hold references to) everything it
    // touches: it may run on after Wait has given up on it.
    // The work calls into `client` (not known: no rule applies); a work
    // for a process with an abandoned call still running is not started and
    // counts as timed out.
    void Start(std::function<void()> work, const TProcessKey& client = TProcessKey());
    // Waits until every started work has ended or the limit has passed;
    // the state of each work, in the order of Start.
    std::vector<CallState> Wait(DWORD timeoutMs = ClientCallTimeoutMs);

private:
    struct Batch;

    std::shared_ptr<Batch> batch_;
    struct Call;
    std::vector<std::shared_ptr<Call>> calls_;
    bool waited_ = false;
};

}  // namespace zel
