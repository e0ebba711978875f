#include <gtest/gtest.h>

#include <cstdio>

#include "service/ZELService.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    zel::CreateProcessObjects();
    int code = RUN_ALL_TESTS();
    zel::DestroyProcessObjects();
    // The results are out; the process ends without its DLLs' detach. Under
    // Wine the detach after a run with BITS and out-of-process COM was seen
    // to wait for ever (the process stays, CTest waits for its time-out).
    fflush(stdout);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    return code;
}
