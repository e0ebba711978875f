// Worker threads of the process, in the multithreaded COM apartment, kept
// for the next task: many short calls into other processes cost no thread
// creation each.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>

namespace zel {

// Starts the task at once on an idle worker, or on a new one when all are
// busy (a task never waits for a worker). False when no thread could be
// started. A worker left idle for a minute ends.
bool RunOnWorker(std::function<void()> task);

}  // namespace zel
