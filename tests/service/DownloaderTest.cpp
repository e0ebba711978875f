// The scheduler thread in-process: module registrations through the queues
// become BITS jobs; the check reaches the running server object through the
// running object table.
#include <gtest/gtest.h>

#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "base/Log.h"
#include "com/UpdateServerNotify.h"
#include "config/ExtConfig.h"
#include "config/Proxy.h"
#include "download/Downloader.h"
#include "download/InfoQueue.h"
#include "service/ZELService.h"
#include "store/ModuleList.h"
#include "support/ServiceControl.h"
#include "support/TestSupport.h"
#include "transfer/BITS.h"
#include "transfer/FakeJob.h"
#include "base/RegKey.h"

using namespace zel;
using namespace zel::test;

namespace {

// Records the events a check sends.
class FakeNotify : public IUpdateServerNotify {
public:
    std::mutex lock;
    std::vector<std::string> events;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IUpdateServerNotify) {
            *out = static_cast<IUpdateServerNotify*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
    void STDMETHODCALLTYPE EnableEvents() override { Add("EnableEvents"); }
    void STDMETHODCALLTYPE DisableEvents() override { Add("DisableEvents"); }
    void STDMETHODCALLTYPE FireStart(BSTR m, BSTR v) override { Add("Start " + ToAnsi(m) + " " + ToAnsi(v)); }
    bool STDMETHODCALLTYPE FireStartTo(BSTR m, BSTR v, DWORD c) override {
        Add("StartTo " + ToAnsi(m) + " " + ToAnsi(v) + " " + std::to_string(c));
        return true;
    }
    void STDMETHODCALLTYPE FireProcess(BSTR m, LONG p) override { Add("Process " + ToAnsi(m) + " " + std::to_string(p)); }
    void STDMETHODCALLTYPE FireDownload(BSTR m, BSTR v) override { Add("Download " + ToAnsi(m) + " " + ToAnsi(v)); }
    void STDMETHODCALLTYPE Reserved1(DWORD, DWORD) override {}
    void STDMETHODCALLTYPE Reserved2(DWORD, DWORD) override {}
    void STDMETHODCALLTYPE FireNoUpdates(DWORD c) override { Add("NoUpdates " + std::to_string(c)); }
    void STDMETHODCALLTYPE FireException(BSTR n, BSTR, BSTR t, DWORD c) override {
        Add("Exception " + ToAnsi(n) + " " + ToAnsi(t) + " " + std::to_string(c));
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> g(lock);
        return events;
    }

private:
    void Add(const std::string& e) {
        std::lock_guard<std::mutex> g(lock);
        events.push_back(e);
    }
    std::atomic<ULONG> refs_{1};
};

// A BITS manager that refuses to create jobs, with a text for its error.
class RefusingManager : public IBackgroundCopyManager {
public:
    static constexpr HRESULT Refusal = static_cast<HRESULT>(0x80200017);
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == __uuidof(IBackgroundCopyManager)) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateJob(LPCWSTR, BG_JOB_TYPE, GUID*, IBackgroundCopyJob** job) override {
        *job = nullptr;
        return Refusal;
    }
    HRESULT STDMETHODCALLTYPE GetJob(REFGUID, IBackgroundCopyJob**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumJobs(DWORD, IEnumBackgroundCopyJobs**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetErrorDescription(HRESULT hr, DWORD, LPWSTR* text) override {
        if (hr != Refusal) return E_INVALIDARG;
        *text = test::TaskCopy(L"Too many jobs\r\n");
        return S_OK;
    }
};

void SetRegistryProxy(const char* address, const char* user = "") {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, SettingsKey, 0, nullptr, 0, KEY_WRITE | ServiceKeyView, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "Address", 0, REG_SZ, reinterpret_cast<const BYTE*>(address), strlen(address) + 1);
    RegSetValueExA(key, "UserName", 0, REG_SZ, reinterpret_cast<const BYTE*>(user), strlen(user) + 1);
    DWORD port = 3128;
    RegSetValueExA(key, "Port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), sizeof port);
    RegCloseKey(key);
}

// Publishes an object in the running object table as the service does.
class RotEntry {
public:
    explicit RotEntry(IUnknown* object) {
        CreateItemMoniker(L"!", L"{EDD7F5B7-FEBF-434A-9437-9DF5DDF27104}", &moniker_);
        GetRunningObjectTable(0, &rot_);
        rot_->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, object, moniker_, &cookie_);
    }
    ~RotEntry() {
        rot_->Revoke(cookie_);
        moniker_->Release();
        rot_->Release();
    }

private:
    IMoniker* moniker_ = nullptr;
    IRunningObjectTable* rot_ = nullptr;
    DWORD cookie_ = 0;
};

class DownloaderTest : public testing::Test {
protected:
    static void SetUpTestSuite() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    static void TearDownTestSuite() { CoUninitialize(); }
    void SetUp() override {
        CancelServiceJobs();
        RemoveTree(GetFilesDir());
        RemoveTree(GetLogDir());
        WriteFileBytes(GetProgramDir() + ".config", "LogLevel=63\r\nURL=http://127.0.0.1:9/zel\r\n");
    }
    void TearDown() override {
        CancelServiceJobs();
        RemoveTree(GetFilesDir());
        RemoveFile(GetProgramDir() + ".config");
    }
};

bool HasJob(const std::string& description) {
    for (const auto& j : ServiceJobs())
        if (j.description == description) return true;
    return false;
}

int JobsNamed(const std::string& prefix) {
    int n = 0;
    for (const auto& j : ServiceJobs())
        if (j.description.rfind(prefix, 0) == 0) ++n;
    return n;
}

std::multiset<std::string> JobDescriptions() {
    std::multiset<std::string> out;
    for (const auto& j : ServiceJobs()) out.insert(j.description);
    return out;
}

// Two sets of job descriptions are the same; what differs is shown.
void ExpectSame(const std::multiset<std::string>& actual, const std::multiset<std::string>& expected) {
    std::vector<std::string> missing, unexpected;
    std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(), std::back_inserter(missing));
    std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(),
                        std::back_inserter(unexpected));
    EXPECT_TRUE(missing.empty() && unexpected.empty())
        << "missing: " << testing::PrintToString(missing) << "\nunexpected: " << testing::PrintToString(unexpected);
}

