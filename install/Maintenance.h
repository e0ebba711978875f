// Housekeeping: the hook DLL at start, old patches, installers and logs.
#pragma once

namespace zel {

bool RestoreHookDll();
void RemovePatchDirs();
void RemoveOldInstallers();
void CleanLogs();

}  // namespace zel
