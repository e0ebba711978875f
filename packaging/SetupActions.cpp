// Custom actions of the installer package ZELUpdate-<version>.msi, a DLL in
// the package's Binary table. The immediate actions read and check the
// public properties and hand the deferred ones their data (and refuse an
// installation whose update server answers nobody would verify); the deferred
// actions run as LocalSystem with the package's files in place and do the
// work through the programs' own roles (ZELService.exe /install and
// /uninstall, dcperm.exe with the shipped script).
//
// A deferred action that fails undoes what it did itself before it returns
// the failure, so the rollback of the files leaves nothing behind.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <utility>
#include <vector>

#include "SetupSupport.h"
#include "base/Text.h"
#include "config/ConfigText.h"
#include "config/Trust.h"
#include "config/TrustText.h"

using namespace zel;
using namespace zel::setup;

namespace {

// The public properties that go into ".config", with their keys there.
struct ConfigProperty {
    const wchar_t* property;
    const char* key;
};
const ConfigProperty ConfigProperties[] = {
    {L"URL", "URL"},           {L"METHOD", "Method"},         {L"PERIOD", "Period"},
    {L"LOGLEVEL", "LogLevel"}, {L"UPDATEKEYS", "UpdateKeys"}, {L"PUBLISHERS", "Publishers"}};

// Files and folders beside the program that the service writes itself.
const wchar_t* const DataEntries[] = {L".config", L"Files", L"Logs", L"Service.dll", L"ZELService.tmp"};

// Removal modes handed from PrepareRemoval to RemoveService.
const wchar_t* const RemoveForUpgrade = L"upgrade";  // programs only: a newer package follows
const wchar_t* const RemoveKeepData = L"keepdata";   // also the settings; the store and the logs stay
const wchar_t* const RemoveAll = L"all";             // everything the service wrote

// UPDATEKEYS and PUBLISHERS, read by the service's own rule; the value to
// write is the entries' normal form (keys re-encoded, publishers in lower
// case, joined by commas without blanks or repeats).
std::string CheckTrustValue(const std::wstring& property, const std::wstring& value, const std::string& ansi) {
    bool keys = property == L"UPDATEKEYS";
    TTrustList list = keys ? ParseUpdateKeys(ansi) : ParsePublishers(ansi);
    std::wstring form = keys ? L"UPDATEKEYS must be comma-separated base64 P-256 public keys (65-byte uncompressed "
                               L"points)"
                             : L"PUBLISHERS must be comma-separated hexadecimal SHA-256 hashes of the signing "
                               L"certificates' public key info (64 digits each)";
    if (!list.Invalid.empty()) throw SetupError(form + L"; \"" + ToWide(list.Invalid.front()) + L"\" is not one.");
    if (!list.Given) throw SetupError(form + L"; \"" + value + L"\" names none.");
    std::string text;
    for (const std::string& item : list.Items) {
        if (!text.empty()) text += ',';
        text += keys ? Base64Encode(item) : item;
    }
    return text;
}

// Checks one property value; returns the value to write or throws
// SetupError with the reason.
std::string CheckConfigValue(const std::wstring& property, const std::wstring& value) {
    for (wchar_t c : value)
        if (c < 32 || c == 127)
            throw SetupError(L"The value of " + property + L" holds a line break or another control character.");
    std::string ansi = ToAnsi(value);
    if (ToWide(ansi) != value)
        throw SetupError(L"The value of " + property + L" holds characters that the settings file cannot keep.");
    if (property == L"URL") {
        std::string lower = ansi;
        for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        size_t scheme = lower.rfind("http://", 0) == 0 ? 7 : lower.rfind("https://", 0) == 0 ? 8 : 0;
        if (scheme == 0 || ansi.size() == scheme)
            throw SetupError(L"URL must be an address that begins with http:// or https://, not \"" + value + L"\".");
        return ansi;
    }
    if (property == L"METHOD") {
        std::string method = UpperCase(ansi);
        if (method != "GET" && method != "POST")
            throw SetupError(L"METHOD must be GET or POST, not \"" + value + L"\".");
        return method;
    }
    if (property == L"UPDATEKEYS" || property == L"PUBLISHERS") return CheckTrustValue(property, value, ansi);
    if (property == L"PERIOD") {
        int64_t period = 0;
        if (!TryStrToInt64(ansi, period))
            throw SetupError(L"PERIOD must be a whole number of 100-nanosecond units, not \"" + value + L"\".");
        return ansi;
    }
    int32_t level = 0;  // LOGLEVEL
    if (!TryStrToInt(ansi, level) || level < 0 || level > 255)
        throw SetupError(L"LOGLEVEL must be a log mask from 0 to 255, not \"" + value + L"\".");
    return ansi;
}

// Secure by default: the service is installed only when it will verify the
// update server's answers, or when ALLOWUNSIGNED=1 says that it need not.
// The keys come from UPDATEKEYS, from the program itself or, on an upgrade,
// from the settings file already in place: a line there that names any key
// (even one the service cannot use) makes the service refuse unverified
// answers, and the upgrade keeps that line; an empty one does not count.
void CheckAnswersVerified(Session& s, const std::wstring& dir, bool keysGiven) {
    if (keysGiven) {
        s.Log(L"update keys: from UPDATEKEYS");
        return;
    }
    if (!ParseUpdateKeys(BuiltInUpdateKeys()).Items.empty()) {
        s.Log(L"update keys: built into the program");
        return;
    }
    std::string config;
    if (!s.Property(L"OLDERFOUND").empty() && ReadWholeFile(dir + L".config", config)) {
        TTrustList kept = ParseUpdateKeys(ConfigValue(SplitConfigLines(config), "UpdateKeys"));
        if (kept.Given) {
            s.Log(L"update keys: those of the installed settings " + dir + L".config (" +
                  std::to_wstring(kept.Items.size()) + L" usable)");
            return;
        }
    }
    if (s.Property(L"ALLOWUNSIGNED") == L"1") {
        s.Log(L"ALLOWUNSIGNED=1: the answers of the update server are not verified");
        return;
    }
    // No square brackets in the text: Wine formats it once more for the log.
    throw SetupError(L"The answers of the update server would not be verified: this package carries no update key "
                     L"and UPDATEKEYS is not given. Give UPDATEKEYS=<key>,<key>... with the base64 keys that sign "
                     L"the server's answers, or ALLOWUNSIGNED=1 to install without verification.");
}

// Without ALLOWCUSTOMDIR=1 the package goes only below the Program Files
// folders: elsewhere (C:\ZELU\, say) the folder inherits what its parent
// gives, often the right of every user to change it, and a program that
// runs as LocalSystem could be replaced before its folder is locked. With
// ALLOWCUSTOMDIR=1 the program's "install" role sets the folder's access
// rights, as it does everywhere.
void CheckInstallFolder(Session& s, const std::wstring& dir) {
    auto full = [](const std::wstring& path) {
        wchar_t buffer[MAX_PATH * 2];
        DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 2, buffer, nullptr);
        return IncludeTrailingSlash(n == 0 || n >= MAX_PATH * 2 ? path : std::wstring(buffer, n));
    };
    std::wstring folder = full(dir), names;
    for (const wchar_t* property : {L"ProgramFilesFolder", L"ProgramFiles64Folder"}) {
        std::wstring value = s.Property(property);
        if (value.empty()) continue;
        std::wstring allowed = full(value);
        names += (names.empty() ? L"" : L" and ") + allowed;
        if (folder.size() > allowed.size() &&
            CompareStringOrdinal(folder.c_str(), static_cast<int>(allowed.size()), allowed.c_str(),
                                 static_cast<int>(allowed.size()), TRUE) == CSTR_EQUAL)
            return;
    }
    if (s.Property(L"ALLOWCUSTOMDIR") == L"1") {
        s.Log(L"ALLOWCUSTOMDIR=1: installing into " + folder + L", whose access rights the program sets itself");
        return;
    }
    // No square brackets in the text: Wine formats it once more for the log.
    throw SetupError(L"INSTALLDIR " + folder + L" lies outside the Program Files folders (" + names +
                     L"): other users could change the program there before its access rights are set. Install "
                     L"into the Program Files folders, or give ALLOWCUSTOMDIR=1 to install there; the program then "
                     L"sets the folder's access rights itself.");
}

