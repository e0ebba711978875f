// Owners of the platform's handles and memory: each lets go of what it
// holds when it goes, whatever happens in between (an early return, an
// exception). Move-only. COM references are held by Microsoft::WRL::ComPtr.
//
//   UniqueHandle h(CreateFileA(...));   if (!h) ...;   ReadFile(h.Get(), ...)
//   UniqueHandle token;   OpenProcessToken(process, access, token.Out());
//   ScopeExit undo([&] { ... });        undo.Dismiss() once it is not needed
#pragma once

#include <windows.h>
#include <objbase.h>

#include <utility>

namespace zel {

// One resource of type T, released by Traits::Close; Traits::Invalid() is
// the value that holds nothing, Traits::Valid() tells a held one.
template <class T, class Traits>
class Unique {
public:
    Unique() = default;
    explicit Unique(T value) : value_(value) {}
    ~Unique() { Reset(); }
    Unique(Unique&& other) noexcept : value_(other.Release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;

    T Get() const { return value_; }
    explicit operator bool() const { return Traits::Valid(value_); }
    // For an out parameter: lets go of what it held first.
    T* Out() {
        Reset();
        return &value_;
    }
    // Hands the resource on: the owner then holds nothing.
    T Release() {
        T value = value_;
        value_ = Traits::Invalid();
        return value;
    }
    void Reset(T value = Traits::Invalid()) {
        if (Traits::Valid(value_)) Traits::Close(value_);
        value_ = value;
    }

private:
    T value_ = Traits::Invalid();
};

struct KernelHandleTraits {
    static HANDLE Invalid() { return nullptr; }
    // CreateFile and CreateToolhelp32Snapshot fail with INVALID_HANDLE_VALUE,
    // the others with null: neither is closed.
    static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { CloseHandle(h); }
};
using UniqueHandle = Unique<HANDLE, KernelHandleTraits>;

struct FindHandleTraits {
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { FindClose(h); }
};
using FindHandle = Unique<HANDLE, FindHandleTraits>;

struct ServiceHandleTraits {
    static SC_HANDLE Invalid() { return nullptr; }
    static bool Valid(SC_HANDLE h) { return h != nullptr; }
    static void Close(SC_HANDLE h) { CloseServiceHandle(h); }
};
using ServiceHandle = Unique<SC_HANDLE, ServiceHandleTraits>;

struct RegKeyTraits {
    static HKEY Invalid() { return nullptr; }
    static bool Valid(HKEY h) { return h != nullptr; }
    static void Close(HKEY h) { RegCloseKey(h); }
};
using UniqueRegKey = Unique<HKEY, RegKeyTraits>;

template <class T>
struct LocalMemoryTraits {
    static T* Invalid() { return nullptr; }
    static bool Valid(T* p) { return p != nullptr; }
    static void Close(T* p) { LocalFree(reinterpret_cast<HLOCAL>(p)); }
};
// Memory the system allocated with LocalAlloc for the caller (FormatMessage,
// ConvertStringSidToSid, CryptProtectData, ...).
template <class T>
using LocalMemory = Unique<T*, LocalMemoryTraits<T>>;

template <class T>
struct TaskMemoryTraits {
    static T* Invalid() { return nullptr; }
    static bool Valid(T* p) { return p != nullptr; }
    static void Close(T* p) { CoTaskMemFree(p); }
};
// Memory a COM call allocated for the caller with CoTaskMemAlloc.
template <class T>
using TaskMemory = Unique<T*, TaskMemoryTraits<T>>;

// Runs `f` when it goes, unless dismissed.
template <class F>
class ScopeExit {
public:
    explicit ScopeExit(F f) : f_(std::move(f)) {}
    ~ScopeExit() {
        if (active_) f_();
    }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    void Dismiss() { active_ = false; }

private:
    F f_;
    bool active_ = true;
};

}  // namespace zel
