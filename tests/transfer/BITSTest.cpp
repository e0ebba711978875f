// Module jobs against Wine's real BITS: creation and settings, finding by
// Name, version rewrites, cancelling, and a real download from a local HTTP
// server that the job callback completes and replaces.
#include <gtest/gtest.h>

#include <objbase.h>
#include <bits2_5.h>
#include <wrl/client.h>

#include <map>

#include "FakeJob.h"
#include "base/Log.h"
#include "base/ModuleName.h"
#include "download/Downloader.h"
#include "store/Digest.h"
#include "store/ModuleList.h"
#include "transfer/BITS.h"
#include "transfer/JobMap.h"
#include "transfer/JobSetup.h"

using Microsoft::WRL::ComPtr;
using namespace zel;

namespace {

class ComEnvironment : public testing::Environment {
public:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        LogMode = 0x3F;
    }
    void TearDown() override { CoUninitialize(); }
};
testing::Environment* const comEnvironment = testing::AddGlobalTestEnvironment(new ComEnvironment);

// Every module name of this run starts with the prefix, so that clean-up
// touches nothing else.
const std::string Prefix = Format("bt%x", {static_cast<unsigned>(GetTickCount())});

std::wstring Text(HRESULT hr, LPWSTR p) {
    std::wstring out = SUCCEEDED(hr) && p ? p : L"";
    CoTaskMemFree(p);
    return out;
}

std::wstring Description(IBackgroundCopyJob* job) {
    LPWSTR p = nullptr;
    HRESULT hr = job->GetDescription(&p);
    return Text(hr, p);
}

class BITSTest : public testing::Test {
protected:
    ComPtr<IBackgroundCopyManager> manager;

    void SetUp() override { ASSERT_TRUE(ConnectBITS(manager.GetAddressOf())); }
    void TearDown() override {
        ForEachJob(manager.Get(), [](IBackgroundCopyJob* job) {
            TJobInfo info;
            if (ReadJobInfo(job, info) && info.Name.compare(0, Prefix.size(), Prefix) == 0) job->Cancel();
            return true;
        });
    }

    ComPtr<IBackgroundCopyJob> Find(const std::string& name) {
        ComPtr<IBackgroundCopyJob> job;
        EXPECT_TRUE(FindModuleJob(manager.Get(), name, job.GetAddressOf())) << name;
        return job;
    }
    // The service's jobs with this Name, in enumeration order.
    std::vector<ComPtr<IBackgroundCopyJob>> All(const std::string& name) {
        std::vector<ComPtr<IBackgroundCopyJob>> found;
        EXPECT_TRUE(ForEachJob(manager.Get(), [&](IBackgroundCopyJob* job) {
            TJobInfo info;
            BG_JOB_STATE state;
            if (ReadJobInfo(job, info) && info.Name == name && SUCCEEDED(job->GetState(&state)) &&
                state != BG_JOB_STATE_CANCELLED && state != BG_JOB_STATE_ACKNOWLEDGED)
                found.push_back(job);
            return true;
        }));
        return found;
    }
    static GUID Id(IBackgroundCopyJob* job) {
        GUID id = {};
        job->GetId(&id);
        return id;
    }
};

TEST(DescriptionText, SplitsLikeDelimitedText) {
    TJobInfo info;
    ParseDescriptionText("Name=Kassa|Version=1.2.0.5|Target=1.2.0.7", info);
    EXPECT_EQ("Kassa", info.Name);
    EXPECT_EQ("1.2.0.5", info.Version);
    EXPECT_EQ("1.2.0.7", info.Target);

    // Only bars separate items: a name with blanks reads whole, as older
    // versions wrote it; blanks around an item are passed over; keys ignore
    // case; what is missing reads as empty.
    ParseDescriptionText("  name=Склад учёта |VERSION=2.0\t\x01 Extra", info);
    EXPECT_EQ("Склад учёта", info.Name);
    EXPECT_EQ("2.0\t\x01 Extra", info.Version);
    EXPECT_EQ("", info.Target);

    // A quoted item is one item, a doubled quote is one quote.
    ParseDescriptionText("\"Name=A \"\"B\"\"\" | Target=3 |Version=", info);
    EXPECT_EQ("A \"B\"", info.Name);
    EXPECT_EQ("", info.Version);
    EXPECT_EQ("3", info.Target);

    // The first item of a key counts; an item without "=" is no key.
    ParseDescriptionText("Name|Name=x=y|Name=z", info);
    EXPECT_EQ("x=y", info.Name);
    ParseDescriptionText("", info);
    EXPECT_EQ("", info.Name);

    // The registrant follows the older form, which reads as no owner.
    EXPECT_EQ("Name=A|Version=1|Target=", JobDescription("A", "1", ""));
    EXPECT_EQ("Name=A|Version=1|Target=2|Owner=S-1-5-21-7", JobDescription("A", "1", "2", "S-1-5-21-7"));
    ParseDescriptionText(JobDescription("A", "1", "", "S-1-5-21-7"), info);
    EXPECT_EQ("A", info.Name);
    EXPECT_EQ("1", info.Version);
    EXPECT_EQ("", info.Target);
    EXPECT_EQ("S-1-5-21-7", info.Owner);
    ParseDescriptionText("Name=A|Version=1|Target=2", info);
    EXPECT_EQ("", info.Owner);
}

