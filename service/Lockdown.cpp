#include "Lockdown.h"

#include "base/Access.h"
#include "base/FileTree.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "base/Text.h"
#include "config/Proxy.h"
#include "base/RegKey.h"

namespace zel {

namespace {

std::wstring WithoutTrailingSlash(std::wstring path) {
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

bool SameFolder(const std::wstring& a, const std::wstring& b) {
    std::wstring x = WithoutTrailingSlash(a), y = WithoutTrailingSlash(b);
    return !x.empty() && CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(),
                                              static_cast<int>(y.size()), TRUE) == CSTR_EQUAL;
}

bool IsWithin(const std::wstring& path, const std::wstring& folder) {
    std::wstring base = WithoutTrailingSlash(folder);
    return !base.empty() && path.size() > base.size() && path[base.size()] == L'\\' &&
           SameFolder(path.substr(0, base.size()), base);
}

std::wstring Environment(const wchar_t* name) {
    wchar_t value[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH * 2);
    return n == 0 || n >= MAX_PATH * 2 ? std::wstring() : std::wstring(value, n);
}

BOOL WriteEntrySecurity(HANDLE entry, const std::wstring&, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor) {
    // The low-level call sets exactly this descriptor, with its protected
    // mark, on exactly this handle: nothing is propagated beneath it and no
    // name is looked up again (the higher-level calls do both).
    return SetKernelObjectSecurity(entry, what, descriptor);
}

// Restore and take-ownership rights for the time of the lock (LocalSystem
// and elevated administrators hold them, disabled): a folder or file whose
// list shuts out the service still gets the service's own. They are put
// back as they were at the end.
class TLockPrivileges {
public:
    TLockPrivileges() {
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token_.Out())) {
            token_.Release();
            return;
        }
        struct {
            DWORD PrivilegeCount;
            LUID_AND_ATTRIBUTES Privileges[2];
        } wanted = {};
        for (const wchar_t* name : {L"SeRestorePrivilege", L"SeTakeOwnershipPrivilege"}) {
            LUID luid;
            if (!LookupPrivilegeValueW(nullptr, name, &luid)) continue;
            wanted.Privileges[wanted.PrivilegeCount].Luid = luid;
            wanted.Privileges[wanted.PrivilegeCount].Attributes = SE_PRIVILEGE_ENABLED;
            ++wanted.PrivilegeCount;
        }
        previous_.resize(sizeof(wanted));
        DWORD size = static_cast<DWORD>(previous_.size());
        adjusted_ = wanted.PrivilegeCount > 0 &&
                    AdjustTokenPrivileges(token_.Get(), FALSE, reinterpret_cast<PTOKEN_PRIVILEGES>(&wanted), size,
                                          reinterpret_cast<PTOKEN_PRIVILEGES>(previous_.data()), &size);
    }
    ~TLockPrivileges() {
        if (adjusted_)
            AdjustTokenPrivileges(token_.Get(), FALSE, reinterpret_cast<PTOKEN_PRIVILEGES>(previous_.data()), 0,
                                  nullptr, nullptr);
    }
    TLockPrivileges(const TLockPrivileges&) = delete;
    TLockPrivileges& operator=(const TLockPrivileges&) = delete;

private:
    UniqueHandle token_;
    std::vector<BYTE> previous_;
    bool adjusted_ = false;
};

enum class TLockResult { Locked, Link, Failed };

class TLocker {
public:
    std::vector<TLockMessage> Messages;

    void Error(const std::string& pattern, const std::wstring& path, DWORD code) {
        Messages.push_back({Format(pattern, {ToAnsi(path), SysErrorMessage(code)}), LogError});
    }

    // Sets the list and the owner. A root may be a link the administrator
    // made (the program's own folder): it is followed; every other entry is
    // opened as itself, and a link is only reported back.
    TLockResult Lock(const std::wstring& path, TFolderKind kind, TEntryForm form, bool follow = false) {
        const DWORD access = READ_CONTROL | WRITE_DAC | WRITE_OWNER;
        UniqueHandle entry(follow ? CreateFileW(path.c_str(), access,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)
                                  : OpenEntry(path, access));
        if (!entry) {
            Error("Не удалось открыть %s: %s", path, GetLastError());
            return TLockResult::Failed;
        }
        TLockResult result = TLockResult::Locked;
        TSecurityDescriptor descriptor = FileDescriptor(kind, form);
        if (!follow && IsLinkHandle(entry.Get())) {
            result = TLockResult::Link;
        } else if (!descriptor.IsValid() ||
                   !FileSecuritySeam().Write(entry.Get(), path, DACL_SECURITY_INFORMATION, descriptor.Get())) {
            Error("Не удалось установить права доступа к %s: %s", path, GetLastError());
            result = TLockResult::Failed;
        } else if (!FileSecuritySeam().Write(entry.Get(), path, OWNER_SECURITY_INFORMATION, descriptor.Get())) {
            Error("Не удалось назначить владельца %s: %s", path, GetLastError());
            result = TLockResult::Failed;
        }
        return result;
    }

    void RemoveFoundLink(const std::wstring& path) {
        if (RemoveLink(path))
            Messages.push_back({Format("Удалена ссылка %s", {ToAnsi(path)}), LogWarning});
        else
            Error("Не удалось удалить ссылку %s: %s", path, GetLastError());
    }

