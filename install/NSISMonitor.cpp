#include "NSISMonitor.h"
#include "service/Text.h"
namespace zel {
void RunMonitor() {}
std::string GetHookDllPath() { return GetProgramDir() + "Service.dll"; }
void ExtractHookDll(const std::string&) {}
}  // namespace zel