TEST_F(BITSTest, ModuleJobIsCreatedConfiguredAndFoundByName) {
    const std::string name = Prefix + "a";
    test::RemoveTree(GetModuleDir(name));
    ASSERT_TRUE(CreateModuleJob(manager.Get(), name, "1.0.0.1"));
    EXPECT_TRUE(DirectoryExists(GetModuleDir(name)));

    ComPtr<IBackgroundCopyJob> job = Find(name);
    ASSERT_TRUE(job);
    LPWSTR p = nullptr;
    HRESULT hr = job->GetDisplayName(&p);
    EXPECT_EQ(L"ZEL Update Job", Text(hr, p));
    EXPECT_EQ(Format("Name=%s|Version=1.0.0.1|Target=", {name}), ToAnsi(Description(job.Get())));
    BG_JOB_TYPE type;
    EXPECT_HRESULT_SUCCEEDED(job->GetType(&type));
    EXPECT_EQ(BG_JOB_TYPE_DOWNLOAD, type);
    ULONG value = 0;
    EXPECT_HRESULT_SUCCEEDED(job->GetNotifyFlags(&value));
    EXPECT_EQ(11u, value);
    ComPtr<IUnknown> callback;
    EXPECT_HRESULT_SUCCEEDED(job->GetNotifyInterface(&callback));
    EXPECT_TRUE(callback);
    ComPtr<IBackgroundCopyJobHttpOptions> options;
    ASSERT_HRESULT_SUCCEEDED(job.As(&options));
    hr = options->GetCustomHeaders(&p);
    EXPECT_EQ(L"User-Agent: ZEL Update Service\n\r", Text(hr, p));

    std::string target;
    BG_JOB_STATE state;
    ASSERT_TRUE(GetModuleJobState(manager.Get(), name, target, state));
    EXPECT_EQ(BG_JOB_STATE_SUSPENDED, state);
    EXPECT_EQ("", target);

    // Registering again keeps the one job; another installed version is
    // written with an empty Target, the same version leaves it alone.
    ASSERT_TRUE(WriteJobDescription(job.Get(), name, "1.0.0.1", "1.2.0.7"));
    EXPECT_FALSE(RegisterModuleJob(manager.Get(), name, "1.0.0.1"));
    EXPECT_EQ(Format("Name=%s|Version=1.0.0.1|Target=1.2.0.7", {name}), ToAnsi(Description(job.Get())));
    EXPECT_FALSE(RegisterModuleJob(nullptr, name, "1.1.0.0"));
    EXPECT_EQ(Format("Name=%s|Version=1.1.0.0|Target=", {name}), ToAnsi(Description(job.Get())));
    EXPECT_EQ(1u, All(name).size());

    // Letter case does not matter for the Name; a job of another display
    // name is never one of the service's.
    EXPECT_TRUE(GetModuleJobState(manager.Get(), UpperCase(name), target, state));
    GUID id;
    ComPtr<IBackgroundCopyJob> foreign;
    ASSERT_HRESULT_SUCCEEDED(manager->CreateJob(L"Other Job", BG_JOB_TYPE_DOWNLOAD, &id, &foreign));
    foreign->SetDescription(ToWide(Format("Name=%s", {Prefix + "f"})).c_str());
    TJobInfo info;
    EXPECT_FALSE(ReadJobInfo(foreign.Get(), info));
    EXPECT_TRUE(ParseJobDescription(foreign.Get(), info));
    EXPECT_EQ(Prefix + "f", info.Name);
    EXPECT_FALSE(CancelModuleJob(manager.Get(), Prefix + "f"));
    foreign->Cancel();
    // Nor is a job whose Name would lead out of the store; such a name
    // makes no directory and no job.
    ComPtr<IBackgroundCopyJob> hostile;
    ASSERT_HRESULT_SUCCEEDED(manager->CreateJob(UpdateJobName, BG_JOB_TYPE_DOWNLOAD, &id, &hostile));
    hostile->SetDescription(ToWide(Format("Name=..\\%s|Version=1", {Prefix})).c_str());
    EXPECT_FALSE(ReadJobInfo(hostile.Get(), info));
    hostile->Cancel();
    const std::string outside = "..\\" + Prefix + "o";
    EXPECT_THROW(CreateModuleJob(manager.Get(), outside, "1"), EInvalidModuleName);
    EXPECT_THROW(RegisterModuleJob(manager.Get(), outside, "1"), EInvalidModuleName);
    EXPECT_FALSE(DirectoryExists(GetFilesDir() + "\\" + outside));
    EXPECT_FALSE(CancelModuleJob(manager.Get(), outside));

    test::LogMark mark;
    EXPECT_TRUE(CancelModuleJob(manager.Get(), name));
    EXPECT_NE(std::string::npos, mark.Since().find(Format("Удаляем задание %s из очереди", {name})));
    EXPECT_FALSE(CancelModuleJob(manager.Get(), name));
    EXPECT_FALSE(GetModuleJobState(manager.Get(), name, target, state));
}