// ---------------------------------------------------------------- set-up

// What SetUpService changed, so that a failure can take it back.
class SetUpUndo {
public:
    explicit SetUpUndo(const std::wstring& dir) : dir_(dir) {
        for (const wchar_t* name : DataEntries) existed_.push_back(PathExists(dir + name));
        configExisted_ = ReadWholeFile(dir + L".config", config_);
    }
    void Registered() { registered_ = true; }

    void Run(Session& s) {
        s.Log(L"Taking back the steps done so far.");
        if (registered_) {
            std::wstring error;
            if (!StopZelService(s, error)) s.Log(error);
            RunProgram(s, L"\"" + dir_ + L"ZELService.exe\" /uninstall", Output::Oem);
        }
        if (configExisted_) WriteWholeFile(dir_ + L".config", config_);
        for (size_t i = 0; i < existed_.size(); ++i)
            if (!existed_[i]) RemovePath(s, dir_ + DataEntries[i]);
    }

private:
    std::wstring dir_;
    std::vector<bool> existed_;
    bool configExisted_ = false;
    std::string config_;
    bool registered_ = false;
};

void WriteConfig(Session& s, const std::wstring& dir, const std::vector<std::wstring>& pairs) {
    std::string text;
    ReadWholeFile(dir + L".config", text);
    for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
        text = SetConfigValue(text, ToAnsi(pairs[i]), ToAnsi(pairs[i + 1]));
        s.Log(L"  " + pairs[i] + L"=" + pairs[i + 1]);
    }
    if (!WriteWholeFile(dir + L".config", text))
        throw SetupError(L"The settings file " + dir + L".config cannot be written: " + LastErrorText());
}

