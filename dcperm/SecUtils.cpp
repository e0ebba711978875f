#include "SecUtils.h"

#include <objbase.h>
#include <sddl.h>

namespace dcperm {

namespace {

constexpr DWORD ErrOutOfMemory = 0x8007000E;
constexpr DWORD AclHeaderSize = 8;
constexpr DWORD AceHeaderAndMask = 8;  // ACE_HEADER + ACCESS_MASK

PSID CopyToTaskMem(PSID sid) {
    DWORD len = GetLengthSid(sid);
    PSID copy = CoTaskMemAlloc(len);
    if (copy && !CopySid(len, copy, sid)) {
        CoTaskMemFree(copy);
        copy = nullptr;
    }
    return copy;
}

// A SID at `p` with at most `avail` bytes behind it.
bool SidFits(const BYTE* p, DWORD avail) {
    if (avail < 8) return false;
    BYTE subCount = p[1];
    if (p[0] != SID_REVISION || subCount > SID_MAX_SUB_AUTHORITIES) return false;
    return 8u + 4u * subCount <= avail;
}

// ACE types laid out as ACCESS_ALLOWED_ACE: header, mask, SID.
bool IsSimpleAce(BYTE type) {
    return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE || type == SYSTEM_AUDIT_ACE_TYPE ||
           type == SYSTEM_ALARM_ACE_TYPE;
}

bool AclFits(const BYTE* acl, DWORD avail) {
    if (avail < AclHeaderSize) return false;
    const ACL* a = reinterpret_cast<const ACL*>(acl);
    if (a->AclSize < AclHeaderSize || a->AclSize > avail) return false;
    DWORD pos = AclHeaderSize;
    for (WORD i = 0; i < a->AceCount; ++i) {
        if (pos + sizeof(ACE_HEADER) > a->AclSize) return false;
        const ACE_HEADER* h = reinterpret_cast<const ACE_HEADER*>(acl + pos);
        if (h->AceSize < sizeof(ACE_HEADER) || pos + h->AceSize > a->AclSize) return false;
        if (IsSimpleAce(h->AceType) &&
            (h->AceSize < AceHeaderAndMask || !SidFits(acl + pos + AceHeaderAndMask, h->AceSize - AceHeaderAndMask)))
            return false;
        pos += h->AceSize;
    }
    return true;
}

struct TAclBuilder {
    PACL acl = nullptr;
    DWORD error = 0;

    bool Create(DWORD size) {
        acl = static_cast<PACL>(CoTaskMemAlloc(size));
        if (!acl) {
            error = ErrOutOfMemory;
            return false;
        }
        if (!InitializeAcl(acl, size, ACL_REVISION)) return Fail();
        return true;
    }
    bool Fail() {
        error = GetLastError();
        if (error == 0) error = ERROR_INVALID_ACL;
        return false;
    }
    // ACEs of the entries of `kind` with an identifier, denied or allowed.
    bool AddEntries(const TPermEntry* list, BYTE kind, bool allow) {
        for (const TPermEntry* e = list; e; e = e->Next) {
            if (e->Kind != kind || e->Delete || e->Allow != allow || !e->Sid) continue;
            BOOL ok = allow ? AddAccessAllowedAce(acl, ACL_REVISION, e->Rights, e->Sid)
                            : AddAccessDeniedAce(acl, ACL_REVISION, e->Rights, e->Sid);
            if (!ok) return Fail();
        }
        return true;
    }
    ~TAclBuilder() {
        if (acl) CoTaskMemFree(acl);
    }
};

TSdResult Failure(DWORD error) {
    TSdResult r;
    r.Ok = false;
    r.Error = error;
    return r;
}

// The self-relative descriptor around `acl`.
TSdResult MakeDescriptor(PACL acl, PSID owner) {
    SECURITY_DESCRIPTOR abs;
    if (!InitializeSecurityDescriptor(&abs, SECURITY_DESCRIPTOR_REVISION)) return Failure(GetLastError());
    if (owner && (!SetSecurityDescriptorOwner(&abs, owner, FALSE) || !SetSecurityDescriptorGroup(&abs, owner, FALSE)))
        return Failure(GetLastError());
    if (!SetSecurityDescriptorDacl(&abs, TRUE, acl, FALSE)) return Failure(GetLastError());
    DWORD size = 0;
    MakeSelfRelativeSD(&abs, nullptr, &size);
    if (size == 0) return Failure(GetLastError());
    auto sd = static_cast<PSECURITY_DESCRIPTOR>(CoTaskMemAlloc(size));
    if (!sd) return Failure(ErrOutOfMemory);
    if (!MakeSelfRelativeSD(&abs, sd, &size)) {
        DWORD e = GetLastError();
        CoTaskMemFree(sd);
        return Failure(e);
    }
    TSdResult r;
    r.Sd = sd;
    r.Size = size;
    return r;
}

}  // namespace

PSID AccountNameToSid(const std::string& name) {
    BYTE sid[256];
    char domain[256];
    DWORD sidSize = sizeof sid, domainSize = sizeof domain;
    SID_NAME_USE use;
    if (name.empty() || name.find('\0') != std::string::npos) return nullptr;
    if (!LookupAccountNameA(nullptr, name.c_str(), sid, &sidSize, domain, &domainSize, &use)) return nullptr;
    return CopyToTaskMem(sid);
}

PSID StringToSid(const std::string& text) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidA(text.c_str(), &sid)) return nullptr;
    PSID copy = CopyToTaskMem(sid);
    LocalFree(sid);
    return copy;
}