TEST_F(BITSTest, NamesWithBlanksAndDuplicateNames) {
    // A name with blanks is one module with one job, found by its name.
    const std::string blank = Prefix + "b c";
    const std::string cut = Prefix + "b";
    ASSERT_TRUE(CreateModuleJob(nullptr, blank, "1"));
    EXPECT_EQ(1u, All(blank).size());
    EXPECT_EQ(0u, All(cut).size());
    ComPtr<IBackgroundCopyJob> found;
    EXPECT_TRUE(FindModuleJob(manager.Get(), blank, found.GetAddressOf()));
    EXPECT_TRUE(found);
    EXPECT_FALSE(RegisterModuleJob(manager.Get(), blank, "1"));
    EXPECT_FALSE(RegisterModuleJob(manager.Get(), blank, "1"));
    EXPECT_EQ(1u, All(blank).size());

    // Names differ only on paper when they differ only in letter case: one
    // module, one job, with the spelling of its first registration.
    const std::string spelled = Prefix + "Модуль";
    const std::string other = Prefix + "мОДУЛЬ";
    ASSERT_TRUE(RegisterModuleJob(manager.Get(), spelled, "1"));
    EXPECT_FALSE(RegisterModuleJob(manager.Get(), other, "2"));
    TJobMap map;
    ASSERT_TRUE(map.Load(manager.Get()));
    EXPECT_FALSE(RegisterModuleJob(map, manager.Get(), UpperCase(other), "3"));
    ASSERT_EQ(1u, All(spelled).size());
    EXPECT_EQ(0u, All(other).size());
    EXPECT_EQ(Format("Name=%s|Version=3|Target=", {spelled}), ToAnsi(Description(All(spelled)[0].Get())));
    EXPECT_TRUE(CancelModuleJob(manager.Get(), other));
    EXPECT_EQ(0u, All(spelled).size());

    // Of two jobs with one Name the first in enumeration order is used.
    const std::string twin = Prefix + "twin";
    ASSERT_TRUE(CreateModuleJob(manager.Get(), twin, "1"));
    ASSERT_TRUE(CreateModuleJob(manager.Get(), twin, "2"));
    auto twins = All(twin);
    ASSERT_EQ(2u, twins.size());
    TJobInfo first;
    ASSERT_TRUE(ReadJobInfo(twins[0].Get(), first));
    EXPECT_TRUE(IsEqualGUID(Id(twins[0].Get()), Id(Find(twin).Get())));
    EXPECT_FALSE(RegisterModuleJob(manager.Get(), twin, "3"));
    EXPECT_EQ(Format("Name=%s|Version=3|Target=", {twin}), ToAnsi(Description(twins[0].Get())));
    EXPECT_TRUE(CancelModuleJob(manager.Get(), twin));
    auto left = All(twin);
    ASSERT_EQ(1u, left.size());
    EXPECT_TRUE(IsEqualGUID(Id(twins[1].Get()), Id(left[0].Get())));
}

TEST_F(BITSTest, JobMapFollowsTheJobsOfItsPass) {
    const std::string name = Prefix + "map";
    ASSERT_TRUE(CreateModuleJob(manager.Get(), name, "1"));
    TJobMap jobs;
    ASSERT_TRUE(jobs.Load(manager.Get()));
    // Behind the map's back the job ends and a successor takes its place, as
    // the job callback does after a download: the successor is the module's
    // job, not a reason to create another.
    Find(name)->Cancel();
    ASSERT_TRUE(CreateModuleJob(manager.Get(), name, "1"));
    const GUID successor = Id(Find(name).Get());
    EXPECT_FALSE(RegisterModuleJob(jobs, manager.Get(), name, "2"));
    auto live = All(name);
    ASSERT_EQ(1u, live.size());
    EXPECT_TRUE(IsEqualGUID(successor, Id(live[0].Get())));
    EXPECT_EQ(Format("Name=%s|Version=2|Target=", {name}), ToAnsi(Description(live[0].Get())));

    // Jobs the map made or cancelled itself are known to it without a walk.
    const std::string other = Prefix + "map2";
    EXPECT_TRUE(RegisterModuleJob(jobs, manager.Get(), other, "1"));
    EXPECT_FALSE(RegisterModuleJob(jobs, manager.Get(), other, "3"));
    ASSERT_EQ(1u, All(other).size());
    EXPECT_EQ(Format("Name=%s|Version=3|Target=", {other}), ToAnsi(Description(All(other)[0].Get())));
    EXPECT_TRUE(CancelModuleJob(jobs, manager.Get(), name));
    EXPECT_FALSE(CancelModuleJob(jobs, manager.Get(), name));
    EXPECT_TRUE(All(name).empty());

    // The settings of the jobs a pass creates are made on workers; a module
    // registered again in the same pass gets its later version all the same.
    {
        TJobSetup setup(jobs);
        for (int i = 0; i < 12; ++i) {
            const std::string module = Prefix + "set" + std::to_string(i);
            EXPECT_TRUE(RegisterModuleJob(jobs, manager.Get(), module, "1", &setup));
            EXPECT_FALSE(RegisterModuleJob(jobs, manager.Get(), module, "2", &setup));
        }
    }
    for (int i = 0; i < 12; ++i) {
        const std::string module = Prefix + "set" + std::to_string(i);
        auto made = All(module);
        ASSERT_EQ(1u, made.size());
        EXPECT_EQ(Format("Name=%s|Version=2|Target=", {module}), ToAnsi(Description(made[0].Get())));
        ULONG flags = 0;
        EXPECT_HRESULT_SUCCEEDED(made[0]->GetNotifyFlags(&flags));
        EXPECT_EQ(11u, flags);
    }
    // A new job that does not take its description is no module's job.
    test::FakeJob refusing;
    TJobMap pass;
    TJobSetup setup(pass);
    setup.Add(&refusing, Prefix + "refused", "1");
    setup.Finish();
    EXPECT_TRUE(pass.Entries().empty());
    EXPECT_EQ(BG_JOB_PRIORITY_FOREGROUND, refusing.priority);
    EXPECT_EQ(11u, refusing.notifyFlags);
}

