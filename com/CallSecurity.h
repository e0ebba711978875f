// The process-wide COM call security of the service: client applications
// of every account reach the one server object, so every local caller may
// call in; callers are identified, never impersonated.
#pragma once

#include <windows.h>

namespace zel {

// The descriptor handed to the COM security initialisation, in absolute
// form: owner and group the local Administrators, a DACL that grants
// Everyone the right to call locally. Null when it cannot be built. It
// lives as long as the process.
SECURITY_DESCRIPTOR* CallSecurityDescriptor();

// CoInitializeSecurity with that descriptor; its result.
HRESULT InitializeCallSecurity();

}  // namespace zel
