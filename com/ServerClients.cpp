// The clients of the update server object: what it asks a client that
// connects, how many clients of a name there are, and the one way every
// call into clients goes (at the same time, bounded in time, the ones that
// fail or hang dropped).
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ClientCalls.h"
#include "ServerObject.h"
#include "base/ModuleName.h"
#include "download/Downloader.h"
#include "download/InfoQueue.h"
#include "store/ModuleLimit.h"

namespace zel {
namespace server {

// ---- calls into clients

void TUpdateServer::DropHungClient(const TConnection& connection) {
    LogSafe(Format("Клиент %s (dwCoockie: %d) не ответил за %d с, отключаем клиента со стороны сервера",
                   {connection.label.empty() ? std::string("без имени") : LogSafeText(connection.label),
                    connection.cookie, ClientCallTimeoutMs / 1000}),
            LogError);
    if (eventConnectionPoint_) eventConnectionPoint_->UnadviseConnection(connection.cookie, connection.serial);
}

std::vector<TUpdateServer::ClientResult> TUpdateServer::CallClients(const std::vector<TConnection>& connections,
                                                                    const ClientWork& work,
                                                                    const char* errorMessage) {
    std::vector<std::shared_ptr<ClientOutcome>> outcomes;
    TClientCalls calls;
    for (const TConnection& c : connections) {
        auto outcome = std::make_shared<ClientOutcome>();
        outcomes.push_back(outcome);
        // The call owns its references: one that outlives its deadline
        // lets go of them when it ends, on its own thread.
        calls.Start(
            [sink = c.sink, outcome, work] {
                try {
                    work(sink.Get(), *outcome);
                } catch (...) {
                    outcome->failed = true;
                }
            },
            c.owner);
    }
    std::vector<CallState> states = calls.Wait();
    std::vector<ClientResult> results;
    for (size_t i = 0; i < connections.size(); ++i) {
        const bool failed = outcomes[i]->failed;
        if (states[i] == CallState::TimedOut) {
            DropHungClient(connections[i]);
        } else if (states[i] == CallState::Done && failed) {
            if (errorMessage) LogSafe(errorMessage, LogError);
            if (eventConnectionPoint_)
                eventConnectionPoint_->UnadviseConnection(connections[i].cookie, connections[i].serial);
        }
        results.push_back({states[i], outcomes[i]->count, failed});
    }
    return results;
}

// ---- connections

void TUpdateServer::OnClientConnect(IUnknown* sink, bool connecting, DWORD cookie, ULONGLONG serial) {
    try {
        if (!connecting) {
            WriteLog("Отключился клиент", LogDebug);
            WriteLogFmt("dwCoockie: %d", {cookie}, LogTrace);
            return;
        }
        // Inside the client's Advise, before any call back into the client.
        const TCaller caller = CurrentCaller();
        // The client's name and subscription are read by one call bounded
        // in time, as every call into a client is; the service acts on what
        // it read only after it.
        struct Subscription {
            std::optional<std::string> name;  // none: no name given
            bool client = false, subscribed = false;
            std::vector<std::pair<std::string, std::string>> modules;  // name, version as given
            std::string error;
        };
        auto read = std::make_shared<Subscription>();
        ClientWork work = [read](IUnknown* client, ClientOutcome&) {
            try {
                ComPtr<IZELClientInfo> info;
                BStr name;
                if (SUCCEEDED(client->QueryInterface(IID_IZELClientInfo,
                                                     reinterpret_cast<void**>(info.GetAddressOf()))) &&
                    info)
                    info->GetName(name.Out());
                if (name) read->name = Ansi(name);
                ComPtr<IZELUpdateClient> subscriber;
                if (FAILED(client->QueryInterface(IID_IZELUpdateClient,
                                                  reinterpret_cast<void**>(subscriber.GetAddressOf()))) ||
                    !subscriber)
                    return;
                read->client = true;
                ComPtr<IEnumModules> modules;
                if (subscriber->GetModules(modules.GetAddressOf()) != S_OK || !modules) return;
                read->subscribed = true;
                ForEachModule(modules.Get(), [&](BSTR module, BSTR version) {
                    read->modules.emplace_back(Ansi(module), Ansi(version));
                });
            } catch (const std::exception& e) {
                read->error = e.what();
            }
        };
        const TConnection connection{sink, cookie, serial, std::string(), caller.Process};
        if (CallClients({connection}, work, nullptr)[0].state != CallState::Done) return;

        if (read->name) {
            WriteLogFmt("Подключился клиент %s", {LogSafeText(*read->name)}, LogDebug);
            if (eventConnectionPoint_) eventConnectionPoint_->SetLabel(cookie, serial, *read->name);
        } else
            WriteLog("Подключился неопознанный клиент", LogDebug);
        WriteLogFmt("dwCoockie: %d", {cookie}, LogTrace);
        if (!read->client) {
            WriteLog("Интерфейс IZELUpdateEvents2 не поддерживается", LogError);
            return;
        }
        if (!read->subscribed) {
            if (!read->error.empty()) LogSafe(read->error, LogError);
            return;
        }
        WriteLog("Подписался на следующие обновления:", LogDebug);
        // The subscription registers its modules in the name of the
        // client's account; the service's own module is its events'
        // filter only, and an account that cannot be told registers none.
        const TRegistrant who = RegistrantOf(caller);
        if (!caller.Known())
            WriteLogFmt("Модули подписки не регистрируются: вызывающий не опознан (%s)", {caller.Text()}, LogWarning);
        for (const auto& [module, v] : read->modules) {
            std::string m;
            if (CheckModuleName(module, m) == NameCheck::Refused) continue;
            WriteLogFmt("   %s (%s)", {m, LogSafeText(v)}, LogDebug);
            if (!m.empty() && AddQueue && caller.Known() && !IsOwnModule(m) && SUCCEEDED(ReserveModule(m, who.Sid)))
                AddQueue->Add(m, v, "", &who);
        }
        // An enumeration broken off: what it gave stands, the set-up is
        // incomplete.
        if (!read->error.empty()) {
            LogSafe(read->error, LogError);
            return;
        }
        EnableEvents();
        PostDownloaderMessage(WM_MODULESCHANGED, cookie);
    } catch (const std::exception& e) {
        // The connection itself stands; only its set-up is incomplete.
        LogSafe(e.what(), LogError);
    }
}

// ---- IZELService

HRESULT STDMETHODCALLTYPE TUpdateServer::GetClientCount(BSTR wsAppName, ULONG* dwCount) {
    if (!dwCount) return E_POINTER;
    *dwCount = 0;
    return Guarded([&] {
        WriteLogFmt("Клиент запрашивает количество соединений: %s", {Shown(wsAppName)}, LogTrace);
        if (!eventConnectionPoint_) return E_FAIL;
        std::shared_ptr<BStr> wanted = CopyBStr(wsAppName);
        ClientWork work = [wanted](IUnknown* sink, ClientOutcome& outcome) {
            ComPtr<IZELClientInfo> info;
            if (FAILED(Checked(sink->QueryInterface(IID_IZELClientInfo, reinterpret_cast<void**>(info.GetAddressOf())))) ||
                !info)
                return;
            BStr name;
            HRESULT hr = info->GetName(name.Out());
            info.Reset();
            if (hr == S_OK && SameBStr(name, *wanted)) outcome.count = 1;
            Checked(hr);
        };
        ULONG count = 0;
        for (const ClientResult& r : CallClients(eventConnectionPoint_->Connections(), work, nullptr))
            if (r.state == CallState::Done && !r.failed && r.count > 0) ++count;
        *dwCount = count;
        WriteLogFmt("Результат: %d", {count}, LogTrace);
        return S_OK;
    });
}

}  // namespace server
}  // namespace zel
