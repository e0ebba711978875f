// A string that a COM server allocated for its caller (BITS's names and
// descriptions): freed with CoTaskMemFree when its owner goes.
#pragma once

#include <objbase.h>

#include <string>

#include "base/Text.h"

namespace zel {

class TaskString {
public:
    TaskString() = default;
    ~TaskString() { CoTaskMemFree(p_); }
    TaskString(const TaskString&) = delete;
    TaskString& operator=(const TaskString&) = delete;
    LPWSTR* operator&() {
        CoTaskMemFree(p_);
        p_ = nullptr;
        return &p_;
    }
    const wchar_t* Get() const { return p_ ? p_ : L""; }
    std::string Ansi() const { return ToAnsi(Get()); }

private:
    LPWSTR p_ = nullptr;
};

}  // namespace zel
