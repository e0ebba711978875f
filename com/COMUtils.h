// COM registration of the server: class, ProgID, type library, AppID with
// LocalService.
#pragma once

#include <windows.h>

namespace zel {

void RegisterServer();    // raises on registry and type-library errors
void UnregisterServer();

}  // namespace zel
