#include "Maintenance.h"
namespace zel {
bool RestoreHookDll() { return false; }
void RemovePatchDirs() {}
void RemoveOldInstallers() {}
void CleanLogs() {}
}  // namespace zel