bool IsValidSelfRelativeSD(const void* data, DWORD size) {
    const BYTE* p = static_cast<const BYTE*>(data);
    if (!p || size < sizeof(SECURITY_DESCRIPTOR_RELATIVE)) return false;
    const auto* sd = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(data);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION || !(sd->Control & SE_SELF_RELATIVE)) return false;
    const DWORD hdr = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    auto inside = [&](DWORD off) { return off >= hdr && off < size; };
    if (sd->Owner && (!inside(sd->Owner) || !SidFits(p + sd->Owner, size - sd->Owner))) return false;
    if (sd->Group && (!inside(sd->Group) || !SidFits(p + sd->Group, size - sd->Group))) return false;
    if ((sd->Control & SE_DACL_PRESENT) && sd->Dacl &&
        (!inside(sd->Dacl) || !AclFits(p + sd->Dacl, size - sd->Dacl)))
        return false;
    if ((sd->Control & SE_SACL_PRESENT) && sd->Sacl &&
        (!inside(sd->Sacl) || !AclFits(p + sd->Sacl, size - sd->Sacl)))
        return false;
    return IsValidSecurityDescriptor(const_cast<BYTE*>(p)) != FALSE;
}

TSdResult BuildSecurityDescriptor(const TPermEntry* entries, BYTE kind, PSID owner) {
    DWORD count = 0, size = AclHeaderSize;
    for (const TPermEntry* e = entries; e; e = e->Next) {
        if (e->Kind != kind) continue;
        ++count;
        size += AceHeaderAndMask + (e->Sid ? GetLengthSid(e->Sid) : 0);
    }
    if (count == 0) return TSdResult();
    TAclBuilder b;
    if (!b.Create(size) || !b.AddEntries(entries, kind, false) || !b.AddEntries(entries, kind, true))
        return Failure(b.error);
    return MakeDescriptor(b.acl, owner);
}

TSdResult EditSecurityDescriptor(const TPermEntry* entries, BYTE kind, PSECURITY_DESCRIPTOR existing, PSID owner) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL old = nullptr;
    if (!GetSecurityDescriptorDacl(existing, &present, &old, &defaulted)) return Failure(GetLastError());
    if (!present) old = nullptr;

    DWORD oldCount = 0, size = 0, count = 0;
    if (old) {
        for (const TPermEntry* e = entries; e; e = e->Next) {
            if (e->Kind != kind || !e->Sid) continue;
            for (int i = static_cast<int>(old->AceCount) - 1; i >= 0; --i) {
                ACE_HEADER* h = nullptr;
                if (!GetAce(old, i, reinterpret_cast<void**>(&h))) return Failure(GetLastError());
                bool typeMatches = e->Allow ? h->AceType == ACCESS_ALLOWED_ACE_TYPE : h->AceType != ACCESS_ALLOWED_ACE_TYPE;
                if (!typeMatches || !IsSimpleAce(h->AceType)) continue;
                PSID aceSid = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(h)->SidStart;
                if (EqualSid(aceSid, e->Sid) && !DeleteAce(old, i)) return Failure(GetLastError());
            }
        }
        ACL_SIZE_INFORMATION info;
        if (!GetAclInformation(old, &info, sizeof info, AclSizeInformation)) return Failure(GetLastError());
        oldCount = info.AceCount;
        size = info.AclBytesInUse;
    } else {
        size = AclHeaderSize;
    }
    for (const TPermEntry* e = entries; e; e = e->Next) {
        if (e->Kind != kind) continue;
        ++count;
        size += AceHeaderAndMask + (e->Sid ? GetLengthSid(e->Sid) : 0);
    }
    if (oldCount + count == 0) return TSdResult();

    TAclBuilder b;
    if (!b.Create(size)) return Failure(b.error);
    auto copyOld = [&](BYTE type) {
        for (DWORD i = 0; i < oldCount; ++i) {
            ACE_HEADER* h = nullptr;
            if (!GetAce(old, i, reinterpret_cast<void**>(&h))) return b.Fail();
            if (h->AceType == type && !AddAce(b.acl, ACL_REVISION, MAXDWORD, h, h->AceSize)) return b.Fail();
        }
        return true;
    };
    if (!copyOld(ACCESS_DENIED_ACE_TYPE) || !b.AddEntries(entries, kind, false) || !copyOld(ACCESS_ALLOWED_ACE_TYPE) ||
        !b.AddEntries(entries, kind, true))
        return Failure(b.error);
    return MakeDescriptor(b.acl, owner);
}

}  // namespace dcperm
