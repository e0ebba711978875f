// Stand-in for <objbase.h>: GUID text only in its braced form (no ProgIDs,
// there is no registry here), and apartments that are no more than a call.
#pragma once

#include <windows.h>

HRESULT CLSIDFromString(LPCWSTR text, LPCLSID clsid);

// No apartments here: every thread may call every object.
#define COINIT_MULTITHREADED 0x0
HRESULT CoInitializeEx(LPVOID reserved, DWORD flags);
void CoUninitialize();