void SetUp(Session& s, const std::vector<std::wstring>& data) {
    const std::wstring& dir = data.at(0);
    std::vector<std::wstring> pairs(data.begin() + 1, data.end());
    SetUpUndo undo(dir);
    try {
        s.Step(L"check that no other service is named ZELUpdate");
        std::wstring image;
        if (QueryZelServiceImage(image))
            throw SetupError(L"A service named ZELUpdate is already installed (" + image +
                             L"). Remove it before installing this package.");
        if (!pairs.empty()) {
            s.Step(L"write the settings file " + dir + L".config");
            WriteConfig(s, dir, pairs);
        }
        s.Step(L"register the service and the COM server (ZELService.exe /install)");
        undo.Registered();
        CheckExitCode(RunProgram(s, L"\"" + dir + L"ZELService.exe\" /install", Output::Oem));
        s.Step(L"apply the DCOM permissions (dcperm.exe /b ZELUpdate-DCOM.txt)");
        CheckExitCode(RunProgram(s, L"\"" + dir + L"dcperm.exe\" /b \"" + dir + L"ZELUpdate-DCOM.txt\"", Output::Ansi));
        s.Step(L"start the service ZELUpdate");
        StartZelService(s);
    } catch (const SetupError& e) {
        s.Log(L"failed: " + e.Text());
        undo.Run(s);
        throw;
    }
}

// ---------------------------------------------------------------- removal

void RemoveProgramsAndData(Session& s, const std::wstring& dir, const std::wstring& mode) {
    s.Step(L"stop the service ZELUpdate");
    std::wstring error;
    if (!StopZelService(s, error)) throw SetupError(error);

    s.Step(L"remove the service and the COM server (ZELService.exe /uninstall)");
    if (PathExists(dir + L"ZELService.exe")) {
        int code = RunProgram(s, L"\"" + dir + L"ZELService.exe\" /uninstall", Output::Oem);
        std::wstring image;
        if (code != 0 && QueryZelServiceImage(image)) CheckExitCode(code);
        if (code != 0) s.Log(L"The service was not registered any more; nothing else to remove.");
    }
    // The service writes these beside itself; they are not the package's files.
    RemovePath(s, dir + L"Service.dll");
    RemovePath(s, dir + L"ZELService.tmp");
    if (mode == RemoveForUpgrade) {
        s.Log(L"A newer package is being installed: the settings, the store and the logs stay.");
        return;
    }
    s.Step(L"cancel the service's downloads");
    CancelServiceJobs(s);
    s.Step(L"remove the settings");
    RemovePath(s, dir + L".config");
    RemoveProxySettings(s);
    if (mode == RemoveKeepData) {
        s.Log(L"KEEPDATA=1: the store Files\\ and the logs Logs\\ stay.");
        return;
    }
    s.Step(L"remove the store and the logs");
    RemovePath(s, dir + L"Files");
    RemovePath(s, dir + L"Logs");
}

// Runs one custom action body; failures become ERROR_INSTALL_FAILURE with
// their text in the log (and on the screen unless the run is silent).
template <class Body>
UINT RunAction(MSIHANDLE install, Body body) {
    Session s(install);
    try {
        body(s);
        return ERROR_SUCCESS;
    } catch (const SetupError& e) {
        s.Error(e.Text());
    } catch (const std::exception& e) {
        s.Error(L"ZELUpdate set-up failed: " + ToWide(e.what()));
    } catch (...) {
        s.Error(L"ZELUpdate set-up failed.");
    }
    return ERROR_INSTALL_FAILURE;
}

}  // namespace

