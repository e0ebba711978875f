// zelctl: command-line client of the update service's COM server
// ZELUpdate.ZELUpdateServer. Every command creates the server object (COM
// starts the service when it is stopped), makes one or a few calls and
// prints the outcome in UTF-8, one line per item; `watch` advises an event
// sink and prints the events as they arrive. Run `zelctl --help`.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <string>
#include <utility>
#include <vector>

#include "Zelctl.h"
#include "base/BStr.h"
#include "base/Text.h"
#include "config/Status.h"
#include "install/zel_processes.h"

using namespace zelctl;

namespace {

using zel::BStr;

const wchar_t* const HelpText =
    L"zelctl - client of the update service ZELUpdate (COM server ZELUpdate.ZELUpdateServer)\n"
    L"\n"
    L"Usage: zelctl <command> [arguments]\n"
    L"\n"
    L"Commands:\n"
    L"  add <module> <version>          register a module with its installed version\n"
    L"  remove <module>                 unregister a module\n"
    L"  check [cookie]                  ask for an update check now\n"
    L"  checkmodule <module> <version>  ask for a downloaded version newer than <version>;\n"
    L"                                  prints the result code and the version\n"
    L"  install <pid> <restart> <module>=<version>...\n"
    L"                                  install the downloaded updates once process <pid>\n"
    L"                                  has ended; restart 0 starts it again, 1 does not;\n"
    L"                                  <pid> may be self or parent (the service takes only\n"
    L"                                  the calling process or its parent)\n"
    L"  getproxy                        print the proxy settings\n"
    L"  setproxy <addr> <port> <user> <password>\n"
    L"                                  store the proxy settings (empty address: no proxy)\n"
    L"  version                         print the service's version\n"
    L"  checkversion <version>          S_OK when the service is at least <version>,\n"
    L"                                  S_FALSE when <version> is newer\n"
    L"  jobstate <module>               state of the module's download job\n"
    L"  jobprogress <module>            progress of the module's download job, percent\n"
    L"  calls <module> <version> [rounds]\n"
    L"                                  time GetVersion, GetState(<module>) and\n"
    L"                                  CheckModule(<module>, <version>) on one connection,\n"
    L"                                  rounds times (default 3): one line \"<method> <ms>\n"
    L"                                  <code>\" per call\n"
    L"  resume|suspend|cancel <module>  control the module's download job\n"
    L"  clients <appname>               number of connected clients named <appname>\n"
    L"  connections                     cookies of this process's connections (none: no line)\n"
    L"  unadvise <cookie>               end a connection (only one of this process)\n"
    L"  watch [options]                 advise an event sink and print every event\n"
    L"  status [--json]                 the service's last check, its settings in force with\n"
    L"                                  their sources (policy, .config, registry, default)\n"
    L"                                  and its modules, read from the registry\n"
    L"\n"
    L"Options of watch:\n"
    L"  --name N               client name given to the service (default zelctl)\n"
    L"  --mask M               event mask, decimal or 0x hex (default 0x1F: all);\n"
    L"                         1 start, 2 no updates, 4 exception, 8 download, 16 process\n"
    L"  --modules m=v,...      modules subscribed to, with their installed versions\n"
    L"  --modules-file FILE    more modules, one m=v per line (UTF-8)\n"
    L"  --seconds S            end after S seconds (default: run until stopped)\n"
    L"  --exit-on EVENT        end after the first EVENT (OnDownload, OnStart, OnProcess,\n"
    L"                         OnNoUpdates, OnException, OnUpdate, OnError)\n"
    L"  --hang-on EVENT        never return from the first EVENT (a frozen client)\n"
    L"                         or, with GetName, from the name asked for once advised,\n"
    L"                         or, with GetModules, from the subscription asked for\n"
    L"                         inside Advise\n"
    L"  --sinks N              advise N connections, each with its own sink (default 1);\n"
    L"                         a refused one prints \"Advise refused: <code>\"\n"
    L"  --check                call CheckUpdates with the sink's cookie once advised\n"
    L"  --list-connections     once advised, print \"Connection <cookie>\" for every\n"
    L"                         connection the service lists to this process\n"
    L"  --install-on-download  on OnDownload call Install(own pid, restart, module=installed\n"
    L"                         version from --modules) and end\n"
    L"  --restart R            restart flag for --install-on-download (default 0: restart)\n"
    L"  --log FILE             append a copy of every line to FILE, beginning with\n"
    L"                         \"Started: <command line> | <current directory>\"\n"
    L"  --timestamps           begin every output line with the time in ms (the system's\n"
    L"                         performance counter, one clock for all processes) and\n"
    L"                         add the lines Connecting, Connected, Advising, Checking\n"
    L"\n"
    L"watch prints \"Advised <cookie>\" once advised, then one line per event:\n"
    L"  OnStart <module> <version>, OnProcess <module> <percent>, OnDownload <module> <version>,\n"
    L"  OnNoUpdates, OnException <name> | <context> | <text>, OnUpdate <module> <code>,\n"
    L"  OnError <module>\n"
    L"\n"
    L"Output is UTF-8. Exit codes: 0 success, 1 a call failed or the awaited event did not\n"
    L"come, 2 bad command line, 3 the server could not be reached. A refusal of the service\n"
    L"shows as E_ACCESSDENIED, or CONNECT_E_NOCONNECTION for a connection of another process.\n";

std::wstring JobStateName(LONG state) { return zel::ToWide(zel::JobStateText(state)); }

// Milliseconds of the performance counter.
double NowMs() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// calls: the round trips of a cheap call and of the calls that find a
// module's job, on one connection, so that only the calls are timed.
int TimeCalls(const std::wstring& module, const std::wstring& version, long rounds) {
    Ptr<IZELServiceVersion> service;
    if (FAILED(Connect(IID_IZELServiceVersion, service))) return ExitNoServer;
    Ptr<IZELJobManager> jobs;
    Ptr<IZELUpdate> update;
    if (FAILED(service->QueryInterface(IID_IZELJobManager, jobs.OutVoid())) ||
        FAILED(service->QueryInterface(IID_IZELUpdate, update.OutVoid())))
        return Failed(L"QueryInterface", E_NOINTERFACE);
    auto line = [](const wchar_t* method, double ms, HRESULT hr) {
        wchar_t text[32];
        swprintf(text, 32, L" %.2f ", ms);
        Out(method + std::wstring(text) + Code(hr));
    };
    for (long i = 0; i < rounds; ++i) {
        BStr text;
        double t0 = NowMs();
        HRESULT hr = service->GetVersion(text.Out());
        line(L"GetVersion", NowMs() - t0, hr);
        LONG state = -1;
        BStr name(module);
        t0 = NowMs();
        hr = jobs->GetState(name, &state);
        line(L"GetState", NowMs() - t0, hr);
        BStr asked(version);
        t0 = NowMs();
        hr = update->CheckModule(name, asked.Out());
        line(L"CheckModule", NowMs() - t0, hr);
    }
    return ExitOk;
}

int Run(const Args& args) {
    const std::wstring& cmd = args[0];
    size_t n = args.size() - 1;
    auto need = [&](size_t count, const wchar_t* usage) {
        if (n == count) return true;
        Usage(std::wstring(L"usage: zelctl ") + usage);
        return false;
    };

    if (cmd == L"add") {
        if (!need(2, L"add <module> <version>")) return ExitUsage;
        Ptr<IZELAppList> list;
        if (FAILED(Connect(IID_IZELAppList, list))) return ExitNoServer;
        return Outcome(L"Add", list->Add(BStr(args[1]), BStr(args[2])));
    }
    if (cmd == L"remove") {
        if (!need(1, L"remove <module>")) return ExitUsage;
        Ptr<IZELAppList> list;
        if (FAILED(Connect(IID_IZELAppList, list))) return ExitNoServer;
        return Outcome(L"Remove", list->Remove(BStr(args[1])));
    }
    if (cmd == L"check") {
        long cookie = 0;
        if (n > 1 || (n == 1 && !ToLong(args[1], cookie))) return Usage(L"usage: zelctl check [cookie]");
        Ptr<IZELUpdate> update;
        if (FAILED(Connect(IID_IZELUpdate, update))) return ExitNoServer;
        return Outcome(L"CheckUpdates", update->CheckUpdates(cookie));
    }
    if (cmd == L"checkmodule") {
        if (!need(2, L"checkmodule <module> <version>")) return ExitUsage;
        Ptr<IZELUpdate> update;
        if (FAILED(Connect(IID_IZELUpdate, update))) return ExitNoServer;
        BStr version(args[2]);
        HRESULT hr = update->CheckModule(BStr(args[1]), version.Out());
        Out(L"CheckModule: " + Code(hr) + L" " + Text(version));
        return FAILED(hr) ? ExitFailed : ExitOk;
    }
    if (cmd == L"install") {
        unsigned long pid = 0;
        long restart = 0;
        bool named = n >= 1 && (args[1] == L"self" || args[1] == L"parent");
        if (n >= 1 && args[1] == L"self") pid = GetCurrentProcessId();
        if (n >= 1 && args[1] == L"parent") pid = zel::GetParentProcessId(GetCurrentProcessId());
        if (n < 2 || (!named && !ToULong(args[1], pid)) || !ToLong(args[2], restart))
            return Usage(L"usage: zelctl install <pid|self|parent> <restart 0|1> <module>=<version>...");
        ModulePairs pairs;
        for (size_t i = 3; i < args.size(); ++i) {
            std::pair<std::wstring, std::wstring> pair;
            if (!ParsePair(args[i], pair)) return Usage(L"not a <module>=<version> pair: " + args[i]);
            pairs.push_back(pair);
        }
        Ptr<IZELUpdate> update;
        if (FAILED(Connect(IID_IZELUpdate, update))) return ExitNoServer;
        return Outcome(L"Install", Install(update.Get(), std::move(pairs), pid, static_cast<HRESULT>(restart)));
    }
    if (cmd == L"getproxy") {
        if (!need(0, L"getproxy")) return ExitUsage;
        Ptr<IZELServiceSetup> setup;
        if (FAILED(Connect(IID_IZELServiceSetup, setup))) return ExitNoServer;
        BStr address, user, password;
        LONG port = 0;
        HRESULT hr = setup->GetProxy(address.Out(), &port, user.Out(), password.Out());
        if (FAILED(hr)) return Failed(L"GetProxy", hr);
        Out(L"Address=" + Text(address));
        Out(L"Port=" + std::to_wstring(port));
        Out(L"UserName=" + Text(user));
        Out(L"Password=" + Text(password));
        return ExitOk;
    }
    if (cmd == L"setproxy") {
        long port = 0;
        if (n != 4 || !ToLong(args[2], port))
            return Usage(L"usage: zelctl setproxy <addr> <port> <user> <password>");
        Ptr<IZELServiceSetup> setup;
        if (FAILED(Connect(IID_IZELServiceSetup, setup))) return ExitNoServer;
        return Outcome(L"SetProxy", setup->SetProxy(BStr(args[1]), port, BStr(args[3]), BStr(args[4])));
    }
    if (cmd == L"version") {
        if (!need(0, L"version")) return ExitUsage;
        Ptr<IZELServiceVersion> version;
        if (FAILED(Connect(IID_IZELServiceVersion, version))) return ExitNoServer;
        BStr text;
        HRESULT hr = version->GetVersion(text.Out());
        if (FAILED(hr)) return Failed(L"GetVersion", hr);
        Out(Text(text));
        return ExitOk;
    }
    if (cmd == L"checkversion") {
        if (!need(1, L"checkversion <version>")) return ExitUsage;
        Ptr<IZELServiceVersion> version;
        if (FAILED(Connect(IID_IZELServiceVersion, version))) return ExitNoServer;
        return Outcome(L"CheckVersion", version->CheckVersion(BStr(args[1])));
    }
    if (cmd == L"jobstate" || cmd == L"jobprogress" || cmd == L"resume" || cmd == L"suspend" ||
        cmd == L"cancel") {
        if (!need(1, (cmd + L" <module>").c_str())) return ExitUsage;
        Ptr<IZELJobManager> jobs;
        if (FAILED(Connect(IID_IZELJobManager, jobs))) return ExitNoServer;
        BStr module(args[1]);
        if (cmd == L"resume") return Outcome(L"Resume", jobs->Resume(module));
        if (cmd == L"suspend") return Outcome(L"Suspend", jobs->Suspend(module));
        if (cmd == L"cancel") return Outcome(L"Cancel", jobs->Cancel(module));
        LONG value = -1;
        bool state = cmd == L"jobstate";
        HRESULT hr = state ? jobs->GetState(module, &value) : jobs->GetProgress(module, &value);
        if (hr == S_OK)
            Out(state ? std::to_wstring(value) + L" " + JobStateName(value) : std::to_wstring(value));
        else
            return Outcome(state ? L"GetState" : L"GetProgress", hr);
        return ExitOk;
    }
    if (cmd == L"calls") {
        long rounds = 3;
        if ((n != 2 && n != 3) || (n == 3 && (!ToLong(args[3], rounds) || rounds < 1)))
            return Usage(L"usage: zelctl calls <module> <version> [rounds]");
        return TimeCalls(args[1], args[2], rounds);
    }
    if (cmd == L"clients") {
        if (!need(1, L"clients <appname>")) return ExitUsage;
        Ptr<IZELService> service;
        if (FAILED(Connect(IID_IZELService, service))) return ExitNoServer;
        ULONG count = 0;
        HRESULT hr = service->GetClientCount(BStr(args[1]), &count);
        if (FAILED(hr)) return Failed(L"GetClientCount", hr);
        Out(std::to_wstring(count));
        return ExitOk;
    }
    if (cmd == L"connections") {
        if (!need(0, L"connections")) return ExitUsage;
        Ptr<IConnectionPoint> point;
        if (FAILED(ConnectEvents(point))) return ExitNoServer;
        return ListConnections(point.Get());
    }
    if (cmd == L"unadvise") {
        unsigned long cookie = 0;
        if (n != 1 || !ToULong(args[1], cookie)) return Usage(L"usage: zelctl unadvise <cookie>");
        Ptr<IConnectionPoint> point;
        if (FAILED(ConnectEvents(point))) return ExitNoServer;
        return Outcome(L"Unadvise", point->Unadvise(cookie));
    }
    if (cmd == L"watch") return Watch(args);
    if (cmd == L"status") return Status(args);
    return Usage(L"unknown command " + cmd);
}

}  // namespace

int main() {
    InitializeCriticalSection(&OutputLock);
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    Args args;
    for (int i = 1; argv && i < argc; ++i) args.push_back(argv[i]);
    if (argv) LocalFree(argv);

    if (args.empty()) {
        Usage(L"no command");
        return ExitUsage;
    }
    if (args[0] == L"--help" || args[0] == L"-h" || args[0] == L"/?" || args[0] == L"help") {
        std::wstring help = HelpText;
        help.pop_back();
        Out(help);
        return ExitOk;
    }

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) return Failed(L"CoInitializeEx", hr);
    // The service calls the sink back: let it in whatever its account.
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                         nullptr, EOAC_NONE, nullptr);
    int result = Run(args);
    CoUninitialize();
    return result;
}
