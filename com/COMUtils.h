// COM registration of the server: class, ProgID, type library, AppID with
// LocalService.
#pragma once

#include <windows.h>

namespace zel {

void RegisterServer();    // raises on registry and type-library errors
void UnregisterServer();

// A call into another process failed because that process or its object is
// gone (the proxy is of no further use).
bool IsDisconnected(HRESULT hr);

}  // namespace zel
