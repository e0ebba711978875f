#include "service/ZELService.h"

int main() {
    zel::CreateProcessObjects();
    int code = zel::RunProgram();
    // A scheduler still at work after the service stopped (a check waiting
    // for the update server) may use the process-wide objects to its last
    // moment: the process ends around it, which stops that thread before
    // anything is destroyed.
    if (zel::IsDownloaderRunning()) ExitProcess(static_cast<UINT>(code));
    zel::DestroyProcessObjects();
    return code;
}
