// Stand-in for <bits.h>: the interfaces and enumerations the transfer
// units' headers name, with only the methods their inline code calls (the
// native tests hand the units objects of their own and link doubles for the
// calls into BITS).
#pragma once

#include <oaidl.h>

struct IBackgroundCopyJob : IUnknown {};
struct IBackgroundCopyCallback : IUnknown {};
struct IEnumBackgroundCopyJobs : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG count, IBackgroundCopyJob** jobs, ULONG* fetched) = 0;
};
struct IBackgroundCopyManager : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE EnumJobs(DWORD flags, IEnumBackgroundCopyJobs** jobs) = 0;
};

enum BG_JOB_STATE {
    BG_JOB_STATE_QUEUED,
    BG_JOB_STATE_CONNECTING,
    BG_JOB_STATE_TRANSFERRING,
    BG_JOB_STATE_SUSPENDED,
    BG_JOB_STATE_ERROR,
    BG_JOB_STATE_TRANSIENT_ERROR,
    BG_JOB_STATE_TRANSFERRED,
    BG_JOB_STATE_ACKNOWLEDGED,
    BG_JOB_STATE_CANCELLED
};

enum BG_AUTH_TARGET { BG_AUTH_TARGET_SERVER = 1, BG_AUTH_TARGET_PROXY = 2 };
