// Test driver named ZELService.exe: runs the monitor role and one installer
// thread, so that the monitor and the hook DLL see the names they expect.
//   ZELService.exe /monitor
//   ZELService.exe /runinstaller <caller pid> <restart 0|1> name=version...
// A file "stubborn.flag" beside it makes the monitor ignore the event.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "install/Installer.h"
#include "install/NSISMonitor.h"
#include "service/Log.h"
#include "service/Text.h"
#include "service/ZELService.h"

int main(int argc, char** argv) {
    zel::CreateProcessObjects();
    zel::LogMode.store(0x3F);
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
        DWORD pid = static_cast<DWORD>(strtoul(argv[2], nullptr, 10));
        bool restart = std::string(argv[3]) == "1";
        std::vector<std::string> modules(argv + 4, argv + argc);
        HANDLE thread = zel::StartInstaller(modules, pid, restart);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    zel::DestroyProcessObjects();
    return 0;
}
