// The update server object's internal interface for event delivery, as the
// running object table gives it to the lower layers of the service process.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "store/UpdateEvents.h"

namespace zel {

// {EDD7F5B7-FEBF-434A-9437-9DF5DDF27104}
extern const CLSID CLSID_ZELUpdateServerObject;

// The running server object's notify interface, found through the running
// object table; false (and null) when there is none. The program hands it
// to SetUpdateServerNotifyFinder.
bool FindRunningServerNotify(IUpdateServerNotify** notify);

}  // namespace zel
