#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "service/ZELService.h"
#include "support/ServiceControl.h"
#include "support/TestSupport.h"

namespace {

// A test that waits for ever would hold up the whole suite until CTest's
// time-out, which then ends the program before its output is flushed: the
// report of where it hung is lost. The watchdog writes that report itself
// (the running test, the processes, the end of the last service's log) and
// ends the program as failed.
class Watchdog : public testing::EmptyTestEventListener {
public:
    explicit Watchdog(DWORD limitMs) : limitMs_(limitMs) {
        CreateThread(nullptr, 0, &Watchdog::Run, this, 0, nullptr);
    }
    void OnTestStart(const testing::TestInfo& info) override {
        std::lock_guard<std::mutex> lock(mutex_);
        name_ = std::string(info.test_suite_name()) + "." + info.name();
        started_ = GetTickCount();
    }
    void OnTestEnd(const testing::TestInfo&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        name_.clear();
    }

private:
    static DWORD WINAPI Run(void* self) {
        static_cast<Watchdog*>(self)->Watch();
        return 0;
    }
    void Watch() {
        for (;;) {
            Sleep(1000);
            std::string name;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (name_.empty() || GetTickCount() - started_ < limitMs_) continue;
                name = name_;
            }
            Report(name);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }
    void Report(const std::string& name) {
        std::printf("\n[  HUNG    ] %s ran past %lu s\n", name.c_str(), limitMs_ / 1000);
        std::printf("Processes:\n");
        HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32 pe = {};
        pe.dwSize = sizeof pe;
        for (BOOL ok = Process32First(snap, &pe); ok; ok = Process32Next(snap, &pe))
            std::printf("  %5lu %3lu threads %s\n", pe.th32ProcessID, pe.cntThreads, pe.szExeFile);
        if (snap != INVALID_HANDLE_VALUE) CloseHandle(snap);
        const std::string dir = zel::test::LastServiceDir();
        if (!dir.empty()) {
            const std::string log = zel::test::ReadLog(dir);
            const size_t keep = 12000;
            std::printf("End of the log in %s:\n%s\n", dir.c_str(),
                        (log.size() > keep ? log.substr(log.size() - keep) : log).c_str());
        }
        std::fflush(stdout);
    }

    const DWORD limitMs_;
    std::mutex mutex_;
    std::string name_;
    DWORD started_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const char* limit = std::getenv("ZEL_TEST_LIMIT_S");
    testing::UnitTest::GetInstance()->listeners().Append(
        new Watchdog(static_cast<DWORD>(limit ? std::atoi(limit) : 300) * 1000));
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
