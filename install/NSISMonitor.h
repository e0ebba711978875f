// The "/monitor" role: the progress window shown while installers run.
#pragma once

#include <string>

namespace zel {

void RunMonitor();
std::string GetHookDllPath();                 // program directory + "Service.dll"
void ExtractHookDll(const std::string& path);  // raises on failure

}  // namespace zel
