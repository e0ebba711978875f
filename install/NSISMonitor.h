// The "/monitor" role: the progress window shown while installers run.
#pragma once

#include <windows.h>

#include "MonitorMessages.h"

#include <string>

namespace zel {

void RunMonitor();
std::string GetHookDllPath();                 // program directory + "Service.dll"
void ExtractHookDll(const std::string& path);  // raises on failure

// The event that the installer thread signals to close the monitor. Each
// install run names its own: the common part, "-" and a suffix of 16
// hexadecimal digits that the monitor is given on its command line
// ("/event=<suffix>"); nobody else can know the name of a run's event.
extern const char* const MonitorEventName;  // "Global\{0A328AAF-...}"
std::string NewMonitorEventSuffix();                            // random; raises when there is none
std::string MonitorEventNameFor(const std::string& suffix);     // MonitorEventName + "-" + suffix
bool IsMonitorEventSuffix(const std::string& suffix);
// The event named on the monitor's command line; empty without a valid one.
std::string MonitorEventFromCommandLine();

// The hook DLL's shared block, made by the monitor (for its own user only)
// before the DLL is loaded; an existing block of that name is refused
// (nullptr then). The DLL in the other processes opens it.
HANDLE CreateHookBlock();
constexpr UINT WM_MONITOR_CLOSE = WM_USER + 170;
constexpr int MonitorLine1 = 101, MonitorLine2 = 102, MonitorProgress = 103;

INT_PTR CALLBACK MonitorDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
bool LoadHookDll(HWND window);
bool UnloadHookDll();
bool ForceForegroundWindow(HWND window);

}  // namespace zel
