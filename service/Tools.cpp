#include "Tools.h"
namespace zel {
std::atomic<int64_t> PollPeriod{DefaultPollPeriod};
void SetPollPeriod(int64_t) {}
std::string FormatDuration(int64_t) { return std::string(); }
}  // namespace zel