// A client's registration records its account; only that account or an
// administrator changes the registration afterwards, a registration of no
// known owner goes to the next client that registers it, and the service's
// own module is no client's to register or remove.
TEST_F(BITSTest, ClientRegistrationsKeepTheirOwner) {
    const TRegistrant alice{"S-1-5-21-1-1-1-1001", false}, bob{"S-1-5-21-1-1-1-1002", false},
        admin{"S-1-5-21-1-1-1-500", true};
    const std::string owned = Prefix + "own", legacy = Prefix + "old";
    ASSERT_TRUE(CreateModuleJob(manager.Get(), legacy, "1"));
    test::LogMark mark;
    {
        TJobMap jobs;
        ASSERT_TRUE(jobs.Load(manager.Get()));
        EXPECT_TRUE(RegisterModuleJob(jobs, manager.Get(), owned, "1", nullptr, &alice));
        EXPECT_FALSE(RegisterModuleJob(jobs, manager.Get(), owned, "1", nullptr, &bob));  // no change
        EXPECT_FALSE(RegisterModuleJob(jobs, manager.Get(), owned, "2", nullptr, &bob));
        EXPECT_FALSE(CancelModuleJob(jobs, manager.Get(), owned, &bob));
        EXPECT_FALSE(RegisterModuleJob(jobs, manager.Get(), legacy, "1", nullptr, &bob));
        EXPECT_FALSE(RegisterModuleJob(jobs, manager.Get(), "ZELUPDATE", "9.9.9.9", nullptr, &admin));
    }
    EXPECT_EQ(Format("Name=%s|Version=1|Target=|Owner=%s", {owned, alice.Sid}), ToAnsi(Description(Find(owned).Get())));
    EXPECT_EQ(Format("Name=%s|Version=1|Target=|Owner=%s", {legacy, bob.Sid}), ToAnsi(Description(Find(legacy).Get())));
    std::string log = mark.Since();
    EXPECT_NE(log.find(Format(" : Модуль %s: отказано в вызове Add (модуль зарегистрирован другим пользователем; "
                              "пользователь %s)\r\n",
                              {owned, bob.Sid})),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(Format(" : Модуль %s: отказано в вызове Remove (модуль зарегистрирован другим пользователем; "
                              "пользователь %s)\r\n",
                              {owned, bob.Sid})),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" : Модуль ZELUPDATE: отказано в вызове Add (собственный модуль службы; пользователь "),
              std::string::npos)
        << log;
    for (const auto& job : All("ZELUPDATE"))
        EXPECT_EQ(ToAnsi(Description(job.Get())).find("9.9.9.9"), std::string::npos);

    // The owner and an administrator change it; the owner stays the owner.
    {
        TJobMap jobs;
        ASSERT_TRUE(jobs.Load(manager.Get()));
        EXPECT_FALSE(RegisterModuleJob(jobs, manager.Get(), owned, "2", nullptr, &admin));
        EXPECT_FALSE(RegisterModuleJob(jobs, manager.Get(), legacy, "3", nullptr, &bob));
    }
    EXPECT_EQ(Format("Name=%s|Version=2|Target=|Owner=%s", {owned, alice.Sid}), ToAnsi(Description(Find(owned).Get())));
    EXPECT_EQ(Format("Name=%s|Version=3|Target=|Owner=%s", {legacy, bob.Sid}), ToAnsi(Description(Find(legacy).Get())));
    TJobMap jobs;
    ASSERT_TRUE(jobs.Load(manager.Get()));
    EXPECT_TRUE(CancelModuleJob(jobs, manager.Get(), owned, &alice));
    EXPECT_TRUE(CancelModuleJob(jobs, manager.Get(), legacy, &admin));
    EXPECT_TRUE(All(owned).empty());
    EXPECT_TRUE(All(legacy).empty());
}

