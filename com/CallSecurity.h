// The process-wide COM call security of the service: client applications
// of every account reach the one server object, so every local caller may
// call in; what each caller may do is decided per call (com/Caller.h), and
// no caller's object is unmarshalled by code of the caller's choosing.
#pragma once

#include <windows.h>

namespace zel {

// The descriptor handed to the COM security initialisation, in absolute
// form: owner and group the local Administrators, a DACL that grants
// Everyone the right to call locally. Null when it cannot be built. It
// lives as long as the process.
SECURITY_DESCRIPTOR* CallSecurityDescriptor();

// CoInitializeSecurity with that descriptor, refusing custom marshalling
// (EOAC_NO_CUSTOM_MARSHAL): an object a client hands in (a sink, an
// enumerator) reaches the service only through the standard marshaller,
// never through an unmarshaller class that would be loaded into this
// LocalSystem process. Its result.
HRESULT InitializeCallSecurity();

}  // namespace zel