std::string Numbered(const char* stem, int i) { return Format("%s%.2d", {stem, i}); }

int CountMessages(const std::vector<std::string>& messages, const std::string& text) {
    int n = 0;
    for (const auto& m : messages) n += m == text;
    return n;
}

}  // namespace

TEST(InfoQueue, FirstEntryOfAKeyWinsAndOrderIsKept) {
    TInfoQueue q;
    q.Add("B", "1");
    q.Add("A", "2");
    q.Add("B", "3");
    q.Add("b", "4");  // the same module as "B"
    q.Add(std::string(300, 'k'), std::string(300, 'v'), "x");
    TInfoEntry e;
    ASSERT_TRUE(q.Pop(e));
    EXPECT_EQ(e.Key + e.Value1, "B1");
    ASSERT_TRUE(q.Pop(e));
    EXPECT_EQ(e.Key + e.Value1, "A2");
    ASSERT_TRUE(q.Pop(e));
    EXPECT_EQ(e.Key.size(), 255u);
    EXPECT_EQ(e.Value1.size(), 255u);
    EXPECT_EQ(e.Value2, "x");
    EXPECT_FALSE(q.Pop(e));
    EXPECT_TRUE(q.IsEmpty());
}

TEST_F(DownloaderTest, RegistrationsCreateReversionAndCancelJobs) {
    StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DownloaderDoneEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    StartDownloader(StopEvent, DownloaderDoneEvent);
    ASSERT_NE(DownloaderThreadId.load(), 0u);

    AddQueue->Add("MODA", "1.0.0.1");
    AddQueue->Add("MODA", "9.9.9.9");  // queued twice: the first version wins
    AddQueue->Add("MODB", "2.0");
    PostThreadMessageA(DownloaderThreadId, WM_MODULESCHANGED, 0, 0);
    EXPECT_TRUE(WaitFor([] { return HasJob("Name=MODA|Version=1.0.0.1|Target=") &&
                                    HasJob("Name=MODB|Version=2.0|Target="); },
                        15000));
    EXPECT_TRUE(DirectoryExists(GetModuleDir("MODA")));
    EXPECT_TRUE(AddQueue->IsEmpty());

    // A known module with another version is re-described, not duplicated.
    AddQueue->Add("MODA", "1.0.0.2");
    PostThreadMessageA(DownloaderThreadId, WM_MODULESCHANGED, 0, 0);
    EXPECT_TRUE(WaitFor([] { return HasJob("Name=MODA|Version=1.0.0.2|Target="); }, 15000));
    EXPECT_EQ(JobsNamed("Name=MODA|"), 1);

    RemoveQueue->Add("MODB", "");
    PostThreadMessageA(DownloaderThreadId, WM_MODULESCHANGED, 0, 0);
    EXPECT_TRUE(WaitFor([] { return JobsNamed("Name=MODB|") == 0; }, 15000));
    EXPECT_EQ(JobsNamed("Name=MODA|"), 1);

    // A message that fails (its proxy report cannot be written: a directory
    // in place of today's log) does not hold up the one queued behind it.
    AddQueue->Add("MODC", "3.0");
    SetRegistryProxy("proxy.local");
    const std::string today = TodayLogPath(GetProgramDir());
    RemoveFile(today);
    ASSERT_TRUE(ForceDirectories(today));
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, DownloaderThreadId);
    ASSERT_NE(thread, nullptr);
    SuspendThread(thread);
    PostThreadMessageA(DownloaderThreadId, WM_PROXYCHANGED, 0, 0);
    PostThreadMessageA(DownloaderThreadId, WM_MODULESCHANGED, 0, 0);
    ResumeThread(thread);
    CloseHandle(thread);
    EXPECT_TRUE(WaitFor([] { return HasJob("Name=MODC|Version=3.0|Target="); }, 15000));
    RemoveDirectoryA(today.c_str());
    // A proxy address and user name with line breaks (a client gave them)
    // are shown, never written.
    SetRegistryProxy("proxy\r\n12:00:00 : Stopped", "user\n12:00:01 : x");
    PostThreadMessageA(DownloaderThreadId, WM_PROXYCHANGED, 0, 0);
    EXPECT_TRUE(WaitFor(
        [] {
            auto m = LogMessages(GetProgramDir());
            int at = FindMessage(m, "  Сервер:           http=proxy\\x0D\\x0A12:00:00 : Stopped:3128");
            return at >= 0 && FindMessage(m, "  Имя пользователя: user\\x0A12:00:01 : x", at) == at + 1;
        },
        15000))
        << ReadLog(GetProgramDir());
    EXPECT_EQ(ReadLog(GetProgramDir()).find("\n12:00:0"), std::string::npos);
    SetRegistryProxy("");
    PostThreadMessageA(DownloaderThreadId, WM_PROXYCHANGED, 0, 0);

    SetEvent(StopEvent);
    EXPECT_EQ(WaitForSingleObject(DownloaderDoneEvent, 5000), WAIT_OBJECT_0);
    auto log = test::SplitLines(test::ReadLog(GetProgramDir()));
    bool destroyed = false;
    for (auto& l : log) destroyed |= l.find("Уничтожен поток загрузки") != std::string::npos;
    EXPECT_TRUE(destroyed);
    CloseHandle(StopEvent);
    CloseHandle(DownloaderDoneEvent);
    StopEvent = DownloaderDoneEvent = nullptr;
}

