// The poll period and its text.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace zel {

constexpr int64_t DefaultPollPeriod = -12000000000LL;  // 20 minutes, 100 ns units

// Negative count of 100-nanosecond units (a relative timer due time).
extern std::atomic<int64_t> PollPeriod;

// 0 gives 20 minutes, a positive value is negated; logs a real change.
void SetPollPeriod(int64_t period);
// "1 час 30 мин 15 cек" for a negative period.
std::string FormatDuration(int64_t period);

}  // namespace zel
