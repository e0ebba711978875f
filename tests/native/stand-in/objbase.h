// Stand-in for <objbase.h>: GUID text only in its braced form (no ProgIDs,
// there is no registry here).
#pragma once

#include <windows.h>

HRESULT CLSIDFromString(LPCWSTR text, LPCLSID clsid);
