// The installer thread of one install request.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zel {

// Lines "name=version"; starts the thread and returns at once.
void RunInstaller(const std::vector<std::string>& modules, DWORD callerPid, bool restartCaller);

}  // namespace zel
