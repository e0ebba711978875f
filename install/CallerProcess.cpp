#include "CallerProcess.h"

#include "base/Access.h"
#include "base/Text.h"
#include "install/zel_processes.h"

namespace zel {

namespace {

constexpr DWORD ProcessAccess = SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
// What a primary token needs to start a process with it.
constexpr DWORD TokenAccess = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT |
                              TOKEN_ADJUST_SESSIONID;

bool TokenAccount(HANDLE process, std::string* sid, DWORD* session) {
    UniqueHandle token;
    if (!OpenProcessToken(process, TOKEN_QUERY, token.Out())) return false;
    std::string user = TokenSid(token.Get());
    DWORD id = 0, needed = 0;
    if (user.empty() || !GetTokenInformation(token.Get(), TokenSessionId, &id, sizeof id, &needed)) return false;
    *sid = user;
    *session = id;
    return true;
}

}  // namespace

std::unique_ptr<TCallerProcess> TCallerProcess::Open(DWORD pid, DWORD& error) {
    std::unique_ptr<TCallerProcess> caller(new TCallerProcess);
    caller->pid_ = pid;
    caller->process_.Reset(OpenProcess(ProcessAccess, FALSE, pid));
    if (!caller->process_) {
        error = GetLastError();
        return nullptr;
    }
    caller->created_ = ProcessCreationTime(caller->process_.Get());
    UniqueHandle token;
    if (!OpenProcessToken(caller->process_.Get(), TOKEN_QUERY | TOKEN_DUPLICATE, token.Out())) {
        error = GetLastError();
        return nullptr;
    }
    BOOL duplicated = DuplicateTokenEx(token.Get(), TokenAccess, nullptr, SecurityImpersonation, TokenPrimary,
                                       caller->token_.Out());
    error = GetLastError();
    if (!duplicated) {
        caller->token_.Release();  // nothing of a failed call is closed
        return nullptr;
    }
    return caller;
}

std::unique_ptr<TCallerProcess> AcceptInstallTarget(DWORD pid, DWORD callerPid, uint64_t callerCreated,
                                                    const std::string& callerSid, std::string& why) {
    if (callerPid == 0 || callerSid.empty()) {
        why = "вызывающий не опознан";
        return nullptr;
    }
    bool parent = pid != callerPid;
    if (parent && GetParentProcessId(callerPid) != pid) {
        why = "это не вызывающий процесс и не его родитель";
        return nullptr;
    }
    DWORD error = 0;
    std::unique_ptr<TCallerProcess> target = TCallerProcess::Open(pid, error);
    if (!target) {
        why = Format("процесс недоступен (%s)", {SysErrorMessage(error)});
        return nullptr;
    }
    // The parent id of a process stays when its parent has ended: a process
    // that got the id since is younger than the caller.
    if (parent && (target->Created() == 0 || callerCreated == 0 || target->Created() > callerCreated)) {
        why = "родитель вызывающего процесса уже завершён";
        return nullptr;
    }
    std::string targetSid, ownSid;
    DWORD targetSession = 0, callerSession = 0;
    UniqueHandle caller(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, callerPid));
    bool known = caller && CallerProcessSeam().ProcessAccount(target->Process(), &targetSid, &targetSession) &&
                 CallerProcessSeam().ProcessAccount(caller.Get(), &ownSid, &callerSession);
    if (!known) {
        why = "учётная запись процесса не определяется";
        return nullptr;
    }
    if (targetSid != callerSid) {
        why = Format("процесс другого пользователя (%s)", {targetSid});
        return nullptr;
    }
    if (targetSession != callerSession) {
        why = Format("процесс другого сеанса (%d)", {targetSession});
        return nullptr;
    }
    return target;
}

bool IsLocalFixedPath(const std::string& path) {
    std::string p = path.compare(0, 4, "\\\\?\\") == 0 ? path.substr(4) : path;
    bool letter = p.size() > 3 && ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':' &&
                  p[2] == '\\';
    return letter && GetDriveTypeA(p.substr(0, 3).c_str()) == DRIVE_FIXED;
}

bool IsPlainWord(const std::string& text) {
    if (text.empty()) return false;
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        bool latin = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        // The letters of code page 1251: А-я, Ё and ё.
        bool cyrillic = c >= 0xC0 || c == 0xA8 || c == 0xB8;
        if (!latin && !cyrillic && c != '.' && c != '_' && c != '-') return false;
    }
    return true;
}

CallerProcessPlatform DefaultCallerProcessPlatform() {
    CallerProcessPlatform p;
    p.ProcessAccount = &TokenAccount;
    return p;
}

CallerProcessPlatform& CallerProcessSeam() {
    static CallerProcessPlatform platform = DefaultCallerProcessPlatform();
    return platform;
}

}  // namespace zel
