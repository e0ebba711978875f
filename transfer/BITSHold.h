// One reference to each kind of BITS object the service walks through,
// held for the whole run.
//
// Why: Wine's COM unregisters an interface in the process that serves it
// when that process's last object of the interface goes, and can then wait
// for ever with its registration lock held (see com/KeptInterfaces.h): in
// BITS's process that is what a client's CoCreateInstance does to the class
// factory, and what the end of every walk does to the job enumerator. BITS
// then answers nobody any more. While this process holds one of each, they
// are never the last.
#pragma once

namespace zel {

// On a thread of the multithreaded apartment, once COM is up; false when
// BITS could not be reached (the calls later connect as before).
bool HoldBITSObjects();
// Before COM goes down.
void ReleaseBITSObjects();

}  // namespace zel