    // Everything beneath a locked folder inherits its list; links go.
    void LockBeneath(const std::wstring& folder, TFolderKind kind) {
        bool listed = ForEachEntry(folder, L"*", [&](const TTreeEntry& entry) {
            if (entry.IsLink()) {
                RemoveFoundLink(entry.Path);
                return;
            }
            bool isFolder = entry.IsFolder();
            TLockResult result = Lock(entry.Path, kind, isFolder ? TEntryForm::InheritedFolder : TEntryForm::InheritedFile);
            if (result == TLockResult::Link)
                RemoveFoundLink(entry.Path);
            else if (result == TLockResult::Locked && isFolder)
                LockBeneath(entry.Path, kind);
        });
        if (!listed) Error("Не удалось прочитать папку %s: %s", folder, GetLastError());
    }

    // Files\ or Logs\: made when missing, a link in its place removed first.
    void LockServiceFolder(const std::wstring& path, TFolderKind kind) {
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            RemoveFoundLink(path);
            attributes = GetFileAttributesW(path.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES) return;  // still a link: never entered
        }
        if (attributes == INVALID_FILE_ATTRIBUTES && !CreateLockedFolder(path, kind)) {
            Error("Не удалось создать папку %s: %s", path, GetLastError());
            return;
        }
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
        if (Lock(path, kind, TEntryForm::Folder) == TLockResult::Locked) LockBeneath(path, kind);
    }

    void LockProgramFolder(const std::wstring& root) {
        if (Lock(root, TFolderKind::Program, TEntryForm::Folder, true) != TLockResult::Locked) return;
        LockServiceFolder(root + L"\\Files", TFolderKind::Program);
        LockServiceFolder(root + L"\\Logs", TFolderKind::Logs);
        // The files beside the program; links there are the administrator's.
        bool listed = ForEachEntry(root, L"*", [&](const TTreeEntry& entry) {
            if (entry.IsLink() || entry.IsFolder()) return;
            bool hook = CompareStringOrdinal(entry.Name.c_str(), -1, L"Service.dll", -1, TRUE) == CSTR_EQUAL;
            Lock(entry.Path, TFolderKind::Program, hook ? TEntryForm::File : TEntryForm::InheritedFile);
        });
        if (!listed) Error("Не удалось прочитать папку %s: %s", root, GetLastError());
    }

    // The key only when it is there: an empty one would read as proxy
    // settings with a bad port. One that the server object makes later
    // inherits what HKLM\Software gives (the Users read) and is locked at
    // the next start.
    void LockSettingsKey() {
        std::wstring name = ToWide(SettingsKey);
        TSecurityDescriptor descriptor = KeyDescriptor();
        UniqueRegKey key;
        const REGSAM access = READ_CONTROL | WRITE_DAC | WRITE_OWNER | ServiceKeyView;
        LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, name.c_str(), 0, access, key.Out());
        if (rc == ERROR_FILE_NOT_FOUND) return;
        // A list that shuts the service out is passed by the restore right.
        if (rc == ERROR_ACCESS_DENIED)
            rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, name.c_str(), 0, nullptr, REG_OPTION_BACKUP_RESTORE, access,
                                 nullptr, key.Out(), nullptr);
        if (rc == ERROR_SUCCESS && !descriptor.IsValid()) rc = static_cast<LONG>(GetLastError());
        // RegSetKeySecurity, not SetSecurityInfo: Wine's SetSecurityInfo drops
        // the protected mark of a key's list.
        if (rc == ERROR_SUCCESS) rc = RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, descriptor.Get());
        if (rc == ERROR_SUCCESS) rc = RegSetKeySecurity(key.Get(), OWNER_SECURITY_INFORMATION, descriptor.Get());
        if (rc != ERROR_SUCCESS)
            Error("Не удалось установить права доступа к ключу реестра HKLM\\%s: %s", name, static_cast<DWORD>(rc));
    }
};

}  // namespace

bool IsSharedFolder(const std::wstring& folder) {
    wchar_t full[MAX_PATH * 2];
    DWORD n = GetFullPathNameW(folder.c_str(), MAX_PATH * 2, full, nullptr);
    if (n == 0 || n >= MAX_PATH * 2) return true;
    std::wstring path = WithoutTrailingSlash(std::wstring(full, n));
    wchar_t volume[MAX_PATH * 2];
    if (path.size() <= 3 || (GetVolumePathNameW(path.c_str(), volume, MAX_PATH * 2) && SameFolder(volume, path)))
        return true;
    wchar_t windows[MAX_PATH];
    UINT w = GetWindowsDirectoryW(windows, MAX_PATH);
    if (w > 0 && w < MAX_PATH && (SameFolder(windows, path) || IsWithin(path, windows))) return true;
    std::wstring drive = Environment(L"SystemDrive");
    for (const std::wstring& shared :
         {Environment(L"ProgramFiles"), Environment(L"ProgramFiles(x86)"), Environment(L"ProgramW6432"),
          Environment(L"CommonProgramFiles"), Environment(L"CommonProgramFiles(x86)"), Environment(L"ProgramData"),
          Environment(L"PUBLIC"), Environment(L"USERPROFILE"), drive.empty() ? drive : drive + L"\\Users"})
        if (SameFolder(shared, path)) return true;
    return false;
}

TFileSecurityWriter DefaultFileSecurityWriter() { return TFileSecurityWriter{&WriteEntrySecurity}; }

TFileSecurityWriter& FileSecuritySeam() {
    static TFileSecurityWriter writer = DefaultFileSecurityWriter();
    return writer;
}

std::vector<TLockMessage> LockInstallation() {
    TLocker locker;
    TLockPrivileges privileges;
    std::wstring root = WithoutTrailingSlash(ToWide(GetProgramDir()));
    if (IsSharedFolder(root))
        locker.Messages.push_back(
            {Format("Папка программы %s является общей папкой системы: права доступа к ней не изменены",
                    {ToAnsi(root)}),
             LogError});
    else
        locker.LockProgramFolder(root);
    locker.LockSettingsKey();
    return locker.Messages;
}

}  // namespace zel