TEST_F(BITSTest, LaterWalksSeeWhatChangedSinceTheLastOne) {
    // A job of the service whose description is not written yet when a walk
    // sees it (the job callback creating a module's next job), and a job
    // whose description the service rewrites between two passes.
    const std::string fresh = Prefix + "late", moved = Prefix + "moved";
    ComPtr<IBackgroundCopyJob> job;
    GUID id;
    ASSERT_HRESULT_SUCCEEDED(manager->CreateJob(UpdateJobName, BG_JOB_TYPE_DOWNLOAD, &id, &job));
    ASSERT_TRUE(CreateModuleJob(manager.Get(), moved, "1"));
    {
        TJobMap jobs;
        ASSERT_TRUE(jobs.Load(manager.Get()));
        EXPECT_EQ(nullptr, jobs.Find(manager.Get(), fresh));
        ASSERT_NE(nullptr, jobs.Find(manager.Get(), moved));
    }
    ASSERT_TRUE(WriteJobDescription(job.Get(), fresh, "1", std::string()));
    ASSERT_TRUE(WriteJobDescription(Find(moved).Get(), moved, "1", "2.0"));
    for (int pass = 0; pass < 2; ++pass) {
        TJobMap jobs;
        ASSERT_TRUE(jobs.Load(manager.Get()));
        TJobMap::Entry* late = jobs.Find(manager.Get(), fresh);
        ASSERT_NE(nullptr, late) << pass;
        EXPECT_TRUE(IsEqualGUID(id, Id(late->Job.Get())));
        TJobMap::Entry* entry = jobs.Find(manager.Get(), moved);
        ASSERT_NE(nullptr, entry);
        EXPECT_EQ("2.0", entry->Info.Target) << pass;
    }
    job->Cancel();
}

TEST_F(BITSTest, ProxySecurityFlagsFilesAndErrorTexts) {
    const std::string name = Prefix + "opt";
    ASSERT_TRUE(CreateModuleJob(manager.Get(), name, "1"));
    ComPtr<IBackgroundCopyJob> job = Find(name);
    ASSERT_TRUE(job);

    // An empty list means no proxy. Wine's BITS has no proxy settings; the
    // failure is logged then.
    test::LogMark mark;
    SetJobProxy(job.Get(), "", "user", "secret");
    BG_JOB_PROXY_USAGE usage;
    LPWSTR list = nullptr, bypass = nullptr;
    if (SUCCEEDED(job->GetProxySettings(&usage, &list, &bypass))) {
        EXPECT_EQ(BG_JOB_PROXY_USAGE_NO_PROXY, usage);
        CoTaskMemFree(list);
        CoTaskMemFree(bypass);
    } else {
        EXPECT_NE(std::string::npos, mark.Since().find(" : Ошибка при настройке параметров proxy-сервера\r\n"));
    }
    SetJobCredentials(job.Get(), BG_AUTH_TARGET_SERVER, "user", "secret");
    SetJobCredentials(job.Get(), BG_AUTH_TARGET_PROXY, "user", "secret");

    // Requested flags are added to the current ones; 0 asks for nothing.
    ComPtr<IBackgroundCopyJobHttpOptions> options;
    ASSERT_HRESULT_SUCCEEDED(job.As(&options));
    ULONG flags = 0;
    EXPECT_TRUE(SetJobSecurityFlags(job.Get(), 12));
    EXPECT_TRUE(SetJobSecurityFlags(job.Get(), 2));
    ASSERT_HRESULT_SUCCEEDED(options->GetSecurityFlags(&flags));
    EXPECT_EQ(14u, flags);
    EXPECT_FALSE(SetJobSecurityFlags(job.Get(), 0));
    ASSERT_HRESULT_SUCCEEDED(options->GetSecurityFlags(&flags));
    EXPECT_EQ(14u, flags);
    std::string log = mark.Since();
    EXPECT_NE(std::string::npos, log.find("Выполняем настройку параметров HTTP (SetSecurityFlags: C)"));
    EXPECT_EQ(std::string::npos, log.find("авторизации")) << log;
    EXPECT_EQ(std::string::npos, log.find("IBackgroundCopyJob2")) << log;

    // The local directory is made first.
    std::string local = GetModuleDir(name) + "\\deep\\er\\file.exe";
    test::RemoveTree(GetModuleDir(name) + "\\deep");
    EXPECT_TRUE(AddJobFile(job.Get(), "http://127.0.0.1:9/file.exe", local));
    EXPECT_TRUE(DirectoryExists(ExtractFileDir(local)));
    BG_JOB_PROGRESS progress;
    ASSERT_HRESULT_SUCCEEDED(job->GetProgress(&progress));
    EXPECT_EQ(1u, progress.FilesTotal);
    EXPECT_EQ(0, GetJobProgress(job.Get()));

    std::string context, error, text;
    EXPECT_FALSE(GetJobErrorTexts(job.Get(), context, error));
    EXPECT_FALSE(GetBITSErrorText(manager.Get(), S_OK, text));
    EXPECT_FALSE(GetBITSErrorText(nullptr, BG_E_HTTP_ERROR_404, text));
    BITSException e(BG_E_HTTP_ERROR_404);
    EXPECT_STREQ("Служба фоновой интеллектуальной передачи файлов", e.what());
    EXPECT_EQ(BG_E_HTTP_ERROR_404, e.ErrorCode());
}

