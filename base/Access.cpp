#include "Access.h"

#include <sddl.h>

#include "Owners.h"

namespace zel {

namespace {

// A well-known SID in a buffer of its own.
std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) return std::vector<BYTE>();
    sid.resize(size);
    return sid;
}

PSID AsSid(std::vector<BYTE>& sid) { return sid.empty() ? nullptr : sid.data(); }

BYTE InheritanceFlags(TEntryForm form) {
    switch (form) {
    case TEntryForm::Folder:
        return OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    case TEntryForm::InheritedFolder:
        return OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERITED_ACE;
    case TEntryForm::InheritedFile:
        return INHERITED_ACE;
    case TEntryForm::File:
        break;
    }
    return 0;
}

bool IsInherited(TEntryForm form) {
    return form == TEntryForm::InheritedFolder || form == TEntryForm::InheritedFile;
}

}  // namespace

// The SIDs the entries name are kept here too: an absolute descriptor only
// points at its parts.
struct TSecurityDescriptor::Data {
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
    std::vector<std::vector<BYTE>> sids;
    std::vector<BYTE> acl;
    bool valid = false;
};

TSecurityDescriptor::TSecurityDescriptor() : data_(new Data) {
    ZeroMemory(&data_->descriptor, sizeof(data_->descriptor));
    // Room for a handful of entries of the largest SIDs.
    data_->acl.resize(sizeof(ACL) + 8 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE));
    data_->valid = InitializeAcl(reinterpret_cast<PACL>(data_->acl.data()), static_cast<DWORD>(data_->acl.size()),
                                 ACL_REVISION) &&
                   InitializeSecurityDescriptor(&data_->descriptor, SECURITY_DESCRIPTOR_REVISION);
}

TSecurityDescriptor::~TSecurityDescriptor() = default;
TSecurityDescriptor::TSecurityDescriptor(TSecurityDescriptor&&) noexcept = default;
TSecurityDescriptor& TSecurityDescriptor::operator=(TSecurityDescriptor&&) noexcept = default;

bool TSecurityDescriptor::IsValid() const { return data_ && data_->valid; }

PSECURITY_DESCRIPTOR TSecurityDescriptor::Get() const { return data_ ? &data_->descriptor : nullptr; }

SECURITY_ATTRIBUTES* TSecurityDescriptor::Attributes() {
    data_->attributes.nLength = sizeof(data_->attributes);
    data_->attributes.lpSecurityDescriptor = &data_->descriptor;
    data_->attributes.bInheritHandle = FALSE;
    return &data_->attributes;
}

bool TSecurityDescriptor::AddAllowed(PSID sid, DWORD mask, BYTE flags) {
    if (!IsValid()) return false;
    if (!sid || !IsValidSid(sid)) {
        data_->valid = false;
        SetLastError(ERROR_INVALID_SID);
        return false;
    }
    data_->sids.emplace_back(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
    data_->valid = AddAccessAllowedAceEx(reinterpret_cast<PACL>(data_->acl.data()), ACL_REVISION, flags, mask,
                                         data_->sids.back().data()) != FALSE;
    return data_->valid;
}

bool TSecurityDescriptor::Finish(PSID owner, SECURITY_DESCRIPTOR_CONTROL control) {
    if (!IsValid()) return false;
    if (owner) {
        data_->sids.emplace_back(static_cast<BYTE*>(owner), static_cast<BYTE*>(owner) + GetLengthSid(owner));
        if (!SetSecurityDescriptorOwner(&data_->descriptor, data_->sids.back().data(), FALSE))
            return data_->valid = false;
    }
    // The protected and auto-inherited marks travel in the descriptor's
    // control bits: the low-level calls that set it take them from there.
    const SECURITY_DESCRIPTOR_CONTROL mask = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
    data_->valid = SetSecurityDescriptorDacl(&data_->descriptor, TRUE, reinterpret_cast<PACL>(data_->acl.data()),
                                             FALSE) &&
                   SetSecurityDescriptorControl(&data_->descriptor, mask, control & mask);
    return data_->valid;
}

TSecurityDescriptor FileDescriptor(TFolderKind kind, TEntryForm form) {
    std::vector<BYTE> system = WellKnownSid(WinLocalSystemSid);
    std::vector<BYTE> admins = WellKnownSid(WinBuiltinAdministratorsSid);
    std::vector<BYTE> users = WellKnownSid(WinBuiltinUsersSid);
    BYTE flags = InheritanceFlags(form);
    TSecurityDescriptor d;
    d.AddAllowed(AsSid(system), FileFullControl, flags);
    d.AddAllowed(AsSid(admins), FileFullControl, flags);
    if (kind == TFolderKind::Program) d.AddAllowed(AsSid(users), FileReadExecute, flags);
    d.Finish(AsSid(admins), IsInherited(form) ? SE_DACL_AUTO_INHERITED : SE_DACL_PROTECTED);
    return d;
}

TSecurityDescriptor KeyDescriptor() {
    std::vector<BYTE> system = WellKnownSid(WinLocalSystemSid);
    std::vector<BYTE> admins = WellKnownSid(WinBuiltinAdministratorsSid);
    std::vector<BYTE> users = WellKnownSid(WinBuiltinUsersSid);
    TSecurityDescriptor d;
    d.AddAllowed(AsSid(system), KEY_ALL_ACCESS, CONTAINER_INHERIT_ACE);
    d.AddAllowed(AsSid(admins), KEY_ALL_ACCESS, CONTAINER_INHERIT_ACE);
    d.AddAllowed(AsSid(users), KEY_READ, CONTAINER_INHERIT_ACE);
    d.Finish(AsSid(admins), SE_DACL_PROTECTED);
    return d;
}

TSecurityDescriptor MonitorEventDescriptor(PSID user) {
    std::vector<BYTE> system = WellKnownSid(WinLocalSystemSid);
    TSecurityDescriptor d;
    d.AddAllowed(AsSid(system), EVENT_ALL_ACCESS, 0);
    d.AddAllowed(user, SYNCHRONIZE, 0);
    d.Finish(nullptr, SE_DACL_PROTECTED);
    return d;
}

TSecurityDescriptor HookBlockDescriptor(PSID user) {
    TSecurityDescriptor d;
    d.AddAllowed(user, SECTION_QUERY | SECTION_MAP_READ | SECTION_MAP_WRITE, 0);
    d.Finish(nullptr, SE_DACL_PROTECTED);
    return d;
}

std::vector<BYTE> TokenUserSid(HANDLE token) {
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) return std::vector<BYTE>();
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return std::vector<BYTE>();
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    if (!IsValidSid(sid)) return std::vector<BYTE>();
    return std::vector<BYTE>(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
}

std::string TokenSid(HANDLE token) {
    std::vector<BYTE> sid = TokenUserSid(token);
    LocalMemory<char> text;
    if (sid.empty() || !ConvertSidToStringSidA(sid.data(), text.Out())) return std::string();
    return text.Get();
}

bool CreateLockedFolder(const std::wstring& path, TFolderKind kind) {
    TSecurityDescriptor d = FileDescriptor(kind, TEntryForm::Folder);
    if (!d.IsValid()) return false;
    std::wstring wide = path;
    while (wide.size() > 3 && wide.back() == L'\\') wide.pop_back();
    return CreateDirectoryW(wide.c_str(), d.Attributes()) != FALSE;
}

}  // namespace zel
