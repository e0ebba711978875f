// Work of the process that may still use its process-wide objects (the log,
// the queues, the proxy settings): a COM call being served, a BITS
// callback, a task given to a worker, an install request. The program
// destroys those objects at its end only when none is in flight; otherwise
// the process ends around the work (service/main.cpp).
#pragma once

#include <atomic>

namespace zel {

// The work in flight now.
long WorkInFlight();

// Counts as work in flight for as long as it lives.
class TInFlight {
public:
    TInFlight();
    ~TInFlight();
    TInFlight(const TInFlight&) = delete;
    TInFlight& operator=(const TInFlight&) = delete;
};

}  // namespace zel
