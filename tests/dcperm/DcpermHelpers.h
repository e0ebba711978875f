// Running dcperm.exe and reading back the descriptors it writes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace dcperm::test {

struct RunResult {
    int exitCode = -1;
    std::string out;  // standard output, raw bytes (ANSI: it is a pipe)
};

// Runs build/bin/dcperm.exe with `args`; `lang` empty keeps the inherited
// locale, otherwise LANG/LC_ALL of the child are set to it.
RunResult RunDcperm(const std::string& args, const std::string& lang = std::string(),
                    const std::string& cwd = std::string());

struct Ace {
    BYTE type;
    DWORD mask;
    std::string sid;
    bool operator==(const Ace& o) const { return type == o.type && mask == o.mask && sid == o.sid; }
};

struct Descriptor {
    bool valid = false;
    std::string owner, group;
    bool hasDacl = false;
    std::vector<Ace> aces;
};

Descriptor DecodeDescriptor(const std::string& bytes);
std::string SidText(PSID sid);

// The tool's account: owner and group of what it writes.
std::string CurrentUserSidText();

// A fresh key HKCR\AppID\{guid}; returns the braced GUID.
std::string CreateAppIdKey();
void DeleteAppIdKey(const std::string& guid);

// Registry values (false when missing).
bool ReadValue(HKEY root, const std::string& key, const std::string& name, DWORD& type, std::string& data,
               REGSAM view = 0);
void WriteValue(HKEY root, const std::string& key, const std::string& name, DWORD type, const std::string& data);

// A self-relative descriptor with the given ACEs (owner S-1-5-32-544).
std::string MakeDescriptor(const std::vector<Ace>& aces);

std::string WriteScript(const std::string& name, const std::string& text);

}  // namespace dcperm::test
