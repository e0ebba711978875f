// The BITS connection a call works on (transfer's own units only).
#pragma once

#include <wrl/client.h>

#include "BITS.h"

namespace zel {

// The manager given, or a fresh connection that is released on leaving.
class ManagerRef {
public:
    explicit ManagerRef(IBackgroundCopyManager* given) : ptr_(given) {
        if (!ptr_ && ConnectBITS(own_.GetAddressOf())) ptr_ = own_.Get();
    }
    ManagerRef(const ManagerRef&) = delete;
    ManagerRef& operator=(const ManagerRef&) = delete;
    explicit operator bool() const { return ptr_ != nullptr; }
    IBackgroundCopyManager* operator->() const { return ptr_; }
    IBackgroundCopyManager* Get() const { return ptr_; }

private:
    IBackgroundCopyManager* ptr_ = nullptr;  // given or own_
    Microsoft::WRL::ComPtr<IBackgroundCopyManager> own_;
};

}  // namespace zel