// ---------------------------------------------------------------- downloads

class DownloadTest : public BITSTest {
protected:
    std::string base;
    test::FakeServer server;

    void SetUp() override {
        BITSTest::SetUp();
        std::string port = Trim(test::ReadFileBytes(test::TestDir() + "http.port"));
        if (port.empty()) GTEST_SKIP() << "no HTTP server (run through ctest)";
        base = "http://127.0.0.1:" + port + "/";
        ASSERT_TRUE(server.Register());
    }
    void TearDown() override {
        server.Revoke();
        BITSTest::TearDown();
    }

    // A module's job as the update check fills it; files with a digest go
    // to their holding names.
    ComPtr<IBackgroundCopyJob> Start(const std::string& name, const std::vector<std::string>& files,
                                     const std::map<std::string, std::string>& digests = {}, bool notify = true) {
        test::RemoveTree(GetModuleDir(name));
        ComPtr<IBackgroundCopyJob> job;
        if (notify) {
            EXPECT_TRUE(CreateModuleJob(manager.Get(), name, "1.0.0.0"));
            job = Find(name);
        } else {
            GUID id;
            EXPECT_HRESULT_SUCCEEDED(manager->CreateJob(UpdateJobName, BG_JOB_TYPE_DOWNLOAD, &id, &job));
            ForceDirectories(GetModuleDir(name));
        }
        if (!job) return job;
        for (const std::string& f : files) {
            auto digest = digests.find(f);
            std::string local =
                PrepareDownload(GetModuleDir(name) + "\\" + f, digest == digests.end() ? "" : digest->second);
            EXPECT_TRUE(AddJobFile(job.Get(), base + f, local));
        }
        EXPECT_TRUE(WriteJobDescription(job.Get(), name, "1.0.0.0", "1.2.0.7"));
        SetJobProxy(job.Get(), "", "", "");
        SetJobSecurityFlags(job.Get(), 12);
        EXPECT_HRESULT_SUCCEEDED(job->Resume());
        return job;
    }
};

TEST_F(DownloadTest, TransferredJobIsCompletedReportedAndReplaced) {
    const std::string name = Prefix + "dl";
    test::LogMark mark;
    ComPtr<IBackgroundCopyJob> job = Start(name, {"setup105.exe", "setup107.exe", "readme.exe"});
    ASSERT_TRUE(job);
    const GUID old = Id(job.Get());

    // The callback completes the job (files under their final names) and
    // leaves a fresh idle job with the installed version.
    const std::string dir = GetModuleDir(name) + "\\";
    bool replaced = test::WaitFor(
        [&] {
            ComPtr<IBackgroundCopyJob> now;
            return FileExists(dir + "readme.exe") && FileExists(dir + "setup107.exe") &&
                   FindModuleJob(manager.Get(), name, now.GetAddressOf()) && !IsEqualGUID(Id(now.Get()), old);
        },
        60000);
    ASSERT_TRUE(replaced) << mark.Since();
    ComPtr<IBackgroundCopyJob> fresh = Find(name);
    EXPECT_EQ(Format("Name=%s|Version=1.0.0.0|Target=", {name}), ToAnsi(Description(fresh.Get())));
    BG_JOB_STATE state;
    ASSERT_HRESULT_SUCCEEDED(fresh->GetState(&state));
    EXPECT_EQ(BG_JOB_STATE_SUSPENDED, state);
    EXPECT_EQ(1u, All(name).size());
    EXPECT_EQ(test::ReadFileBytes(test::TestDir() + "www\\setup105.exe"), test::ReadFileBytes(dir + "setup105.exe"));

    ASSERT_TRUE(test::WaitFor([&] { return !server.Events("download", name).empty(); }, 10000));
    std::string log = mark.Since();
    EXPECT_NE(std::string::npos, log.find(Format(" : Для обновления модуля %s загружены следующие файлы\r\n", {name})));
    EXPECT_NE(std::string::npos, log.find(Format(" :   %s (версия 1.2.00.05)\r\n", {dir + "setup105.exe"}))) << log;
    EXPECT_NE(std::string::npos, log.find(Format(" :   %s (версия 1.2.00.07)\r\n", {dir + "setup107.exe"})));
    EXPECT_NE(std::string::npos, log.find(Format(" : Файл обновления модуля %s не содержит cведений о версии\r\n", {name})));
    EXPECT_NE(std::string::npos, log.find(Format(" : Загружено обновление модуля %s версии 1.2.00.07\r\n", {name})));

    auto downloads = server.Events("download", name);
    ASSERT_EQ(1u, downloads.size());
    EXPECT_EQ("1.2.00.07", downloads[0].a);
    auto failures = server.Events("exception", name);
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ("Служба обновления", failures[0].a);
    EXPECT_EQ("Файл обновления не содержит сведений о версии", failures[0].b);
    EXPECT_EQ(0u, failures[0].cookie);
}

