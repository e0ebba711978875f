// An owned BSTR: made from a system code page or UTF-16 text, or empty to
// receive an out parameter.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "base/Text.h"

namespace zel {

class BStr {
public:
    BStr() = default;
    explicit BStr(const std::string& text) : b_(SysAllocString(ToWide(text).c_str())) {}
    explicit BStr(const std::wstring& text) : b_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    ~BStr() { SysFreeString(b_); }
    BStr(const BStr&) = delete;
    BStr& operator=(const BStr&) = delete;
    operator BSTR() const { return b_; }
    BSTR* Out() { return &b_; }

private:
    BSTR b_ = nullptr;
};

}  // namespace zel
