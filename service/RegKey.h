// The owner of one open registry key: closed when the owner goes.
#pragma once

#include <windows.h>

namespace zel {

class TRegKey {
public:
    TRegKey() = default;
    ~TRegKey() { Close(); }
    TRegKey(const TRegKey&) = delete;
    TRegKey& operator=(const TRegKey&) = delete;

    HKEY* Out() {
        Close();
        return &key_;
    }
    HKEY Get() const { return key_; }
    explicit operator bool() const { return key_ != nullptr; }
    void Close() {
        if (key_) RegCloseKey(key_);
        key_ = nullptr;
    }

private:
    HKEY key_ = nullptr;
};

}  // namespace zel
