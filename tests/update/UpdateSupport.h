// What the whole-update tests share: the reference server's catalogue and
// switches, client programs and the service fixture.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <bits.h>

#include <algorithm>

#include "ZELUpdate_TLB.h"
#include "base/BStr.h"
#include "base/Text.h"
#include "base/Versions.h"
#include "store/Digest.h"
#include "support/ServiceControl.h"
#include "support/TestSupport.h"

namespace zel::test {

// How many times the server was asked for the body of a module's file.
inline int FileRequests(const std::string& module, const std::string& name) {
    int count = 0;
    for (const std::string& line : SplitLines(ReadFileBytes(TestDir() + "server.log"), "\n"))
        if (line.find("\"GET /files/" + module + "/") != std::string::npos &&
            line.find("/" + name + " ") != std::string::npos)
            ++count;
    return count;
}

inline bool HasIdleJob(const std::string& description) {
    for (const JobView& job : ServiceJobs())
        if (job.description == description && job.state == BG_JOB_STATE_SUSPENDED && job.files == 0) return true;
    return false;
}

inline std::string VersionOf(const std::string& path) {
    TVersion v = 0;
    GetFileVersion(path, v);
    return VersionToStr(v);
}

// Registers a module the way a client application does.
inline HRESULT AddModule(const std::string& module, const std::string& version) {
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IZELAppList* list = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_ZELUpdateServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IZELAppList,
                                  reinterpret_cast<void**>(&list));
    if (SUCCEEDED(hr)) {
        hr = list->Add(BStr(module), BStr(version));
        list->Release();
    }
    if (SUCCEEDED(init)) CoUninitialize();
    return hr;
}

// Writes a file of the reference server's catalogue in one step (the server
// reads it at every request); empty text removes it.
inline void PutCatalogueFile(const std::string& path, const std::string& text) {
    if (text.empty()) {
        RemoveFile(path);
        return;
    }
    WriteFileBytes(path + ".new", text);
    MoveFileExA((path + ".new").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// The server's switches for one module (see tools/updateserver.py).
inline void SetServerSwitches(const std::string& module, const std::string& json) {
    PutCatalogueFile(TestDir() + "catalogue\\" + module + "\\.server.json", json);
}

inline int CountMessages(const std::vector<std::string>& messages, const std::string& prefix, int from = 0) {
    int count = 0;
    for (int i = from; i < static_cast<int>(messages.size()); ++i)
        if (messages[i].compare(0, prefix.size(), prefix) == 0) ++count;
    return count;
}

// Names of the files in a directory.
inline std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((dir + "*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return names;
}

inline std::string Sha256Of(const std::string& path) {
    std::string digest;
    FileSha256(path, digest);
    return digest;
}

// A client program of its own directory: zelctl copied there.
inline std::string ClientDir(const std::string& name) {
    const std::string dir = TestDir() + name + "\\";
    RemoveTree(dir);
    ForceDirectories(dir);
    CopyFileTo(BinDir() + "zelctl.exe", dir + "zelctl.exe");
    return dir;
}

// Runs zelctl with the arguments in dir; its output.
inline std::string Zelctl(const std::string& dir, const std::string& args, DWORD timeoutMs = 60000) {
    RemoveFile(dir + "out.txt");
    const int code =
        RunProcess("cmd /c \"\"" + dir + "zelctl.exe\" " + args + " > \"" + dir + "out.txt\" 2>&1\"", timeoutMs, dir);
    // A zelctl that outlived its time would outlive the test too: every Wine
    // process holds the test's output pipe open, and CTest waits for it.
    if (code == -1) EndProgramsIn(dir);
    return ReadFileBytes(dir + "out.txt");
}

// The times of day (seconds) of the service's log lines from line `from` on
// whose message is `message` (by default: the checks), or, with `prefix`,
// begins with it.
inline std::vector<int> CheckTimes(const InstalledService& svc, size_t from,
                                   const std::string& message = "Проверка обновлений", bool prefix = false) {
    std::vector<int> times;
    std::vector<std::string> lines = SplitLines(ReadLog(svc.Dir()));
    for (size_t i = from; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.size() < 11 || (prefix ? line.compare(11, message.size(), message) != 0 : line.substr(11) != message))
            continue;
        int t = std::stoi(line.substr(0, 2)) * 3600 + std::stoi(line.substr(3, 2)) * 60 + std::stoi(line.substr(6, 2));
        if (!times.empty() && t < times.back()) t += 86400;  // past midnight
        times.push_back(t);
    }
    return times;
}

inline void ExpectInOrder(const std::vector<std::string>& messages, const std::vector<std::string>& expected,
                   const std::string& log) {
    int at = 0;
    for (const std::string& text : expected) {
        int found = FindMessage(messages, text, at);
        ASSERT_GE(found, 0) << "missing or out of order: " << text << "\n" << log;
        at = found + 1;
    }
}

class UpdateTest : public testing::Test {
protected:
    void SetUp() override { CancelServiceJobs(); }
    void TearDown() override { CancelServiceJobs(); }
    void Configure(InstalledService& svc) {
        // A check every five seconds, with the debug lines that show the answers.
        svc.WriteConfig("URL=" + ReferenceServerURL() + "\r\nPeriod=50000000\r\nLogLevel=63\r\n");
    }
    // Starts the service and waits until its scheduler takes messages: a
    // registration posted before that may be lost.
    bool StartScheduled(InstalledService& svc) {
        return svc.Start() && svc.WaitForLog("Стартует поток загрузки", 30000, true);
    }
};


}  // namespace zel::test
