// dcperm: applies the DCOM security settings of a script to the registry
// (machine-wide defaults under SOFTWARE\Microsoft\Ole and the values of
// single AppIDs under HKEY_CLASSES_ROOT\AppId).
#include <windows.h>
#include <objbase.h>

#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "MsgTable_Const.h"
#include "SecUtils.h"
#include "untParser.h"

using namespace dcperm;

namespace {

enum : BYTE {
    OptHelp = 0x01,
    OptBreak = 0x02,
    OptSilent = 0x04,
    OptOutput = 0x08,
    OptInfo = 0x10,
};

BYTE Options = 0;
HANDLE ScriptFile = INVALID_HANDLE_VALUE;
HANDLE LogFile = INVALID_HANDLE_VALUE;
bool OemConsole = false;
bool IsNT51 = true;
PSID CurrentUserSid = nullptr;
int ExitCode = 0;
TParser* Parser = nullptr;

const char OleKeyPath[] = "SOFTWARE\\Microsoft\\Ole";

std::string FormatMsg(DWORD id, std::initializer_list<std::string> args = {}) {
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    while (argv.size() < 8) argv.push_back("");
    // The buffer is allocated by the formatter: a long file name in an
    // argument must not cut the message off.
    char* buf = nullptr;
    DWORD len = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                                   FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                               nullptr, id, 0, reinterpret_cast<char*>(&buf), 256,
                               reinterpret_cast<va_list*>(const_cast<char**>(argv.data())));
    std::string text;
    if (len && buf) text.assign(buf, len);
    if (buf) LocalFree(buf);
    while (!text.empty() && (static_cast<unsigned char>(text.back()) < 33 || text.back() == '.')) text.pop_back();
    return text;
}

void WriteHandle(HANDLE h, const std::string& text) {
    DWORD written = 0;
    if (!text.empty()) WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    WriteFile(h, "\r\n", 2, &written, nullptr);
}

void Print(const std::string& text) {
    if (!(Options & OptSilent)) {
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        if (out && out != INVALID_HANDLE_VALUE) {
            if (OemConsole && !text.empty()) {
                std::string oem(text);
                CharToOemBuffA(text.data(), &oem[0], static_cast<DWORD>(oem.size()));
                WriteHandle(out, oem);
            } else {
                WriteHandle(out, text);
            }
        }
    }
    if ((Options & OptOutput) && LogFile != INVALID_HANDLE_VALUE) WriteHandle(LogFile, text);
}

void CloseFiles() {
    delete Parser;
    Parser = nullptr;
    if (ScriptFile != INVALID_HANDLE_VALUE) CloseHandle(ScriptFile);
    if (LogFile != INVALID_HANDLE_VALUE) CloseHandle(LogFile);
    ScriptFile = LogFile = INVALID_HANDLE_VALUE;
    if (CurrentUserSid) CoTaskMemFree(CurrentUserSid);
    CurrentUserSid = nullptr;
}

[[noreturn]] void Finish(int code) {
    CloseFiles();
    ExitProcess(static_cast<UINT>(code));
}

[[noreturn]] void BreakRun(int code) {
    Print(FormatMsg(MSG_EXECUTING_BREAKED));
    Print("");
    Finish(code);
}

// A command-line failure: the message, an empty line, exit code 3.
[[noreturn]] void CommandLineError(DWORD id, std::initializer_list<std::string> args = {}) {
    Print(FormatMsg(id, args));
    Print("");
    Finish(3);
}

std::string SystemText(DWORD code) {
    char* buf = nullptr;
    DWORD len = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                   FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                               nullptr, code, 0, reinterpret_cast<char*>(&buf), 0, nullptr);
    std::string text;
    if (len && buf) text.assign(buf, len);
    if (buf) LocalFree(buf);
    while (!text.empty() && static_cast<unsigned char>(text.back()) < 33) text.pop_back();
    return text;
}

void ReportError(DWORD id, DWORD code) {
    Print(FormatMsg(id, {std::to_string(code), SystemText(code)}));
    ExitCode = 1;
}

