// Security identifiers and the self-relative descriptors of the DCOM
// permission values. Everything handed out is task memory (CoTaskMemAlloc);
// the receiver frees it with CoTaskMemFree.
#pragma once

#include <windows.h>

#include <string>

#include "untParser.h"

namespace dcperm {

// The local account lookup; nullptr when the name is unknown.
PSID AccountNameToSid(const std::string& name);
// The platform's text-to-SID conversion ("S-1-1-0"); nullptr on failure.
PSID StringToSid(const std::string& text);

// True when `data` of `size` bytes is a self-relative descriptor whose
// owner, group and ACLs all lie inside the buffer.
bool IsValidSelfRelativeSD(const void* data, DWORD size);

// The outcome of building a permission value: `Sd` is the new self-relative
// descriptor (or nullptr when the value is to be deleted); on failure `Ok`
// is false and `Error` holds the system error code.
struct TSdResult {
    PSECURITY_DESCRIPTOR Sd = nullptr;
    DWORD Size = 0;
    bool Ok = true;
    DWORD Error = 0;
};

// Rewrite mode: a DACL with the denied ACEs of the entries of `kind`
// followed by the allowed ones, both in list order. `owner` (may be null)
// becomes owner and primary group.
TSdResult BuildSecurityDescriptor(const TPermEntry* entries, BYTE kind, PSID owner);

// Edit mode: the ACEs of `existing` that match an entry of `kind` are
// removed; the result holds the old denied ACEs, the entries' denied ACEs,
// the old allowed ACEs and the entries' allowed ACEs, in that order.
// `existing` must have passed IsValidSelfRelativeSD.
TSdResult EditSecurityDescriptor(const TPermEntry* entries, BYTE kind, PSECURITY_DESCRIPTOR existing,
                                 PSID owner);

}  // namespace dcperm