// A change of modules brings the next check forward to 5 s after the first
// change since the last check; the changes that follow do not push it
// back, however often they come (the period here is 20 minutes).
TEST_F(DownloaderTest, ChangesOfModulesBringTheCheckForwardAndNeverPutItOff) {
    StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DownloaderDoneEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    StartDownloader(StopEvent, DownloaderDoneEvent);
    ASSERT_NE(DownloaderThreadId.load(), 0u);
    std::vector<DWORD> checks;  // when they were seen, in ms from the first change
    int seen = 0;
    const DWORD start = GetTickCount();
    for (DWORD next = 0; GetTickCount() - start < 14000; Sleep(100)) {
        DWORD now = GetTickCount() - start;
        if (now >= next && next <= 9000) {
            PostThreadMessageA(DownloaderThreadId, WM_MODULESCHANGED, 0, 0);
            next += 1000;
        }
        int count = CountMessages(LogMessages(GetProgramDir()), "Проверка обновлений");
        for (; seen < count; ++seen) checks.push_back(now);
    }
    SetEvent(StopEvent);
    EXPECT_EQ(WaitForSingleObject(DownloaderDoneEvent, 5000), WAIT_OBJECT_0);
    CloseHandle(StopEvent);
    CloseHandle(DownloaderDoneEvent);
    StopEvent = DownloaderDoneEvent = nullptr;
    // The first one 5 s after the first change, while the changes go on;
    // the changes after it bring the next one.
    ASSERT_GE(checks.size(), 2u) << ReadLog(GetProgramDir());
    EXPECT_GE(checks[0], 4500u);
    EXPECT_LT(checks[0], 8000u);
    EXPECT_LT(checks[1], 14000u);
}

