// Worker threads of the process, in the multithreaded COM apartment, kept
// for the next task: many short calls into other processes cost no thread
// creation each. Their number is bounded.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>

namespace zel {

// At most this many tasks run at once: a caller (a client that advises
// thousands of sinks that never return) cannot make the process start
// threads until none can be started any more.
constexpr size_t MaxWorkerThreads = 64;
// Tasks beyond that wait in order, at most this many.
constexpr size_t MaxQueuedTasks = 4096;

// Starts the task on an idle worker, on a new one while fewer than
// MaxWorkerThreads run, or else queues it for the first worker that comes
// free (one LogWarning line each time the limit is reached). False when it
// can neither start nor wait (no thread could be started, or the queue is
// full). With mayWait false the task is never queued: false then means
// "do it yourself" (for work that must not wait behind calls into clients).
// A worker left idle for a minute ends.
bool RunOnWorker(std::function<void()> task, bool mayWait = true);

// The workers there are now, busy or idle (for the limits' tests).
size_t WorkerThreadCount();

// At the end of the service run: from now on no task is taken (RunOnWorker
// is false), and the tasks taken, queued ones included, are waited for at
// most ms. True when none is left; a task still running then (a call into
// a client that hangs) ends with the process.
bool ShutDownWorkers(DWORD ms);

}  // namespace zel
