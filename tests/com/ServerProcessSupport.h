// What the cross-process tests of the update server share: programs of the
// test (zelctl, a script host, cmd) run with their output in a file, and
// the fixture that leaves no job of the service behind.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "base/Text.h"
#include "support/ServiceControl.h"
#include "support/TestSupport.h"

namespace zel::test {

// zelctl ends its lines with LF alone.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines = SplitLines(text, "\n");
    for (std::string& line : lines)
        if (!line.empty() && line.back() == '\r') line.pop_back();
    return lines;
}

// A program of this test (zelctl, cscript) with its output in a file.
class Child {
public:
    Child(const std::wstring& commandLine, const std::string& outFile) : out_(outFile) {
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        HANDLE file = CreateFileA(out_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = file;
        si.hStdError = file;
        std::wstring cmd = commandLine;
        PROCESS_INFORMATION pi = {};
        if (CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                           &pi)) {
            process_ = pi.hProcess;
            pid_ = pi.dwProcessId;
            CloseHandle(pi.hThread);
        }
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
    ~Child() {
        Kill();
        if (process_) CloseHandle(process_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return process_ != nullptr; }
    DWORD Pid() const { return pid_; }
    std::string Output() const { return ReadFileBytes(out_); }
    std::vector<std::string> Lines() const { return test::Lines(Output()); }
    // Exit code, or -1 when it is still running after timeoutMs.
    int Wait(DWORD timeoutMs) {
        if (!process_ || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        return static_cast<int>(code);
    }
    void Kill() {
        if (process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_, 99);
            WaitForSingleObject(process_, 5000);
        }
    }
    int Count(const std::string& line) const {
        int n = 0;
        for (const std::string& l : Lines()) n += l == line;
        return n;
    }
    // The cookie of a watcher, once it has printed "Advised <cookie>".
    int WaitAdvised(DWORD timeoutMs) {
        int cookie = -1;
        WaitFor(
            [&] {
                for (const std::string& l : Lines())
                    if (l.rfind("Advised ", 0) == 0) cookie = StrToIntDef(l.substr(8), -1);
                return cookie >= 0 || WaitForSingleObject(process_, 0) == WAIT_OBJECT_0;
            },
            timeoutMs);
        return cookie;
    }
    bool WaitCount(const std::string& line, int count, DWORD timeoutMs) {
        return WaitFor([&] { return Count(line) >= count; }, timeoutMs);
    }

private:
    std::string out_;
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

inline std::wstring Zelctl(const std::wstring& args) {
    return L"\"" + ToWide(BinDir() + "zelctl.exe") + L"\" " + args;
}

// Runs zelctl to its end; its exit code, the output in `out`.
inline int RunZelctl(const std::wstring& args, std::string& out, const std::string& name) {
    Child c(Zelctl(args), TestDir() + name + ".out");
    if (!c.Started()) return -2;
    int code = c.Wait(60000);
    out = Trim(c.Output());
    return code;
}

class ServerProcess : public testing::Test {
protected:
    void SetUp() override { CancelServiceJobs(); }
    void TearDown() override { CancelServiceJobs(); }
};

}  // namespace zel::test