TEST_F(DownloaderTest, RequestPostedWhileTheSchedulerIsBeingMadeIsKept) {
    // Many jobs make the scheduler's construction (which attaches the
    // callback to every job) take a while; a client's request that arrives
    // meanwhile must still be handled.
    for (int i = 1; i <= 20; ++i) ASSERT_TRUE(CreateModuleJob(nullptr, Numbered("WAIT", i), "1"));
    FakeNotify notify;
    RotEntry entry(&notify);
    StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DownloaderDoneEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const DWORD before = DownloaderThreadId;
    std::atomic<bool> posted{false};
    std::thread client([&] {
        DWORD start = GetTickCount();
        while (DownloaderThreadId == before && GetTickCount() - start < 10000) {
        }
        posted = PostThreadMessageA(DownloaderThreadId, WM_CHECKUPDATES, 7, 0) != 0;
    });
    StartDownloader(StopEvent, DownloaderDoneEvent);
    client.join();
    EXPECT_TRUE(posted);
    EXPECT_TRUE(WaitFor(
        [&] {
            auto e = notify.Events();
            return std::find(e.begin(), e.end(), "NoUpdates 7") != e.end();
        },
        15000));
    // A pass that only the running scheduler may make, made on this thread:
    // the log says so.
    ProcessRemoveQueue();
    EXPECT_GE(FindMessage(LogMessages(GetProgramDir()), "Ошибка: ProcessRemoveQueue вызван не в потоке загрузки"), 0);
    SetEvent(StopEvent);
    EXPECT_EQ(WaitForSingleObject(DownloaderDoneEvent, 5000), WAIT_OBJECT_0);
    CloseHandle(StopEvent);
    CloseHandle(DownloaderDoneEvent);
    StopEvent = DownloaderDoneEvent = nullptr;
}

// A stop that comes while the scheduler is being made: the scheduler ends at
// once and says so, however soon its thread gets there (repeated, since the
// thread may end before or after its maker has returned).
TEST_F(DownloaderTest, AStopDuringTheStartEndsTheScheduler) {
    for (int round = 0; round < 20; ++round) {
        StopEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        DownloaderDoneEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        StartDownloader(StopEvent, DownloaderDoneEvent);
        EXPECT_EQ(WaitForSingleObject(DownloaderDoneEvent, 5000), WAIT_OBJECT_0) << "round " << round;
        CloseHandle(StopEvent);
        CloseHandle(DownloaderDoneEvent);
        StopEvent = DownloaderDoneEvent = nullptr;
    }
}