// Immediate, when the same or a newer version is installed: refuses.
extern "C" __declspec(dllexport) UINT __stdcall RefuseInstall(MSIHANDLE install) {
    return RunAction(install, [](Session& s) {
        std::wstring found = s.Property(L"NEWERFOUND");
        std::wstring version = found.empty() ? s.Property(L"ProductVersion") : InstalledVersion(found);
        throw SetupError(L"ZELUpdate " + version + L" is already installed; this package (" +
                         s.Property(L"ProductVersion") +
                         L") does not replace the same or a newer version. Remove the installed one first.");
    });
}

// Immediate, before the deferred set-up and before an older version is
// removed: checks the public properties and the update keys, and hands the
// folder and the settings to SetUpService.
extern "C" __declspec(dllexport) UINT __stdcall PrepareSetUp(MSIHANDLE install) {
    return RunAction(install, [](Session& s) {
        std::wstring dir = IncludeTrailingSlash(s.Property(L"INSTALLDIR"));
        CheckInstallFolder(s, dir);
        std::vector<std::wstring> data{dir};
        for (const ConfigProperty& p : ConfigProperties) {
            std::wstring value = s.Property(p.property);
            if (value.empty()) continue;  // not given: nothing written
            data.push_back(ToWide(p.key));
            data.push_back(ToWide(CheckConfigValue(p.property, value)));
        }
        CheckAnswersVerified(s, dir, !s.Property(L"UPDATEKEYS").empty());
        s.SetProperty(L"SetUpService", JoinFields(data));
    });
}

// Deferred: registers, configures and starts the service.
extern "C" __declspec(dllexport) UINT __stdcall SetUpService(MSIHANDLE install) {
    return RunAction(install, [](Session& s) { SetUp(s, SplitFields(s.Property(L"CustomActionData"))); });
}

// Immediate, on removal, before the folders are resolved: the folder of the
// installed program. A package installed with INSTALLDIR elsewhere than the
// default is removed from there, though the removal is not told (Windows
// Installer keeps no property of the installation).
extern "C" __declspec(dllexport) UINT __stdcall FindInstallDir(MSIHANDLE install) {
    return RunAction(install, [](Session& s) {
        if (!s.Property(L"INSTALLDIR").empty()) return;
        std::wstring image;
        if (!QueryZelServiceImage(image)) return;
        std::wstring program = image;
        if (!program.empty() && program[0] == L'"') {
            size_t end = program.find(L'"', 1);
            program = end == std::wstring::npos ? std::wstring() : program.substr(1, end - 1);
        }
        size_t slash = program.find_last_of(L'\\');
        if (slash == std::wstring::npos ||
            CompareStringOrdinal(program.c_str() + slash + 1, -1, L"ZELService.exe", -1, TRUE) != CSTR_EQUAL)
            return;
        s.SetProperty(L"INSTALLDIR", program.substr(0, slash + 1));
        s.Log(L"the installed program lies in " + program.substr(0, slash + 1));
    });
}

// Immediate, on removal: decides what goes.
extern "C" __declspec(dllexport) UINT __stdcall PrepareRemoval(MSIHANDLE install) {
    return RunAction(install, [](Session& s) {
        std::wstring mode = RemoveAll;
        if (!s.Property(L"UPGRADINGPRODUCTCODE").empty() || UpgradeMarked(s))
            mode = RemoveForUpgrade;
        else if (s.Property(L"KEEPDATA") == L"1")
            mode = RemoveKeepData;
        s.SetProperty(L"RemoveService", JoinFields({IncludeTrailingSlash(s.Property(L"INSTALLDIR")), mode}));
    });
}

// Deferred, on removal: stops and unregisters the service, removes what it
// wrote.
extern "C" __declspec(dllexport) UINT __stdcall RemoveService(MSIHANDLE install) {
    return RunAction(install, [](Session& s) {
        std::vector<std::wstring> data = SplitFields(s.Property(L"CustomActionData"));
        RemoveProgramsAndData(s, data.at(0), data.at(1));
    });
}

// Immediate, around the removal of the older version during an upgrade:
// tells that removal to keep the data.
extern "C" __declspec(dllexport) UINT __stdcall MarkUpgrade(MSIHANDLE install) {
    return RunAction(install, [](Session& s) { SetUpgradeMark(s, true); });
}

extern "C" __declspec(dllexport) UINT __stdcall UnmarkUpgrade(MSIHANDLE install) {
    return RunAction(install, [](Session& s) { SetUpgradeMark(s, false); });
}
