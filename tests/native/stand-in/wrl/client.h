// Stand-in for <wrl/client.h>: ComPtr with the members the units use.
#pragma once

#include <oaidl.h>

#include <utility>

namespace Microsoft {
namespace WRL {

template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(T* p) : p_(p) {  // NOLINT: implicit, as the real one
        if (p_) p_->AddRef();
    }
    ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~ComPtr() { Reset(); }
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    T** GetAddressOf() { return &p_; }
    // The real one returns a helper that converts to T**; for the units the
    // pointer itself does.
    T** operator&() { return ReleaseAndGetAddressOf(); }
    void Attach(T* p) {
        Reset();
        p_ = p;
    }
    T** ReleaseAndGetAddressOf() {
        Reset();
        return &p_;
    }
    explicit operator bool() const { return p_ != nullptr; }
    void Reset() {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }
    T* Detach() { return std::exchange(p_, nullptr); }

private:
    T* p_ = nullptr;
};

}  // namespace WRL
}  // namespace Microsoft