TEST_F(DownloaderTest, CheckWithoutJobsTellsTheAskingClientThereIsNothing) {
    FakeNotify notify;
    RotEntry entry(&notify);
    EXPECT_FALSE(RunCheck(7));
    EXPECT_EQ(notify.Events(), std::vector<std::string>{"NoUpdates 7"});
    // Without a cookie nobody is told.
    EXPECT_FALSE(RunCheck(0));
    EXPECT_EQ(notify.Events().size(), 1u);
}

// A job whose replacement BITS refuses: the client hears of the BITS error
// and events are switched off, as for any BITS failure of a job.
TEST_F(DownloaderTest, AReplacementJobThatBITSRefusesIsABITSError) {
    ASSERT_TRUE(ForceDirectories(GetModuleDir("MODR")));
    for (BG_JOB_STATE state : {BG_JOB_STATE_TRANSFERRED, BG_JOB_STATE_ERROR}) {
        test::FakeJob job;
        job.state = state;
        job.cancelResult = S_OK;
        job.description = L"Name=MODR|Version=1.0.0.0|Target=2.0.0.0";
        RefusingManager manager;
        FakeNotify notify;
        TRemoteModuleInfoList remote;
        test::LogMark mark;
        EXPECT_TRUE(ProcessJob(&manager, &job, &notify, remote, 7));
        EXPECT_EQ(notify.Events(), (std::vector<std::string>{"Exception MODR Too many jobs 7", "DisableEvents"}));
        std::string log = mark.Since();
        EXPECT_NE(log.find("Ошибка службы BITS:"), std::string::npos) << log;
        EXPECT_EQ(log.find("Не удалось восстановить задание для загрузки"), std::string::npos) << log;
    }
}

TEST_F(DownloaderTest, ABatchOfManyRegistrationsChangesExactlyTheirJobs) {
    std::multiset<std::string> expected;
    auto job = [](const std::string& name, const char* version) {
        return Format("Name=%s|Version=%s|Target=", {name, version});
    };
    for (int i = 1; i <= 20; ++i) {
        ASSERT_TRUE(CreateModuleJob(nullptr, Numbered("KEEP", i), "1"));
        ASSERT_TRUE(CreateModuleJob(nullptr, Numbered("REV", i), "1"));
        AddQueue->Add(Numbered("KEEP", i), "1");
        AddQueue->Add(Numbered("REV", i), "2");
        AddQueue->Add(Numbered("NEW", i), "3");
        expected.insert(job(Numbered("KEEP", i), "1"));
        expected.insert(job(Numbered("REV", i), "2"));
        expected.insert(job(Numbered("NEW", i), "3"));
    }
    for (int i = 1; i <= 10; ++i) {
        ASSERT_TRUE(CreateModuleJob(nullptr, Numbered("GONE", i), "1"));
        RemoveQueue->Add(Numbered("GONE", i), "");
    }
    RemoveQueue->Add("NOPE", "");
    // Of two jobs with one Name only the first in enumeration order counts.
    ASSERT_TRUE(CreateModuleJob(nullptr, "TWIN", "1"));
    ASSERT_TRUE(CreateModuleJob(nullptr, "TWIN", "2"));
    IBackgroundCopyJob* twin = nullptr;
    ASSERT_TRUE(FindModuleJob(nullptr, "TWIN", &twin));
    LPWSTR text = nullptr;
    ASSERT_HRESULT_SUCCEEDED(twin->GetDescription(&text));
    const bool firstIsOne = ToAnsi(text) == job("TWIN", "1");
    CoTaskMemFree(text);
    twin->Release();
    AddQueue->Add("TWIN", "9");
    expected.insert(job("TWIN", "9"));
    expected.insert(job("TWIN", firstIsOne ? "2" : "1"));
    // A cancelled job (Wine keeps listing it) is no module's job any more.
    ASSERT_TRUE(CreateModuleJob(nullptr, "OLD", "1"));
    IBackgroundCopyJob* old = nullptr;
    ASSERT_TRUE(FindModuleJob(nullptr, "OLD", &old));
    old->Cancel();
    old->Release();
    AddQueue->Add("OLD", "4");
    expected.insert(job("OLD", "4"));

    ProcessAddQueue();
    ProcessRemoveQueue();
    EXPECT_TRUE(AddQueue->IsEmpty());
    EXPECT_TRUE(RemoveQueue->IsEmpty());
    ExpectSame(JobDescriptions(), expected);
    // The jobs a batch creates carry every fixed setting, as one made alone.
    for (const std::string& settings : ServiceJobSettings())
        EXPECT_EQ(settings, "priority=0 flags=11 callback=1 headers=User-Agent: ZEL Update Service\n\r");
    auto log = LogMessages(GetProgramDir());
    for (int i = 1; i <= 10; ++i)
        EXPECT_EQ(CountMessages(log, "Удаляем задание " + Numbered("GONE", i) + " из очереди"), 1);
    EXPECT_EQ(CountMessages(log, "Удаляем задание NOPE из очереди"), 0);
}