void RegistryError(LONG code) { ReportError(MSG_REGISTRY_ERROR, static_cast<DWORD>(code)); }
void SystemError(DWORD code) { ReportError(MSG_SYSTEM_ERROR, code); }

bool Info() { return (Options & OptInfo) != 0; }

// ---- Applying the script ----

void ResolveEntries(TPermEntry* list) {
    for (TPermEntry* e = list; e; e = e->Next) {
        // Systems before NT 5.1 know no finer rights than "execute".
        e->Rights = IsNT51 ? (e->Rights | 1) : 1;
        if (!e->Sid) e->Sid = AccountNameToSid(e->Name);
    }
}

void WriteLevel(HKEY key, const char* name, LONG value, bool edit) {
    if (value == -1 && edit) return;
    if (value == -1 || value == 0) {
        RegDeleteValueA(key, name);
        return;
    }
    DWORD v = static_cast<DWORD>(value);
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}

void WriteSwitch(HKEY key, const char* name, LONG value, bool edit) {
    if (value == -1) {
        if (!edit) RegDeleteValueA(key, name);
        return;
    }
    // The letter alone, without a terminating zero (one byte).
    const char* letter = value == 1 ? "Y" : "N";
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(letter), 1);
}

struct TReadResult {
    PSECURITY_DESCRIPTOR Sd = nullptr;
    bool Ok = true;
    bool Invalid = false;  // the stored value is no usable descriptor
};

TReadResult ReadBinaryValue(HKEY key, const char* name) {
    TReadResult r;
    DWORD type = 0, size = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND) return r;
    if (rc != ERROR_SUCCESS) {
        RegistryError(rc);
        r.Ok = false;
        return r;
    }
    if (type != REG_BINARY || size == 0) return r;
    auto* buf = static_cast<BYTE*>(CoTaskMemAlloc(size));
    if (!buf) {
        SystemError(0x8007000E);
        r.Ok = false;
        return r;
    }
    DWORD got = size;
    rc = RegQueryValueExA(key, name, nullptr, &type, buf, &got);
    if (rc != ERROR_SUCCESS) {
        CoTaskMemFree(buf);
        RegistryError(rc);
        return r;
    }
    // A truncated or foreign value is never edited: editing it would read
    // beyond the data or write garbage back.
    if (type != REG_BINARY || got > size || !IsValidSelfRelativeSD(buf, got)) {
        CoTaskMemFree(buf);
        SystemError(ERROR_INVALID_SECURITY_DESCR);
        r.Ok = false;
        r.Invalid = true;
        return r;
    }
    r.Sd = buf;
    return r;
}

// One permission value; false when the step failed.
bool WritePermission(HKEY key, const char* name, BYTE kind, const TPermEntry* entries, bool edit) {
    TSdResult sd;
    if (edit) {
        TReadResult old = ReadBinaryValue(key, name);
        if (!old.Ok) {
            if (Options & OptBreak) BreakRun(1);
            if (old.Invalid) return false;  // left as it is
        }
        if (old.Sd) {
            sd = EditSecurityDescriptor(entries, kind, old.Sd, CurrentUserSid);
            CoTaskMemFree(old.Sd);
        } else {
            sd = BuildSecurityDescriptor(entries, kind, CurrentUserSid);
        }
    } else {
        sd = BuildSecurityDescriptor(entries, kind, CurrentUserSid);
    }
    if (!sd.Ok) {
        SystemError(sd.Error);
        if (Options & OptBreak) BreakRun(1);
        return false;
    }
    if (sd.Sd) {
        RegSetValueExA(key, name, 0, REG_BINARY, static_cast<const BYTE*>(sd.Sd), sd.Size);
        CoTaskMemFree(sd.Sd);
    } else {
        RegDeleteValueA(key, name);
    }
    return true;
}

