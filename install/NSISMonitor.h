// The "/monitor" role: the progress window shown while installers run.
#pragma once

#include <windows.h>

#include <string>

namespace zel {

void RunMonitor();
std::string GetHookDllPath();                 // program directory + "Service.dll"
void ExtractHookDll(const std::string& path);  // raises on failure

// The event that the installer thread signals to close the monitor.
extern const char* const MonitorEventName;  // "Global\{0A328AAF-...}"
constexpr UINT WM_MONITOR_CLOSE = WM_USER + 170;
constexpr ULONG_PTR MONITOR_TEXT1 = 161;  // WM_COPYDATA code: first line
constexpr ULONG_PTR MONITOR_TEXT2 = 162;  // second line
constexpr int MonitorLine1 = 101, MonitorLine2 = 102, MonitorProgress = 103;

INT_PTR CALLBACK MonitorDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
bool LoadHookDll(HWND window);
bool UnloadHookDll();
bool ForceForegroundWindow(HWND window);

}  // namespace zel
