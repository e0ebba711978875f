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

void TUpdateServer::DropHungClient(const TConnection& connection) {
    LogSafe(Format("Клиент %s (dwCoockie: %d) не ответил за %d с, отключаем клиента со стороны сервера",
                   {connection.label.empty() ? std::string("без имени") : LogSafeText(connection.label),
                    connection.cookie, ClientCallTimeoutMs / 1000}),
            LogError);
    if (eventConnectionPoint_) eventConnectionPoint_->UnadviseConnection(connection.cookie, connection.serial);
}

// Delivers one event to the chosen connections; returns the number of
// event calls made. The clients are called at the same time, each on a
// worker of its own, and waited for at most ClientCallTimeoutMs; a client
// whose call failed or did not return is unadvised (that very connection).
int TUpdateServer::Deliver(const Delivery& d, const EventCall& call) {
    struct Outcome {
        std::atomic<int> delivered{0};
        std::atomic<bool> failed{false};
    };
    int delivered = 0;
    bool locked = false;
    if (d.holdMutex && eventMutex_) {
        DWORD wait = WaitForSingleObject(eventMutex_, INFINITE);
        locked = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    try {
        if (eventsEnabled_ && eventConnectionPoint_) {
            std::vector<TConnection> targets;
            for (TConnection& c : eventConnectionPoint_->Connections()) {
                if (d.targeted && !(d.allWhenZero && d.cookie == 0) && c.cookie != d.cookie)
                    c.sink->Release();
                else
                    targets.push_back(c);
            }
            std::vector<std::shared_ptr<Outcome>> outcomes;
            TClientCalls calls;
            const ULONG maskBits = d.maskBits;
            const bool bySubscription = d.bySubscription;
            const std::shared_ptr<BStr> module = d.module;
            for (const TConnection& c : targets) {
                auto outcome = std::make_shared<Outcome>();
                outcomes.push_back(outcome);
                std::shared_ptr<IUnknown> sink = Shared(c.sink);
                calls.Start([sink, outcome, call, maskBits, bySubscription, module] {
                    IZELUpdateEvents2* events = nullptr;
                    IZELUpdateClient* client = nullptr;
                    IEnumModules* modules = nullptr;
                    try {
                        if (SUCCEEDED(Checked(sink->QueryInterface(IID_IZELUpdateEvents2,
                                                                   reinterpret_cast<void**>(&events)))) &&
                            events &&
                            (!bySubscription ||
                             (SUCCEEDED(Checked(sink->QueryInterface(IID_IZELUpdateClient,
                                                                     reinterpret_cast<void**>(&client)))) &&
                              client))) {
                            ULONG mask = 0;
                            if (FAILED(Checked(events->GetEventTypes(&mask)))) mask = 0;
                            if (mask & maskBits) {
                                if (bySubscription) {
                                    if (Checked(client->GetModules(&modules)) == S_OK && modules)
                                        Checked(ForEachModule(modules, [&](BSTR name, BSTR) {
                                            // A subscription names its module in any letter case.
                                            if (SameModuleName(Ansi(name), Ansi(*module))) {
                                                Checked(call(events));
                                                ++outcome->delivered;
                                            }
                                        }));
                                } else {
                                    Checked(call(events));
                                    ++outcome->delivered;
                                }
                            }
                        }
                    } catch (...) {
                        outcome->failed = true;
                    }
                    ReleaseNull(modules);
                    ReleaseNull(client);
                    ReleaseNull(events);
                }, c.owner);
            }
            std::vector<CallState> states = calls.Wait();
            for (size_t i = 0; i < targets.size(); ++i) {
                if (states[i] == CallState::TimedOut) {
                    DropHungClient(targets[i]);
                } else if (states[i] == CallState::Done) {
                    delivered += outcomes[i]->delivered;
                    if (outcomes[i]->failed) {
                        LogSafe(d.errorMessage, LogError);
                        eventConnectionPoint_->UnadviseConnection(targets[i].cookie, targets[i].serial);
                    }
                }
                targets[i].sink->Release();
            }
        }
    } catch (...) {
    }
    if (locked) ReleaseMutex(eventMutex_);
    return delivered;
}

void STDMETHODCALLTYPE TUpdateServer::FireStart(BSTR ModuleName, BSTR ModuleVersion) {
    auto name = CopyBStr(ModuleName), version = CopyBStr(ModuleVersion);
    Deliver({"Ошибка при вызове события OnStart, отключаем клиента со стороны сервера", true, false, 0, false,
             EVT_START, true, name},
            [name, version](IZELUpdateEvents2* e) { return e->OnStart(*name, *version); });
}

bool STDMETHODCALLTYPE TUpdateServer::FireStartTo(BSTR ModuleName, BSTR ModuleVersion, DWORD Cookie) {
    auto name = CopyBStr(ModuleName), version = CopyBStr(ModuleVersion);
    return Deliver({"Ошибка при вызове событий, отключаем клиента со стороны сервера", false, true, Cookie, false,
                    EVT_START | EVT_NOUPDATES, false, nullptr},
                   [name, version](IZELUpdateEvents2* e) { return e->OnStart(*name, *version); }) > 0;
}

void STDMETHODCALLTYPE TUpdateServer::FireProcess(BSTR ModuleName, LONG Process) {
    auto name = CopyBStr(ModuleName);
    Deliver({"Ошибка при вызове события OnProcess, отключаем клиента со стороны сервера", true, false, 0, false,
             EVT_PROCESS, true, name},
            [name, Process](IZELUpdateEvents2* e) { return e->OnProcess(*name, Process); });
}

void STDMETHODCALLTYPE TUpdateServer::FireDownload(BSTR ModuleName, BSTR ModuleVersion) {
    auto name = CopyBStr(ModuleName), version = CopyBStr(ModuleVersion);
    Deliver({"Ошибка при вызове события OnDownload, отключаем клиента со стороны сервера", true, false, 0, false,
             EVT_DOWNLOAD, true, name},
            [name, version](IZELUpdateEvents2* e) { return e->OnDownload(*name, *version); });
}

void STDMETHODCALLTYPE TUpdateServer::FireNoUpdates(DWORD Cookie) {
    Deliver({"Ошибка при вызове события OnNoUpdates, отключаем клиента со стороны сервера", false, true, Cookie,
             false, EVT_NOUPDATES, false, nullptr},
            [](IZELUpdateEvents2* e) { return e->OnNoUpdates(); });
}

void STDMETHODCALLTYPE TUpdateServer::FireException(BSTR Name, BSTR Context, BSTR Text, DWORD Cookie) {
    auto name = CopyBStr(Name), context = CopyBStr(Context), text = CopyBStr(Text);
    Deliver({"Ошибка при вызове события OnException, отключаем клиента со стороны сервера", true, true, Cookie,
             true, EVT_EXCEPTION, false, nullptr},
            [name, context, text](IZELUpdateEvents2* e) { return e->OnException(*name, *context, *text); });
}

}  // namespace server
}  // namespace zel
