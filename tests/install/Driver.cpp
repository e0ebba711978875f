// Test driver named ZELService.exe: runs the monitor role and one installer
// thread, so that the monitor and the hook DLL see the names they expect.
//   ZELService.exe /monitor
//   ZELService.exe /runinstaller <caller pid> <restart 0|1> name=version...
//                  [+ <caller pid> <restart 0|1> name=version...]...
//                                             one installer thread per request,
//                                             all started at once
//   ZELService.exe /spawn <command line>      runs a child, returns its code
//   ZELService.exe /window [W:]file...        creates a window (so that window
//                                             hooks load), opens the files
//                                             (W: through CreateFileW), ends
//   ZELService.exe /freehook file...          creates a window, unloads the hook
//                                             DLL as the system may once the hook
//                                             is gone, opens the files; ends with
//                                             0 when the DLL stayed loaded
//   ZELService.exe /caller                    waits until killed (a client)
// A file "stubborn.flag" beside it makes the monitor ignore the event.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/Log.h"
#include "base/Text.h"
#include "install/Installer.h"
#include "install/NSISMonitor.h"
#include "service/ZELService.h"

namespace {

// The rest of the raw command line after the given switch.
std::string CommandTail(const char* option) {
    const char* line = GetCommandLineA();
    const char* at = strstr(line, option);
    if (!at) return std::string();
    at += strlen(option);
    while (*at == ' ') ++at;
    return at;
}

DWORD Spawn(const std::string& commandLine) {
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info;
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return 99;
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return code;
}

void OpenFiles(int argc, char** argv) {
    for (int i = 2; i < argc; ++i) {
        std::string name = argv[i];
        HANDLE file;
        if (name.compare(0, 2, "W:") == 0) {
            std::wstring wide = zel::ToWide(name.substr(2));
            file = CreateFileW(wide.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        } else {
            file = CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        }
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
}

// A first window: the window hook loads its DLL now.
HWND CreateFirstWindow() {
    return CreateWindowExA(0, "STATIC", "", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
}

int UnloadHookThenOpenFiles(int argc, char** argv) {
    HWND window = CreateFirstWindow();
    HMODULE dll = GetModuleHandleA("Service.dll");
    if (!dll) return 2;
    for (int i = 0; i < 8 && GetModuleHandleA("Service.dll"); ++i) FreeLibrary(dll);
    bool kept = GetModuleHandleA("Service.dll") != nullptr;
    OpenFiles(argc, argv);
    if (window) DestroyWindow(window);
    return kept ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    zel::CreateProcessObjects();
    zel::LogMode.store(0x3F);
    int code = 0;
    if (zel::FindCmdLineSwitch("monitor")) {
        if (zel::FileExists(zel::GetProgramDir() + "stubborn.flag")) {
            // Ready for input, but deaf to the event.
            DWORD start = GetTickCount();
            while (GetTickCount() - start < 15000) {
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 500, QS_ALLINPUT);
                MSG message;
                while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
            }
        } else {
            zel::RunMonitor();
        }
    } else if (argc >= 4 && std::string(argv[1]) == "/runinstaller") {
        std::vector<HANDLE> threads;
        for (int at = 2; at + 1 < argc;) {
            int end = at + 2;
            while (end < argc && std::string(argv[end]) != "+") ++end;
            DWORD pid = static_cast<DWORD>(strtoul(argv[at], nullptr, 10));
            bool restart = std::string(argv[at + 1]) == "1";
            std::vector<std::string> modules(argv + at + 2, argv + end);
            threads.push_back(zel::StartInstaller(modules, pid, restart));
            at = end + 1;
        }
        for (HANDLE thread : threads) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
    } else if (argc >= 3 && std::string(argv[1]) == "/spawn") {
        code = static_cast<int>(Spawn(CommandTail("/spawn")));
    } else if (argc >= 2 && std::string(argv[1]) == "/window") {
        HWND window = CreateFirstWindow();
        OpenFiles(argc, argv);
        if (window) DestroyWindow(window);
    } else if (argc >= 2 && std::string(argv[1]) == "/freehook") {
        code = UnloadHookThenOpenFiles(argc, argv);
    } else if (argc >= 2 && std::string(argv[1]) == "/caller") {
        Sleep(INFINITE);
    }
    zel::DestroyProcessObjects();
    return code;
}
