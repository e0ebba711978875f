// Stand-in for <bits.h>: the interfaces and enumerations the transfer
// units' headers name, with no methods of their own (the native tests hand
// the units objects of their own and link doubles for the calls into BITS).
#pragma once

#include <oaidl.h>

struct IBackgroundCopyJob : IUnknown {};
struct IBackgroundCopyManager : IUnknown {};
struct IBackgroundCopyCallback : IUnknown {};
struct IEnumBackgroundCopyJobs : IUnknown {};

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
