#include "base/InFlight.h"
#include "base/Log.h"
#include "service/ZELService.h"

int main() {
    zel::CreateProcessObjects();
    int code = zel::RunProgram();
    // Work still going on after the service stopped (a check waiting for the
    // update server, an install waiting for its requester, a COM call, a BITS
    // callback, a call into a client that hangs) may use the process-wide
    // objects to its last moment: the process ends around it, which stops
    // those threads before anything is destroyed.
    const long atWork = zel::WorkInFlight() + (zel::IsDownloaderRunning() ? 1 : 0);
    if (atWork > 0) {
        zel::TryWriteLogFmt("Работа службы ещё идёт (%d): процесс завершается без освобождения общих объектов",
                            {static_cast<int>(atWork)}, zel::LogTrace);
        ExitProcess(static_cast<UINT>(code));
    }
    zel::DestroyProcessObjects();
    return code;
}
