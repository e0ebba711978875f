// The native build's log: the units' lines are kept in memory, filtered by
// LogMode as the daily file would be, so that tests can read them.
#pragma once

#include <string>
#include <vector>

namespace zeltest {

// The lines written since the last ClearLog, in order.
std::vector<std::string> LogLines();
void ClearLog();

}  // namespace zeltest
