// Event delivery of the update server object: every Fire operation calls
// the chosen clients at the same time and bounded in time.
#include <atomic>
#include <memory>
#include <vector>

#include "ClientCalls.h"
#include "ServerObject.h"
#include "base/ModuleName.h"

namespace zel {
namespace server {

// ---- IUpdateServerNotify

void STDMETHODCALLTYPE TUpdateServer::EnableEvents() {
    LogSafe("Включаем оповещение о событиях", LogDebug);
    eventsEnabled_ = true;
}

void STDMETHODCALLTYPE TUpdateServer::DisableEvents() {
    LogSafe("Выключаем оповещение о событиях", LogDebug);
    eventsEnabled_ = false;
}

// Delivers one event to the chosen connections; returns the number of
// event calls made. A client whose call failed or did not return is
// unadvised (that very connection).
int TUpdateServer::Deliver(const Delivery& d, const EventCall& call) {
    int delivered = 0;
    bool locked = false;
    if (d.holdMutex && eventMutex_) {
        DWORD wait = WaitForSingleObject(eventMutex_, INFINITE);
        locked = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    try {
        if (eventsEnabled_ && eventConnectionPoint_) {
            std::vector<TConnection> targets;
            for (TConnection& c : eventConnectionPoint_->Connections())
                if (!d.targeted || (d.allWhenZero && d.cookie == 0) || c.cookie == d.cookie)
                    targets.push_back(std::move(c));
            const ULONG maskBits = d.maskBits;
            const bool bySubscription = d.bySubscription;
            const std::shared_ptr<BStr> module = d.module;
            ClientWork work = [call, maskBits, bySubscription, module](IUnknown* sink, ClientOutcome& outcome) {
                ComPtr<IZELUpdateEvents2> events;
                ComPtr<IZELUpdateClient> client;
                ComPtr<IEnumModules> modules;
                if (FAILED(Checked(sink->QueryInterface(IID_IZELUpdateEvents2,
                                                        reinterpret_cast<void**>(events.GetAddressOf())))) ||
                    !events)
                    return;
                if (bySubscription &&
                    (FAILED(Checked(sink->QueryInterface(IID_IZELUpdateClient,
                                                         reinterpret_cast<void**>(client.GetAddressOf())))) ||
                     !client))
                    return;
                ULONG mask = 0;
                if (FAILED(Checked(events->GetEventTypes(&mask)))) mask = 0;
                if (!(mask & maskBits)) return;
                if (!bySubscription) {
                    Checked(call(events.Get()));
                    ++outcome.count;
                    return;
                }
                if (Checked(client->GetModules(modules.GetAddressOf())) == S_OK && modules)
                    Checked(ForEachModule(modules.Get(), [&](BSTR name, BSTR) {
                        // A subscription names its module in any letter case.
                        if (SameModuleName(Ansi(name), Ansi(*module))) {
                            Checked(call(events.Get()));
                            ++outcome.count;
                        }
                    }));
            };
            for (const ClientResult& r : CallClients(targets, work, d.errorMessage))
                if (r.state == CallState::Done) delivered += r.count;
        }
    } catch (...) {
    }
    if (locked) ReleaseMutex(eventMutex_);
    return delivered;
}

void STDMETHODCALLTYPE TUpdateServer::FireStart(BSTR ModuleName, BSTR ModuleVersion) {
    auto name = CopyBStr(ModuleName), version = CopyBStr(ModuleVersion);
    Deliver(Delivery::ToSubscribers("Ошибка при вызове события OnStart, отключаем клиента со стороны сервера",
                                    EVT_START, name),
            [name, version](IZELUpdateEvents2* e) { return e->OnStart(*name, *version); });
}

bool STDMETHODCALLTYPE TUpdateServer::FireStartTo(BSTR ModuleName, BSTR ModuleVersion, DWORD Cookie) {
    auto name = CopyBStr(ModuleName), version = CopyBStr(ModuleVersion);
    return Deliver(Delivery::ToConnection("Ошибка при вызове событий, отключаем клиента со стороны сервера", Cookie,
                                          EVT_START | EVT_NOUPDATES),
                   [name, version](IZELUpdateEvents2* e) { return e->OnStart(*name, *version); }) > 0;
}

void STDMETHODCALLTYPE TUpdateServer::FireProcess(BSTR ModuleName, LONG Process) {
    auto name = CopyBStr(ModuleName);
    Deliver(Delivery::ToSubscribers("Ошибка при вызове события OnProcess, отключаем клиента со стороны сервера",
                                    EVT_PROCESS, name),
            [name, Process](IZELUpdateEvents2* e) { return e->OnProcess(*name, Process); });
}

void STDMETHODCALLTYPE TUpdateServer::FireDownload(BSTR ModuleName, BSTR ModuleVersion) {
    auto name = CopyBStr(ModuleName), version = CopyBStr(ModuleVersion);
    Deliver(Delivery::ToSubscribers("Ошибка при вызове события OnDownload, отключаем клиента со стороны сервера",
                                    EVT_DOWNLOAD, name),
            [name, version](IZELUpdateEvents2* e) { return e->OnDownload(*name, *version); });
}

void STDMETHODCALLTYPE TUpdateServer::FireNoUpdates(DWORD Cookie) {
    Deliver(Delivery::ToConnection("Ошибка при вызове события OnNoUpdates, отключаем клиента со стороны сервера",
                                   Cookie, EVT_NOUPDATES),
            [](IZELUpdateEvents2* e) { return e->OnNoUpdates(); });
}

void STDMETHODCALLTYPE TUpdateServer::FireException(BSTR Name, BSTR Context, BSTR Text, DWORD Cookie) {
    auto name = CopyBStr(Name), context = CopyBStr(Context), text = CopyBStr(Text);
    Deliver(Delivery::ToConnectionOrAll("Ошибка при вызове события OnException, отключаем клиента со стороны сервера",
                                        Cookie, EVT_EXCEPTION),
            [name, context, text](IZELUpdateEvents2* e) { return e->OnException(*name, *context, *text); });
}

}  // namespace server
}  // namespace zel
