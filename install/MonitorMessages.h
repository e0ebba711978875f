// What the installer monitor and the hook DLL say to each other: the name
// and layout of the block they share, and the codes and size of the reports
// the DLL sends the monitor's window by WM_COPYDATA. The DLL links nothing
// of the service: this header is all the two have in common.
#pragma once

#include <windows.h>

#include <cstddef>

namespace zel {

// The shared block: made by the monitor for its own user, opened by every
// copy of the DLL. Window and hook handles are 32 bits wide in 32-bit and
// 64-bit processes alike, so the block has one layout for both.
constexpr char HookBlockName[] = "36B396CF-61D3-4105-8535-81F46F036968";
struct THookBlock {
    DWORD Hook;    // the DLL's hook handle
    DWORD Window;  // the monitor's window, where reports go
};

constexpr ULONG_PTR MONITOR_TEXT1 = 161;  // WM_COPYDATA code: first line
constexpr ULONG_PTR MONITOR_TEXT2 = 162;  // second line
constexpr size_t ReportBlockSize = 261;   // bytes of a report, its zero included

}  // namespace zel
