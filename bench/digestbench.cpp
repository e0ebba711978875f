// Measures, in one run, what checking a downloaded file against its digest
// costs next to downloading it: the file is fetched through BITS exactly as
// the service does it (holding name, record of the expected digest), then
// settled the way the job callback settles it.
//   digestbench <address> <expected sha256> <directory> <runs>
#include <windows.h>
#include <objbase.h>
#include <bits.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "base/Text.h"
#include "store/Digest.h"
#include "store/ModuleList.h"
#include "transfer/BITS.h"

using Microsoft::WRL::ComPtr;
using namespace zel;
using zel::bench::Median;
using zel::bench::Now;

namespace {


// Seconds from Resume to the transferred state; negative on failure.
double Download(IBackgroundCopyManager* manager, const std::string& address, const std::string& local) {
    GUID id;
    ComPtr<IBackgroundCopyJob> job;
    if (FAILED(manager->CreateJob(L"ZEL Digest Bench", BG_JOB_TYPE_DOWNLOAD, &id, &job))) return -1;
    job->SetPriority(BG_JOB_PRIORITY_FOREGROUND);
    if (FAILED(job->AddFile(ToWide(address).c_str(), ToWide(local).c_str()))) {
        job->Cancel();
        return -1;
    }
    double start = Now();
    job->Resume();
    BG_JOB_STATE state = BG_JOB_STATE_QUEUED;
    for (;;) {
        if (FAILED(job->GetState(&state)) || state == BG_JOB_STATE_ERROR) {
            job->Cancel();
            return -1;
        }
        if (state == BG_JOB_STATE_TRANSFERRED) break;
        Sleep(20);
    }
    double seconds = Now() - start;
    return SUCCEEDED(job->Complete()) ? seconds : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: digestbench <address> <expected sha256> <directory> <runs>\n");
        return 2;
    }
    const std::string address = argv[1];
    std::string expected;
    if (!ParseSha256(argv[2], expected)) {
        std::fprintf(stderr, "not a digest: %s\n", argv[2]);
        return 2;
    }
    const std::string dir = IncludeTrailingBackslash(argv[3]);
    const int runs = std::max(1, std::atoi(argv[4]));
    ForceDirectories(dir);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IBackgroundCopyManager* manager = nullptr;
    if (!ConnectBITS(&manager)) return 1;

    const std::string path = dir + "bench.bin";
    std::vector<double> downloads, checks, ratios;
    int64_t size = 0;
    std::printf("run  download_s  check_s  check/download\n");
    for (int run = 1; run <= runs; ++run) {
        RemoveFile(path);
        std::string local = PrepareDownload(path, expected);
        double download = Download(manager, address, local);
        if (download < 0) {
            std::fprintf(stderr, "run %d: the download failed\n", run);
            return 1;
        }
        size = GetFileSize64(local);
        double start = Now();
        TDownloadCheck check = SettleDownload(local);
        double seconds = Now() - start;
        if (check.Result != TDownloadCheck::Verified) {
            std::fprintf(stderr, "run %d: the file did not match (%s)\n", run, check.Actual.c_str());
            return 1;
        }
        downloads.push_back(download);
        checks.push_back(seconds);
        ratios.push_back(seconds / download);
        std::printf("%3d  %10.3f  %7.3f  %14.3f\n", run, download, seconds, seconds / download);
        std::fflush(stdout);
    }
    RemoveFile(path);
    manager->Release();
    CoUninitialize();
    std::printf("median  download %.3f s (%.1f MB/s)  check %.3f s (%.1f MB/s)  check/download %.3f"
                "  (%lld bytes, %d runs)\n",
                Median(downloads), size / 1048576.0 / Median(downloads), Median(checks),
                size / 1048576.0 / Median(checks), Median(ratios), static_cast<long long>(size), runs);
    return 0;
}
