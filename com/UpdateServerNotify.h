// The update server object's internal interface for event delivery; used
// only inside the service process (no marshalling).
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace zel {

// {B59F776D-49B1-404B-AA43-B7A978A5FBCA}
extern const IID IID_IUpdateServerNotify;
// {EDD7F5B7-FEBF-434A-9437-9DF5DDF27104}
extern const CLSID CLSID_ZELUpdateServerObject;

struct IUpdateServerNotify : public IUnknown {
    virtual void STDMETHODCALLTYPE EnableEvents() = 0;
    virtual void STDMETHODCALLTYPE DisableEvents() = 0;
    virtual void STDMETHODCALLTYPE FireStart(BSTR ModuleName, BSTR ModuleVersion) = 0;
    virtual bool STDMETHODCALLTYPE FireStartTo(BSTR ModuleName, BSTR ModuleVersion, DWORD Cookie) = 0;
    virtual void STDMETHODCALLTYPE FireProcess(BSTR ModuleName, LONG Process) = 0;
    virtual void STDMETHODCALLTYPE FireDownload(BSTR ModuleName, BSTR ModuleVersion) = 0;
    virtual void STDMETHODCALLTYPE Reserved1(DWORD a, DWORD b) = 0;
    virtual void STDMETHODCALLTYPE Reserved2(DWORD a, DWORD b) = 0;
    virtual void STDMETHODCALLTYPE FireNoUpdates(DWORD Cookie) = 0;
    virtual void STDMETHODCALLTYPE FireException(BSTR Name, BSTR Context, BSTR Text, DWORD Cookie) = 0;
};

// The running server object's notify interface, found through the running
// object table; false (and null) when there is none.
bool GetUpdateServerNotify(IUpdateServerNotify** notify);

}  // namespace zel
