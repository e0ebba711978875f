// Arithmetic and guards that real BITS cannot be steered into: progress
// values, credentials, and the job callback called directly with a job
// whose state the test chooses.
#include <gtest/gtest.h>

#include <objbase.h>

#include <thread>

#include "FakeJob.h"
#include "store/ModuleList.h"
#include "transfer/BITS.h"

using namespace zel;

namespace {

TEST(JobProgress, TruncatedPercentOfBytes) {
    test::FakeJob job;
    auto percent = [&](UINT64 done, UINT64 total) {
        job.progress.BytesTransferred = done;
        job.progress.BytesTotal = total;
        return GetJobProgress(&job);
    };
    EXPECT_EQ(25, percent(512, 2048));
    EXPECT_EQ(99, percent(2047, 2048));
    EXPECT_EQ(100, percent(2048, 2048));
    EXPECT_EQ(0, percent(0, 2048));
    // Not yet known totals and nonsense counts never give garbage.
    EXPECT_EQ(0, percent(512, BG_SIZE_UNKNOWN));
    EXPECT_EQ(0, percent(512, 0));
    EXPECT_EQ(0, percent(BG_SIZE_UNKNOWN, 2048));
    EXPECT_EQ(100, percent(4096, 2048));
    EXPECT_EQ(33, percent(0x155555555ULL, 0x400000000ULL));
    job.progressResult = E_FAIL;
    EXPECT_EQ(0, percent(512, 2048));
}

TEST(JobCredentials, SetAsBasicOrLoggedWithoutThePassword) {
    test::FakeJob job;
    SetJobCredentials(&job, BG_AUTH_TARGET_PROXY, "", "secret");
    EXPECT_EQ(0, job.calls.load());

    SetJobCredentials(&job, BG_AUTH_TARGET_PROXY, "Иванов", "пароль");
    EXPECT_EQ(1, job.removedCredentials.load());
    EXPECT_EQ(BG_AUTH_TARGET_PROXY, job.lastCredentials.Target);
    EXPECT_EQ(BG_AUTH_SCHEME_BASIC, job.lastCredentials.Scheme);
    EXPECT_EQ(ToWide("Иванов"), job.lastUser);
    EXPECT_EQ(ToWide("пароль"), job.lastPassword);

    test::LogMark mark;
    job.credentialsResult = E_ACCESSDENIED;
    SetJobCredentials(&job, BG_AUTH_TARGET_SERVER, "user", "secret");
    std::string log = mark.Since();
    EXPECT_NE(std::string::npos, log.find(" : Ошибка при настройке параметров авторизации\r\n"));
    EXPECT_NE(std::string::npos, log.find(" :   Имя пользователя: user\r\n"));
    EXPECT_NE(std::string::npos, log.find(" :   Пароль:           ******\r\n"));
    EXPECT_EQ(std::string::npos, log.find("secret"));

    job.offersJob2 = false;
    SetJobCredentials(&job, BG_AUTH_TARGET_SERVER, "user", "secret");
    EXPECT_NE(std::string::npos, mark.Since().find(" : Интерфейс IBackgroundCopyJob2 не поддерживается\r\n"));
}

TEST(JobSettings, ValuesGivenToBITSAndFailuresLogged) {
    test::FakeJob job;
    IBackgroundCopyCallback* notifier = CreateNotifier();
    EXPECT_TRUE(ConfigureJob(&job, notifier));
    EXPECT_EQ(10u, job.retryDelay);
    EXPECT_EQ(3600u, job.noProgressTimeout);
    EXPECT_EQ(11u, job.notifyFlags);
    EXPECT_EQ(notifier, job.notifyInterface);
    EXPECT_TRUE(SetJobPriority(&job));
    EXPECT_EQ(BG_JOB_PRIORITY_FOREGROUND, job.priority);

    SetJobProxy(&job, "", "user", "secret");
    EXPECT_EQ(BG_JOB_PROXY_USAGE_NO_PROXY, job.proxyUsage);
    EXPECT_EQ(L"", job.proxyList);
    EXPECT_EQ(L"", job.proxyBypass);
    EXPECT_EQ(0, job.removedCredentials.load());
    SetJobProxy(&job, "10.0.0.1:3128", "user", "secret");
    EXPECT_EQ(BG_JOB_PROXY_USAGE_OVERRIDE, job.proxyUsage);
    EXPECT_EQ(L"10.0.0.1:3128", job.proxyList);
    EXPECT_EQ(L"", job.proxyBypass);
    EXPECT_EQ(BG_AUTH_TARGET_PROXY, job.lastCredentials.Target);

    // Each failing step has its own line and does not stop the next ones.
    test::LogMark mark;
    job.setResult = E_FAIL;
    job.retryDelay = 0;
    job.notifyFlags = 0;
    EXPECT_TRUE(ConfigureJob(&job, nullptr));
    EXPECT_EQ(11u, job.notifyFlags);
    EXPECT_FALSE(SetJobPriority(&job));
    SetJobProxy(&job, "10.0.0.1:3128", "", "");
    std::string log = mark.Since();
    size_t at = 0;
    for (const char* line : {"Не удалось настроить параметр MinimumRetryDelay", "Не удалось настроить параметр NoProgressTimeout",
                             "Не удалось настроить интерфейс обратного вызова", "Не удалось настроить флаги обратного вызова",
                             "Ошибка при настройке параметров proxy-сервера"}) {
        at = log.find(std::string(" : ") + line + "\r\n", at);
        EXPECT_NE(std::string::npos, at) << line;
    }
    EXPECT_EQ(0u, notifier->Release());
}

class NotifierTest : public testing::Test {
protected:
    test::FakeServer server;
    IBackgroundCopyCallback* notifier = CreateNotifier();

