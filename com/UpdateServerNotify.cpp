#include "UpdateServerNotify.h"

#include <oleauto.h>
#include <wrl/client.h>

namespace zel {

const CLSID CLSID_ZELUpdateServerObject = {0xEDD7F5B7, 0xFEBF, 0x434A,
                                           {0x94, 0x37, 0x9D, 0xF5, 0xDD, 0xF2, 0x71, 0x04}};

bool FindRunningServerNotify(IUpdateServerNotify** notify) {
    *notify = nullptr;
    Microsoft::WRL::ComPtr<IUnknown> unknown;
    if (FAILED(GetActiveObject(CLSID_ZELUpdateServerObject, nullptr, unknown.GetAddressOf())) || !unknown) return false;
    HRESULT hr = unknown->QueryInterface(IID_IUpdateServerNotify, reinterpret_cast<void**>(notify));
    if (FAILED(hr)) {
        *notify = nullptr;
        return false;
    }
    return true;
}

}  // namespace zel
