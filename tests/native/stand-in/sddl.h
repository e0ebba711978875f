// Stand-in for <sddl.h>: SIDs in their "S-1-..." text form.
#pragma once

#include <windows.h>

BOOL ConvertStringSidToSidA(LPCSTR text, PSID* sid);
