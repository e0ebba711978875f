#include "DcpermHelpers.h"

#include <objbase.h>
#include <sddl.h>

#include "support/TestSupport.h"

namespace dcperm::test {

namespace {

std::string BuildEnvironment(const std::string& lang) {
    std::string block;
    char* env = GetEnvironmentStringsA();
    for (char* p = env; *p; p += strlen(p) + 1) {
        std::string var = p;
        if (!lang.empty() && (var.rfind("LANG=", 0) == 0 || var.rfind("LC_ALL=", 0) == 0 ||
                              var.rfind("LC_MESSAGES=", 0) == 0 || var.rfind("LANGUAGE=", 0) == 0))
            continue;
        block += var;
        block.push_back('\0');
    }
    FreeEnvironmentStringsA(env);
    if (!lang.empty()) {
        for (const char* n : {"LANG=", "LC_ALL="}) {
            block += n + lang;
            block.push_back('\0');
        }
    }
    block.push_back('\0');
    return block;
}

}  // namespace

RunResult RunDcperm(const std::string& args, const std::string& lang, const std::string& cwd) {
    RunResult r;
    std::string cmd = "\"" + zel::test::BinDir() + "dcperm.exe\"" + (args.empty() ? "" : " " + args);
    std::string env = BuildEnvironment(lang);
    r.exitCode = zel::test::RunProcessOutput(cmd, r.out, 30000, &env[0], cwd);
    return r;
}

std::string SidText(PSID sid) {
    char* text = nullptr;
    if (!sid || !ConvertSidToStringSidA(sid, &text)) return std::string();
    std::string s = text;
    LocalFree(text);
    return s;
}

Descriptor DecodeDescriptor(const std::string& bytes) {
    Descriptor d;
    auto sd = reinterpret_cast<PSECURITY_DESCRIPTOR>(const_cast<char*>(bytes.data()));
    if (bytes.size() < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || !IsValidSecurityDescriptor(sd)) return d;
    d.valid = true;
    PSID sid = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    if (GetSecurityDescriptorOwner(sd, &sid, &defaulted)) d.owner = SidText(sid);
    if (GetSecurityDescriptorGroup(sd, &sid, &defaulted)) d.group = SidText(sid);
    PACL acl = nullptr;
    if (GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted) && present && acl) {
        d.hasDacl = true;
        for (DWORD i = 0; i < acl->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* ace = nullptr;
            if (!GetAce(acl, i, reinterpret_cast<void**>(&ace))) break;
            d.aces.push_back({ace->Header.AceType, ace->Mask, SidText(&ace->SidStart)});
        }
    }
    return d;
}

std::string CurrentUserSidText() {
    char user[261];
    DWORD len = sizeof user;
    if (!GetUserNameA(user, &len)) return std::string();
    BYTE sid[256];
    char domain[256];
    DWORD sidSize = sizeof sid, domainSize = sizeof domain;
    SID_NAME_USE use;
    if (!LookupAccountNameA(nullptr, user, sid, &sidSize, domain, &domainSize, &use)) return std::string();
    return SidText(sid);
}

std::string CreateAppIdKey() {
    GUID g;
    CoCreateGuid(&g);
    wchar_t wide[40];
    StringFromGUID2(g, wide, 40);
    char text[40];
    WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    HKEY key;
    RegCreateKeyExA(HKEY_CLASSES_ROOT, (std::string("AppID\\") + text).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                    nullptr, &key, nullptr);
    RegCloseKey(key);
    return text;
}

void DeleteAppIdKey(const std::string& guid) { RegDeleteKeyA(HKEY_CLASSES_ROOT, ("AppID\\" + guid).c_str()); }

bool ReadValue(HKEY root, const std::string& key, const std::string& name, DWORD& type, std::string& data,
               REGSAM view) {
    HKEY k;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_QUERY_VALUE | view, &k) != ERROR_SUCCESS) return false;
    DWORD size = 0;
    bool ok = RegQueryValueExA(k, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
    if (ok) {
        data.assign(size, '\0');
        ok = RegQueryValueExA(k, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size) ==
             ERROR_SUCCESS;
        data.resize(size);
    }
    RegCloseKey(k);
    return ok;
}

void WriteValue(HKEY root, const std::string& key, const std::string& name, DWORD type, const std::string& data) {
    HKEY k;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_SET_VALUE, &k) != ERROR_SUCCESS) return;
    RegSetValueExA(k, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size()));
    RegCloseKey(k);
}

std::string MakeDescriptor(const std::vector<Ace>& aces) {
    std::string sddl = "O:BAG:BAD:";
    for (const Ace& a : aces) {
        char buf[160];
        wsprintfA(buf, "(%s;;0x%x;;;%s)", a.type == ACCESS_ALLOWED_ACE_TYPE ? "A" : "D", a.mask, a.sid.c_str());
        sddl += buf;
    }
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG size = 0;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd, &size))
        return std::string();
    std::string bytes(static_cast<char*>(sd), size);
    LocalFree(sd);
    return bytes;
}

std::string WriteScript(const std::string& name, const std::string& text) {
    std::string path = zel::test::TestDir() + "scripts\\" + name;
    zel::test::WriteFileBytes(path, text);
    return path;
}

}  // namespace dcperm::test
