// The kernel objects of the stand-in: threads, events and waits, on the C++
// run-time's threads, mutexes and condition variables, so that the units
// that hand work to threads run here for real (and ThreadSanitizer sees
// every hand-over as the synchronisation it is).
//
// A handle is a KernelObject with a count of references: one for the
// handle, one for a thread while it runs, one for each wait on it.
// CloseHandle lets go of the handle's; the object goes with the last one.
#include <windows.h>

#include <objbase.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

namespace {

struct KernelObject {
    std::atomic<int> refs{1};
    std::mutex lock;
    std::condition_variable changed;
    bool signalled = false;
    bool manualReset = true;

    void Release() {
        if (--refs == 0) delete this;
    }
    void Signal() {
        {
            std::lock_guard<std::mutex> guard(lock);
            signalled = true;
        }
        changed.notify_all();
    }
};

std::chrono::steady_clock::time_point Start() {
    static const auto start = std::chrono::steady_clock::now();
    return start;
}

std::atomic<DWORD> NextThreadId{1};
thread_local DWORD ThreadId = 0;

}  // namespace

BOOL CloseHandle(HANDLE handle) {
    // The stand-in opens no files: a real handle here is a kernel object.
    if (!handle || handle == INVALID_HANDLE_VALUE) return TRUE;
    static_cast<KernelObject*>(handle)->Release();
    return TRUE;
}

HANDLE CreateEventA(void*, BOOL manualReset, BOOL initialState, LPCSTR) {
    auto* event = new (std::nothrow) KernelObject;
    if (!event) return nullptr;
    event->manualReset = manualReset != FALSE;
    event->signalled = initialState != FALSE;
    return event;
}

BOOL SetEvent(HANDLE event) {
    static_cast<KernelObject*>(event)->Signal();
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    auto* object = static_cast<KernelObject*>(event);
    std::lock_guard<std::mutex> guard(object->lock);
    object->signalled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD ms) {
    // As on Windows, a wait holds the object: its handle may be closed
    // while the wait goes on.
    auto* object = static_cast<KernelObject*>(handle);
    ++object->refs;
    DWORD result = WAIT_OBJECT_0;
    {
        std::unique_lock<std::mutex> guard(object->lock);
        auto ready = [object] { return object->signalled; };
        if (ms == INFINITE) {
            object->changed.wait(guard, ready);
        } else if (!object->changed.wait_for(guard, std::chrono::milliseconds(ms), ready)) {
            result = WAIT_TIMEOUT;
        }
        if (result == WAIT_OBJECT_0 && !object->manualReset) object->signalled = false;
    }
    object->Release();
    return result;
}

HANDLE CreateThread(void*, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID param, DWORD flags, LPDWORD id) {
    if (flags & CREATE_SUSPENDED) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto* thread = new (std::nothrow) KernelObject;
    if (!thread) return nullptr;
    thread->refs = 2;  // the handle's and the running thread's
    const DWORD threadId = NextThreadId++;
    try {
        std::thread([thread, start, param, threadId] {
            ThreadId = threadId;
            start(param);
            thread->Signal();
            thread->Release();
        }).detach();
    } catch (const std::exception&) {
        delete thread;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (id) *id = threadId;
    return thread;
}

DWORD GetCurrentThreadId() {
    if (ThreadId == 0) ThreadId = NextThreadId++;
    return ThreadId;
}

void Sleep(DWORD ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

ULONGLONG GetTickCount64() {
    return static_cast<ULONGLONG>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - Start()).count());
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

HRESULT CoInitializeEx(LPVOID, DWORD) { return S_OK; }
void CoUninitialize() {}