TEST_F(DownloaderTest, ACheckOverManyJobsDecidesForEachJob) {
    WriteFileBytes(GetProgramDir() + ".config", "LogLevel=63\r\nURL=" + ReferenceServerURL() + "\r\n");
    ReadConfig();
    const std::string file(3000, 'z');
    // Current modules: their jobs stay as they are.
    std::multiset<std::string> expected;
    for (int i = 1; i <= 40; ++i) {
        ForceDirectories(TestDir() + "catalogue\\" + Numbered("CUR", i));
        AddQueue->Add(Numbered("CUR", i), "1.0.0.0");
        expected.insert(Format("Name=%s|Version=1.0.0.0|Target=", {Numbered("CUR", i)}));
    }
    // A newer version: its files are added and the download begins.
    WriteFileBytes(CatalogueDir("NEWER", "2.0.0.1") + "setup.bin", file);
    AddQueue->Add("NEWER", "1.0.0.0");
    // A newer version whose file is already in the store.
    WriteFileBytes(CatalogueDir("HAVE", "2.0.0.1") + "have.bin", file);
    AddQueue->Add("HAVE", "1.0.0.0");
    expected.insert("Name=HAVE|Version=1.0.0.0|Target=");
    // Unknown to the server: its job is cancelled.
    AddQueue->Add("UNKNOWN", "1.0.0.0");
    // Its store directory is gone: its job is cancelled.
    AddQueue->Add("DROPPED", "1.0.0.0");
    ProcessAddQueue();
    ASSERT_EQ(JobsNamed("Name="), 44);
    WriteFileBytes(GetModuleDir("HAVE") + "\\have.bin", file);
    RemoveTree(GetModuleDir("DROPPED"));

    FakeNotify notify;
    RotEntry entry(&notify);
    EXPECT_TRUE(RunCheck(7));
    EXPECT_EQ(notify.Events(), std::vector<std::string>{"Start NEWER 2.0.0.1"});
    auto jobs = ServiceJobs();
    std::multiset<std::string> idle;
    int newer = 0;
    for (const auto& j : jobs) {
        if (j.description == "Name=NEWER|Version=1.0.0.0|Target=2.0.0.1") {
            ++newer;
            EXPECT_EQ(j.files, 1);
        } else {
            EXPECT_EQ(j.state, BG_JOB_STATE_SUSPENDED) << j.description;
            EXPECT_EQ(j.files, 0) << j.description;
            idle.insert(j.description);
        }
    }
    EXPECT_EQ(newer, 1);
    ExpectSame(idle, expected);
    auto log = LogMessages(GetProgramDir());
    EXPECT_EQ(CountMessages(log, "Начинаем загрузку модуля NEWER (2.0.0.1)"), 1);
    EXPECT_EQ(CountMessages(log, "Файл have.bin уже загружен"), 1);
    EXPECT_EQ(CountMessages(log, "Модуль: UNKNOWN. Ошибка: \"Неизвестное имя модуля\""), 1);
    EXPECT_EQ(CountMessages(log, "Задание остановлено"), 1);
    EXPECT_EQ(CountMessages(log, "Удаляем задание DROPPED из очереди"), 1);
    EXPECT_EQ(CountMessages(log, "  ModuleVersion    : CURRENT"), 40);
}
