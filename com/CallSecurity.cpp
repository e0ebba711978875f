#include "CallSecurity.h"

#include <objbase.h>

namespace zel {

SECURITY_DESCRIPTOR* CallSecurityDescriptor() {
    static struct Holder {
        DWORD admins[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
        DWORD world[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
        DWORD acl[64];
        SECURITY_DESCRIPTOR sd;
        bool ok = false;
        Holder() {
            DWORD adminsSize = sizeof admins, worldSize = sizeof world;
            ACL* dacl = reinterpret_cast<ACL*>(acl);
            ok = CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &adminsSize) &&
                 CreateWellKnownSid(WinWorldSid, nullptr, world, &worldSize) &&
                 InitializeAcl(dacl, sizeof acl, ACL_REVISION) &&
                 AddAccessAllowedAce(dacl, ACL_REVISION, COM_RIGHTS_EXECUTE | COM_RIGHTS_EXECUTE_LOCAL, world) &&
                 InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) &&
                 SetSecurityDescriptorOwner(&sd, admins, FALSE) && SetSecurityDescriptorGroup(&sd, admins, FALSE) &&
                 SetSecurityDescriptorDacl(&sd, TRUE, dacl, FALSE) && IsValidSecurityDescriptor(&sd);
        }
    } holder;
    return holder.ok ? &holder.sd : nullptr;
}

// Wine's CoInitializeSecurity is a stub that answers S_OK: under Wine
// neither the descriptor nor the capabilities are enforced.
HRESULT InitializeCallSecurity() {
    SECURITY_DESCRIPTOR* sd = CallSecurityDescriptor();
    if (!sd) return HRESULT_FROM_WIN32(ERROR_INVALID_SECURITY_DESCR);
    return CoInitializeSecurity(sd, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IDENTIFY,
                                nullptr, EOAC_NO_CUSTOM_MARSHAL, nullptr);
}

}  // namespace zel
