// Stand-in for <oaidl.h>: IUnknown and BSTR, for the interfaces that the
// units' headers declare. Nothing here marshals or counts for the objects.
#pragma once

#include <windows.h>

using BSTR = wchar_t*;
using REFIID = const IID&;

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
    virtual ~IUnknown() = default;
};