void ApplyDefaultSettings(TParser& p) {
    if (Info()) Print(FormatMsg(MSG_PROCESS, {FormatMsg(MSG_DEFAULT_SETTINGS)}) + "...");
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, OleKeyPath, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (rc != ERROR_SUCCESS) {
        RegistryError(rc);
        return;
    }
    bool edit = p.DefaultEditMode;
    WriteLevel(key, "LegacyAuthenticationLevel", p.DefaultAuthLevel, edit);
    WriteLevel(key, "LegacyImpersonationLevel", p.DefaultImpersLevel, edit);
    WriteSwitch(key, "EnableDCOM", p.DefaultEnableDCOM, edit);
    WriteSwitch(key, "EnableDCOMHTTP", p.DefaultEnableHTTP, edit);
    WritePermission(key, "DefaultAccessPermission", PermAccess, p.DefaultEntries, edit);
    bool ok = WritePermission(key, "DefaultLaunchPermission", PermLaunch, p.DefaultEntries, edit);
    RegCloseKey(key);
    if (Info()) Print(FormatMsg(ok ? MSG_OK : MSG_FAIL));
}

std::string AppIdKeyPath(const GUID& id) {
    wchar_t wide[40];
    StringFromGUID2(id, wide, 40);
    char text[40];
    WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    return std::string("AppId\\") + text;
}

void ApplyAppId(TAppIdSection& s) {
    std::string path = AppIdKeyPath(s.AppId);
    if (Info()) Print(FormatMsg(MSG_PROCESS, {path}) + "...");
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (rc != ERROR_SUCCESS) {
        RegistryError(rc);
        return;
    }
    WriteLevel(key, "AuthenticationLevel", s.AuthLevel, s.EditMode);
    WritePermission(key, "AccessPermission", PermAccess, s.Entries, s.EditMode);
    bool ok = WritePermission(key, "LaunchPermission", PermLaunch, s.Entries, s.EditMode);
    RegCloseKey(key);
    if (Info()) Print(FormatMsg(ok ? MSG_OK : MSG_FAIL));
}

void ExecuteScript(TParser& p) {
    if (Info()) Print(FormatMsg(MSG_EXECUTE_SCRIPT) + "...");
    if (p.HasDefaults) {
        ResolveEntries(p.DefaultEntries);
        ApplyDefaultSettings(p);
    }
    for (TAppIdSection* s = p.Sections; s; s = s->Next) {
        ResolveEntries(s->Entries);
        ApplyAppId(*s);
    }
    if (Info()) Print(FormatMsg(MSG_EXECUTING_FINISHED));
}

// ---- Reading the script ----

// Lines end with CR LF, LF or CR; a line may have any length.
class TLineReader {
public:
    explicit TLineReader(HANDLE h) : h_(h) {}
    bool Next(std::string& line) {
        line.clear();
        bool any = false;
        for (;;) {
            if (pos_ == len_ && !Fill()) return any;
            any = true;
            char c = buf_[pos_++];
            if (c == '\n') return true;
            if (c == '\r') {
                if (pos_ == len_) Fill();
                if (pos_ < len_ && buf_[pos_] == '\n') ++pos_;
                return true;
            }
            line.push_back(c);
        }
    }

private:
    bool Fill() {
        pos_ = len_ = 0;
        DWORD got = 0;
        if (!ReadFile(h_, buf_, sizeof buf_, &got, nullptr) || got == 0) return false;
        len_ = got;
        return true;
    }
    HANDLE h_;
    char buf_[65536];
    DWORD pos_ = 0, len_ = 0;
};

void AnalyseScript(TParser& p) {
    if (Info()) Print(FormatMsg(MSG_ANALYSE_SCRIPT) + "...");
    std::unique_ptr<TLineReader> reader(new TLineReader(ScriptFile));
    std::string line;
    int number = 0;
    while (reader->Next(line)) {
        ++number;
        if (int code = p.ExecuteLine(line)) {
            Print(FormatMsg(MSG_SCRIPT_ERROR, {std::to_string(number)}) + " " + FormatMsg(code));
            BreakRun(2);
        }
    }
    if (Info()) Print(FormatMsg(MSG_OK));
}

