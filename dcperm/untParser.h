// Script parser of dcperm: turns the script, line by line, into the
// default section and the AppID sections with their permission entries.
#pragma once

#include <windows.h>

#include <string>

namespace dcperm {

// Permission kinds of an entry.
constexpr BYTE PermAccess = 0;
constexpr BYTE PermLaunch = 1;

struct TPermEntry {
    std::string Name;      // account name or alias, upper case
    PSID Sid = nullptr;    // owned (CoTaskMemAlloc), or none
    bool Allow = false;    // +ACCESS / +LAUNCH
    bool Delete = false;   // a del command
    BYTE Kind = PermAccess;
    DWORD Rights = 0;
    TPermEntry* Next = nullptr;
};

struct TAppIdSection {
    bool EditMode = false;
    GUID AppId = {};
    LONG AuthLevel = -1;
    TPermEntry* Entries = nullptr;
    TAppIdSection* Next = nullptr;
};

// The run-time integer conversion: optional blanks and sign, decimal or
// hexadecimal after "$" or "0X"/"0x". On failure `value` holds what the
// leading digits gave (0 when there were none).
bool ValInt(const std::string& text, LONG& value);

// Security identifier of an alias such as "%EVERYONE%" (copied into task
// memory), or nullptr when the alias is unknown.
PSID AliasToSid(const std::string& alias);

class TParser {
public:
    static constexpr int MaxTokens = 32;

    TParser() = default;
    ~TParser();
    TParser(const TParser&) = delete;
    TParser& operator=(const TParser&) = delete;

    // Processes one script line; 0 or the number of the error message.
    int ExecuteLine(const std::string& line);

    bool HasDefaults = false;
    bool InDefaultSection = false;
    bool DefaultEditMode = false;
    LONG DefaultAuthLevel = -1;
    LONG DefaultImpersLevel = -1;
    LONG DefaultEnableDCOM = -1;
    LONG DefaultEnableHTTP = -1;
    TPermEntry* DefaultEntries = nullptr;
    // Newest section first.
    TAppIdSection* Sections = nullptr;

    // Tokens of the last line (1-based, empty beyond the count) and its kind.
    const std::string& Token(int n) const;
    int TokenCount() const { return count_; }
    BYTE LineKind() const { return kind_; }

private:
    std::string tokens_[MaxTokens];
    int count_ = 0;
    BYTE kind_ = 0;

    void Tokenize(const std::string& line);
    bool HasSection() const { return InDefaultSection || Sections != nullptr; }
    int YesNo(int n, LONG& value) const;
    int Level(LONG& value, const char* const* aliases, int aliasCount, int error) const;
    int PermissionType(TPermEntry& e) const;
    int NameAt(int pos, TPermEntry& e) const;
    int SectionHeader();
    int SetCommand(bool del);
};

void FreeEntries(TPermEntry* list);

}  // namespace dcperm
