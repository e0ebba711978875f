#include "ComCalls.h"

#include <winerror.h>

namespace zel {

bool IsDisconnected(HRESULT hr) {
    switch (static_cast<unsigned long>(hr)) {
    case static_cast<unsigned long>(RPC_E_DISCONNECTED):
    case 0x800706BAul:  // RPC_S_SERVER_UNAVAILABLE
    case 0x800706BEul:  // RPC_S_CALL_FAILED
    case 0x800706BFul:  // RPC_S_CALL_FAILED_DNE
    case static_cast<unsigned long>(CO_E_OBJNOTCONNECTED):
    case static_cast<unsigned long>(RPC_E_SERVER_DIED):
    case static_cast<unsigned long>(RPC_E_SERVER_DIED_DNE):
        return true;
    default:
        return false;
    }
}

}  // namespace zel
