// The events the scheduler and the download callbacks send to the clients,
// and where they find the object that delivers them. The COM server
// implements the interface; the program unit tells this layer how to find
// the running server object, so nothing below the server depends on it.
// Used only inside the service process (no marshalling).
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace zel {

// {B59F776D-49B1-404B-AA43-B7A978A5FBCA}
extern const IID IID_IUpdateServerNotify;

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

// Finds the running server object's notify interface (a reference the
// caller releases); false (and null) when there is none.
using TNotifyFinder = bool (*)(IUpdateServerNotify** notify);

// Set by the program at process start, cleared at its end; without a
// finder no events are sent.
void SetUpdateServerNotifyFinder(TNotifyFinder finder);

// The running server object's notify interface through the finder; false
// (and null) when there is none.
bool GetUpdateServerNotify(IUpdateServerNotify** notify);

}  // namespace zel