TEST_F(DownloadTest, MissingFileEndsInErrorThatIsLoggedAndReported) {
    const std::string name = Prefix + "404";
    test::LogMark mark;
    ComPtr<IBackgroundCopyJob> job = Start(name, {"missing.exe"});
    ASSERT_TRUE(job);
    BG_JOB_STATE state = BG_JOB_STATE_QUEUED;
    ASSERT_TRUE(test::WaitFor([&] { return SUCCEEDED(job->GetState(&state)) && state == BG_JOB_STATE_ERROR; }, 60000))
        << "state " << state;
    // Wine's BITS gives no error texts; the callback then reports nothing.
    std::string context, error;
    bool texts = GetJobErrorTexts(job.Get(), context, error);
    if (!texts) {
        Sleep(1000);
        EXPECT_TRUE(server.Events("exception", name).empty());
    } else {
        ASSERT_TRUE(test::WaitFor([&] { return !server.Events("exception", name).empty(); }, 10000));
        EXPECT_EQ(std::string::npos, error.find("\r\n"));
        auto failures = server.Events("exception", name);
        EXPECT_EQ(context, failures[0].a);
        EXPECT_EQ(error, failures[0].b);
        EXPECT_EQ(0u, failures[0].cookie);
        std::string log = mark.Since();
        EXPECT_NE(std::string::npos, log.find(" : " + context + "\r\n")) << log;
        EXPECT_NE(std::string::npos, log.find(" : " + error + "\r\n")) << log;
    }
    // The failed job stays for the update check to replace.
    EXPECT_EQ(1u, All(name).size());

}

TEST_F(DownloadTest, TransferredFilesAreCheckedAgainstTheirDigests) {
    const std::string name = Prefix + "sha";
    const std::string www = test::TestDir() + "www\\";
    std::string good, bad;
    ASSERT_TRUE(FileSha256(www + "setup105.exe", good));
    ASSERT_TRUE(FileSha256(www + "setup107.exe", bad));
    const std::string wrong(64, '0');
    test::LogMark mark;
    ComPtr<IBackgroundCopyJob> job =
        Start(name, {"setup105.exe", "setup107.exe", "readme.exe"}, {{"setup105.exe", good}, {"setup107.exe", wrong}});
    ASSERT_TRUE(job);
    const GUID old = Id(job.Get());
    const std::string dir = GetModuleDir(name) + "\\";
    ASSERT_TRUE(test::WaitFor(
        [&] {
            ComPtr<IBackgroundCopyJob> now;
            return FindModuleJob(manager.Get(), name, now.GetAddressOf()) && !IsEqualGUID(Id(now.Get()), old);
        },
        60000))
        << mark.Since();

    // The file that matches and the one without a digest are in place; the
    // other one is gone without a trace, and the update is not announced.
    EXPECT_EQ(test::ReadFileBytes(www + "setup105.exe"), test::ReadFileBytes(dir + "setup105.exe"));
    EXPECT_TRUE(FileExists(dir + "readme.exe"));
    for (const char* gone : {"setup107.exe", "setup107.exe.unverified", "setup107.exe.sha256", "setup105.exe.sha256",
                             "setup105.exe.unverified"})
        EXPECT_FALSE(FileExists(dir + gone)) << gone;
    std::string log = mark.Since();
    EXPECT_NE(std::string::npos,
              log.find(Format(" : Контрольная сумма файла %s модуля %s не совпадает: ожидалась SHA-256 %s, получена %s\r\n",
                              {dir + "setup107.exe", name, wrong, bad})))
        << log;
    EXPECT_NE(std::string::npos, log.find(Format(" :   %s (версия 1.2.00.05)\r\n", {dir + "setup105.exe"}))) << log;
    EXPECT_EQ(std::string::npos, log.find("Загружено обновление модуля")) << log;
    EXPECT_TRUE(server.Events("download", name).empty());
    std::vector<std::string> texts;
    for (const auto& e : server.Events("exception", name)) {
        EXPECT_EQ("Служба обновления", e.a);
        EXPECT_EQ(0u, e.cookie);
        texts.push_back(e.b);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"Файл обновления setup107.exe не совпадает с указанным сервером и удалён",
                                               "Файл обновления не содержит сведений о версии"}));
    // The module waits with a fresh idle job for the next check.
    ComPtr<IBackgroundCopyJob> fresh = Find(name);
    BG_JOB_STATE state;
    ASSERT_HRESULT_SUCCEEDED(fresh->GetState(&state));
    EXPECT_EQ(BG_JOB_STATE_SUSPENDED, state);
}

