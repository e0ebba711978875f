// The interfaces the service hands out stay registered with the RPC runtime
// for the whole run.
//
// Why: when the last object of an interface goes in this process (a client
// let go of it), Wine's COM unregisters the interface and waits for its
// calls to end while it holds the process's registration lock. A call that
// ends at that very moment is missed (the count is lowered before the wait
// is set up), and the wait never ends; from then on every interface the
// process hands out for the first time waits for that lock. Seen: a client
// that lets go of the class factory right after CreateInstance, as
// CoCreateInstance does, left the scheduler waiting in the next job's
// SetNotifyInterface and every later client in CoCreateInstance. One
// table-strong marshal of each interface, kept until the stop, means the
// last object of an interface never goes while the service runs.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace zel {

// Marshals `object`'s interface `iid` table-strong and keeps it; false when
// COM refused (the interface is then left to COM as before).
bool KeepInterfaceRegistered(IUnknown* object, REFIID iid);

// At the stop, once no client is served: disconnects every kept object
// (which unregisters without waiting) and lets go of it.
void ReleaseKeptInterfaces();

}  // namespace zel
