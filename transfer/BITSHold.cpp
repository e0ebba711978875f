#include "BITSHold.h"

#include <windows.h>
#include <bits.h>
#include <wrl/client.h>

#include <mutex>

using Microsoft::WRL::ComPtr;

namespace zel {

namespace {

struct THeld {
    ComPtr<IClassFactory> factory;
    ComPtr<IBackgroundCopyManager> manager;
    ComPtr<IEnumBackgroundCopyJobs> jobs;
};

std::mutex heldLock;
THeld held;

}  // namespace

bool HoldBITSObjects() {
    THeld now;
    if (FAILED(CoGetClassObject(__uuidof(BackgroundCopyManager), CLSCTX_LOCAL_SERVER, nullptr,
                                IID_PPV_ARGS(&now.factory))))
        return false;
    if (FAILED(now.factory->CreateInstance(nullptr, IID_PPV_ARGS(&now.manager)))) return false;
    if (FAILED(now.manager->EnumJobs(0, &now.jobs))) return false;
    std::lock_guard<std::mutex> lock(heldLock);
    held = std::move(now);
    return true;
}

void ReleaseBITSObjects() {
    THeld gone;
    {
        std::lock_guard<std::mutex> lock(heldLock);
        gone = std::move(held);
    }
}

}  // namespace zel