    void SetUp() override { ASSERT_TRUE(server.Register()); }
    void TearDown() override {
        server.Revoke();
        EXPECT_EQ(0u, notifier->Release());
    }
};

TEST_F(NotifierTest, CountsReferencesAcrossThreads) {
    IUnknown* unknown = nullptr;
    ASSERT_HRESULT_SUCCEEDED(notifier->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    void* other = nullptr;
    EXPECT_EQ(E_NOINTERFACE, notifier->QueryInterface(__uuidof(IBackgroundCopyJob), &other));
    EXPECT_EQ(nullptr, other);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                notifier->AddRef();
                notifier->Release();
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(1u, unknown->Release());
}

TEST_F(NotifierTest, OverlappingProgressNotificationIsDropped) {
    test::FakeJob job;
    job.description = L"Name=busy|Version=1|Target=2";
    job.state = BG_JOB_STATE_TRANSFERRING;
    job.progress.BytesTransferred = 512;
    job.progress.BytesTotal = 2048;

    ResetEvent(server.processRelease);
    std::thread first([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        EXPECT_EQ(S_OK, notifier->JobModification(&job, 0));
        CoUninitialize();
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server.processEntered, 10000));
    DWORD start = GetTickCount();
    EXPECT_EQ(S_OK, notifier->JobModification(&job, 0));
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_EQ(1u, server.Events("process", "busy").size());
    SetEvent(server.processRelease);
    first.join();

    // Once the first is done, the next one is delivered again.
    job.progress.BytesTransferred = 2047;
    EXPECT_EQ(S_OK, notifier->JobModification(&job, 0));
    auto events = server.Events("process", "busy");
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("25", events[0].a);
    EXPECT_EQ("99", events[1].a);

    // Only transferring jobs of the service report progress.
    job.state = BG_JOB_STATE_CONNECTING;
    notifier->JobModification(&job, 0);
    job.state = BG_JOB_STATE_TRANSFERRING;
    job.displayName = L"Other Job";
    notifier->JobModification(&job, 0);
    EXPECT_EQ(2u, server.Events("process", "busy").size());
}

TEST_F(NotifierTest, ErrorsAndTransfersOnlyActWhenTheyShould) {
    test::FakeJob job;
    test::FakeError error;
    const std::string name = Format("nt%x", {static_cast<unsigned>(GetTickCount())});
    job.description = ToWide("Name=" + name + "|Version=1|Target=2");

    // A transient error is no error yet.
    job.state = BG_JOB_STATE_TRANSIENT_ERROR;
    EXPECT_EQ(S_OK, notifier->JobError(&job, &error));
    EXPECT_TRUE(server.Events().empty());
    test::LogMark mark;
    job.state = BG_JOB_STATE_ERROR;
    EXPECT_EQ(S_OK, notifier->JobError(&job, &error));
    auto failures = server.Events("exception", name);
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ("Remote filefailed", failures[0].a);
    EXPECT_EQ("Not found", failures[0].b);
    EXPECT_EQ(0u, failures[0].cookie);
    std::string log = mark.Since();
    EXPECT_LT(log.find(" : Remote filefailed\r\n"), log.find(" : Not found\r\n"));
    EXPECT_EQ(S_OK, notifier->JobError(&job, nullptr));

    // A job that someone else completed first gets no second replacement,
    // and a foreign job is not completed at all.
    job.completeResult = BG_E_INVALID_STATE;
    EXPECT_EQ(S_OK, notifier->JobTransferred(&job));
    EXPECT_EQ(1, job.completes.load());
    IBackgroundCopyJob* replacement = nullptr;
    EXPECT_FALSE(FindModuleJob(nullptr, name, &replacement));
    job.displayName = L"Other Job";
    EXPECT_EQ(S_OK, notifier->JobTransferred(&job));
    EXPECT_EQ(1, job.completes.load());

    // An error inside never leaves the callback: here the store directory
    // cannot be made because a file stands in its place.
    job.displayName = L"ZEL Update Job";
    job.completeResult = S_OK;
    test::WriteFileBytes(GetModuleDir(name), "not a directory");
    mark = test::LogMark();
    EXPECT_EQ(S_OK, notifier->JobTransferred(&job));
    EXPECT_NE(std::string::npos, mark.Since().find(Format(" : Не удалось получить доступ к %s\r\n", {GetModuleDir(name)})));
    EXPECT_FALSE(FindModuleJob(nullptr, name, &replacement));
    RemoveFile(GetModuleDir(name));

    // The module's next job is registered as the one it replaces: with its
    // installed version and its owner.
    job.description = ToWide("Name=" + name + "|Version=1|Target=2|Owner=S-1-5-21-9");
    ASSERT_TRUE(ForceDirectories(GetModuleDir(name)));
    EXPECT_EQ(S_OK, notifier->JobTransferred(&job));
    TJobInfo info;
    ASSERT_TRUE(FindModuleJob(nullptr, name, &replacement, &info));
    EXPECT_EQ("1", info.Version);
    EXPECT_EQ("", info.Target);
    EXPECT_EQ("S-1-5-21-9", info.Owner);
    replacement->Cancel();
    replacement->Release();
}

}  // namespace
