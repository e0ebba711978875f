#include "Caller.h"

#include <objbase.h>
#include <rpc.h>
#include <rpcdcep.h>

#include "base/Access.h"
#include "base/Owners.h"
#include "base/Text.h"
#include "install/zel_processes.h"

namespace zel {

namespace {

bool RpcClientPid(DWORD* pid) {
    // A null binding stands for the call the current thread is serving;
    // outside a call the answer is RPC_S_NO_CALL_ACTIVE.
    unsigned long id = 0;
    if (I_RpcBindingInqLocalClientPID(nullptr, &id) != RPC_S_OK || id == 0) return false;
    *pid = static_cast<DWORD>(id);
    return true;
}

// The thread's token while it impersonates, opened with the service's own
// rights: the caller's token may allow no more than identification.
bool OpenImpersonationToken(HANDLE* token) {
    return OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token) != FALSE;
}

bool ImpersonatedClientToken(HANDLE* token) {
    if (SUCCEEDED(CoImpersonateClient())) {
        bool opened = OpenImpersonationToken(token);
        CoRevertToSelf();
        if (opened) return true;
    }
    // Wine's COM keeps no call context for the calls it dispatches
    // (CoImpersonateClient answers RPC_E_CALL_COMPLETE); the RPC call that
    // carries the COM call impersonates all the same.
    if (RpcImpersonateClient(nullptr) != RPC_S_OK) return false;
    bool opened = OpenImpersonationToken(token);
    RpcRevertToSelf();
    return opened;
}

bool IsAdministrator(HANDLE token) {
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof admins;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size)) return false;
    // The token as it acts: under user account control an administrator's
    // filtered token holds the group for denying only, and is no member.
    BOOL member = FALSE;
    return CallerSeam().CheckTokenMembership(token, admins, &member) && member;
}

}  // namespace

TProcessKey ProcessKeyOf(DWORD pid) {
    TProcessKey key;
    if (pid == 0) return key;
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return key;
    if (uint64_t created = ProcessCreationTime(process.Get())) {
        key.Pid = pid;
        key.Created = created;
    }
    return key;
}

std::string TCaller::Text() const {
    return Format("процесс %d, пользователь %s",
                  {Process.Pid, Sid.empty() ? std::string("неизвестен") : Sid});
}

TProcessKey CallerProcess() {
    DWORD pid = 0;
    if (!CallerSeam().ClientPid(&pid)) return TProcessKey();
    return ProcessKeyOf(pid);
}

TCaller CurrentCaller() {
    TCaller caller;
    caller.Process = CallerProcess();
    if (!caller.Process.Known()) return caller;
    UniqueHandle token;
    if (!CallerSeam().ClientToken(token.Out())) {
        token.Release();  // nothing of a failed call is closed
        return caller;
    }
    caller.Sid = TokenSid(token.Get());
    caller.Admin = !caller.Sid.empty() && IsAdministrator(token.Get());
    return caller;
}

bool ThisProcessAsClient(DWORD* pid) {
    *pid = GetCurrentProcessId();
    return true;
}

bool ThisProcessTokenAsClient(HANDLE* token) {
    UniqueHandle own;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, own.Out())) return false;
    // What impersonation gives: a token of the thread's kind, which the
    // membership check needs.
    return DuplicateToken(own.Get(), SecurityIdentification, token) != FALSE;
}

CallerPlatform DefaultCallerPlatform() {
    CallerPlatform p;
    p.ClientPid = &RpcClientPid;
    p.ClientToken = &ImpersonatedClientToken;
    p.CheckTokenMembership = &::CheckTokenMembership;
    return p;
}

CallerPlatform& CallerSeam() {
    static CallerPlatform platform = DefaultCallerPlatform();
    return platform;
}

}  // namespace zel
