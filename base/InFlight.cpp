#include "InFlight.h"

namespace zel {

namespace {

std::atomic<long> Count{0};

}  // namespace

long WorkInFlight() { return Count.load(); }

TInFlight::TInFlight() { ++Count; }

TInFlight::~TInFlight() { --Count; }

}  // namespace zel