void ShowHelp() {
    WORD id = LANGIDFROMLCID(GetThreadLocale()) == 1049 ? 1049 : 1033;
    HRSRC res = FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(10) /* RT_RCDATA */);
    HGLOBAL data = res ? LoadResource(nullptr, res) : nullptr;
    const char* text = data ? static_cast<const char*>(LockResource(data)) : nullptr;
    if (!text) {
        Print("Sorry, help not found");
        return;
    }
    Print(std::string(text, SizeofResource(nullptr, res)));
}

// ---- Command line ----

bool FileExists(const std::string& path) {
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string Lower(const std::string& s) {
    std::string r(s);
    if (!r.empty()) CharLowerBuffA(&r[0], static_cast<DWORD>(r.size()));
    return r;
}

void ParseCommandLine(int argc, char** argv) {
    if (argc < 2) CommandLineError(MSG_INVALID_CMDLINE);
    BYTE flags = 0;
    std::string logName;
    std::string only = Lower(argv[1]);
    if (argc == 2 && (only == "/?" || only == "-?")) {
        flags = OptHelp;
    } else {
        int last = argc - 1;   // the script name
        int switches = last;   // arguments below this index are switches
        for (int i = 1; i < switches; ++i) {
            std::string a = Lower(argv[i]);
            if (a.size() != 2 || (a[0] != '-' && a[0] != '/')) CommandLineError(MSG_UNKNOWN_SWITCH, {argv[i]});
            switch (a[1]) {
            case '?':
                flags |= OptHelp;
                switches = argc;  // the last argument is a switch as well
                break;
            case 'b': flags |= OptBreak; break;
            case 's': flags |= OptSilent; break;
            case 'i': flags |= OptInfo; break;
            case 'o':
                flags |= OptOutput;
                if (i + 1 < last) logName = argv[++i];
                break;
            default:
                CommandLineError(MSG_UNKNOWN_SWITCH, {argv[i]});
            }
        }
        if (!(flags & OptHelp)) {
            std::string script = argv[last];
            if (!FileExists(script)) CommandLineError(MSG_SCRIPT_NOT_FOUND, {script});
            ScriptFile = CreateFileA(script.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
            if (ScriptFile == INVALID_HANDLE_VALUE) CommandLineError(MSG_CANT_OPEN_SCRIPT);
        }
    }
    if (flags & OptOutput) {
        if (logName.empty()) CommandLineError(MSG_NO_LOG_NAME);
        LogFile = CreateFileA(logName.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (LogFile == INVALID_HANDLE_VALUE) CommandLineError(MSG_CANT_OPEN_LOG);
        SetFilePointer(LogFile, 0, nullptr, FILE_END);
    }
    Options = flags;
}

bool IsNT51OrLater() {
    OSVERSIONINFOA v = {};
    v.dwOSVersionInfoSize = sizeof v;
    if (!GetVersionExA(&v)) return true;
    return v.dwPlatformId == VER_PLATFORM_WIN32_NT &&
           (v.dwMajorVersion > 5 || (v.dwMajorVersion == 5 && v.dwMinorVersion >= 1));
}

}  // namespace

int main(int argc, char** argv) {
    DWORD mode = 0;
    OemConsole = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) && GetConsoleOutputCP() < 1000;

    ParseCommandLine(argc, argv);
    Parser = new TParser;
    IsNT51 = IsNT51OrLater();

    char user[261];
    DWORD len = sizeof user;
    if (!GetUserNameA(user, &len) || user[0] == 0) {
        DWORD error = GetLastError();
        Print(FormatMsg(MSG_FATAL_ERROR));
        if (len != 0) SystemError(error);
        else Print(FormatMsg(MSG_UNKNOWN_USER));
        BreakRun(3);
    }
    CurrentUserSid = AccountNameToSid(user);

    if (Options & OptHelp) {
        ShowHelp();
    } else {
        AnalyseScript(*Parser);
        ExecuteScript(*Parser);
        Print("");
    }
    int code = ExitCode;
    CloseFiles();
    return code;
}
