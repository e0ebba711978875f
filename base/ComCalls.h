// What a failed call into another process says of its other end.
#pragma once

#include <windows.h>

namespace zel {

// A call into another process failed because that process or its object is
// gone (the proxy is of no further use).
bool IsDisconnected(HRESULT hr);

}  // namespace zel