TEST_F(DownloadTest, AJobTheSchedulerCompletesIsSettledAndAnnouncedToo) {
    // Jobs without the callback, as ones left from an earlier run or ones the
    // update check reaches before BITS calls back: the check completes them,
    // with the same checks and the same announcement as the callback.
    const std::string www = test::TestDir() + "www\\";
    std::string good;
    ASSERT_TRUE(FileSha256(www + "setup105.exe", good));
    struct Case {
        std::string name, digest;
        bool matches;
    };
    for (const Case& c : {Case{Prefix + "sched", std::string(64, 'f'), false}, Case{Prefix + "schok", good, true}}) {
        SCOPED_TRACE(c.name);
        test::LogMark mark;
        ComPtr<IBackgroundCopyJob> job = Start(c.name, {"setup105.exe"}, {{"setup105.exe", c.digest}}, false);
        ASSERT_TRUE(job);
        BG_JOB_STATE state = BG_JOB_STATE_QUEUED;
        ASSERT_TRUE(test::WaitFor(
            [&] { return SUCCEEDED(job->GetState(&state)) && state == BG_JOB_STATE_TRANSFERRED; }, 60000))
            << "state " << state;
        TRemoteModuleInfoList remote;
        EXPECT_FALSE(ProcessJob(manager.Get(), job.Get(), &server, remote, 7));
        const std::string dir = GetModuleDir(c.name) + "\\";
        EXPECT_EQ(c.matches, FileExists(dir + "setup105.exe"));
        EXPECT_FALSE(FileExists(dir + "setup105.exe.unverified"));
        EXPECT_FALSE(FileExists(dir + "setup105.exe.sha256"));
        std::string log = mark.Since();
        auto failures = server.Events("exception", c.name);
        auto downloads = server.Events("download", c.name);
        if (c.matches) {
            EXPECT_TRUE(failures.empty());
            ASSERT_EQ(1u, downloads.size());
            EXPECT_EQ("1.2.00.05", downloads[0].a);
            EXPECT_NE(std::string::npos,
                      log.find(Format(" : Загружено обновление модуля %s версии 1.2.00.05\r\n", {c.name})))
                << log;
        } else {
            EXPECT_TRUE(downloads.empty());
            ASSERT_EQ(1u, failures.size());
            EXPECT_EQ("Служба обновления", failures[0].a);
            EXPECT_EQ(0u, failures[0].cookie);
            EXPECT_NE(std::string::npos,
                      log.find(Format(" : Контрольная сумма файла %s модуля %s не совпадает",
                                      {dir + "setup105.exe", c.name})));
            EXPECT_EQ(std::string::npos, log.find("Загружено обновление модуля")) << log;
        }
        EXPECT_EQ(1u, All(c.name).size());
    }
}

// ---------------------------------------------------------------- the lister

TEST_F(BITSTest, ListerShowsAndCancelsTheServiceJobs) {
    const std::string name = Prefix + "list";
    ASSERT_TRUE(CreateModuleJob(manager.Get(), name, "5.1"));
    ComPtr<IBackgroundCopyJob> job = Find(name);
    ASSERT_TRUE(job);
    ASSERT_TRUE(AddJobFile(job.Get(), "http://127.0.0.1:9/a.exe", GetModuleDir(name) + "\\a.exe"));
    GUID id;
    ComPtr<IBackgroundCopyJob> foreign;
    ASSERT_HRESULT_SUCCEEDED(manager->CreateJob(L"Other Job", BG_JOB_TYPE_DOWNLOAD, &id, &foreign));

    const std::string out = test::TestDir() + "bitsjobs.out";
    auto run = [&](const std::string& args) {
        RemoveFile(out);
        test::RunProcess("cmd /c \"\"" + test::BinDir() + "bitsjobs.exe\" " + args + " > \"" + out + "\"\"");
        return test::ReadFileBytes(out);
    };
    std::string listing = run("--files");
    std::string line = Format("job\tZEL Update Job\tName=%s|Version=5.1|Target=\tSUSPENDED\t3\t0\t", {name});
    size_t at = listing.find(line);
    ASSERT_NE(std::string::npos, at) << listing;
    EXPECT_NE(std::string::npos, listing.find("\t1\nfile\thttp://127.0.0.1:9/a.exe\t", at)) << listing;
    EXPECT_NE(std::string::npos, listing.find("job\tOther Job\t")) << listing;

    std::string cancelled = run("--cancel-all");
    EXPECT_NE(std::string::npos, cancelled.find(Format("cancelled\tZEL Update Job\tName=%s|", {name}))) << cancelled;
    EXPECT_EQ(std::string::npos, cancelled.find("Other Job"));
    EXPECT_TRUE(All(name).empty());
    BG_JOB_STATE state;
    ASSERT_HRESULT_SUCCEEDED(foreign->GetState(&state));
    EXPECT_EQ(BG_JOB_STATE_SUSPENDED, state);
    foreign->Cancel();
}

}  // namespace
