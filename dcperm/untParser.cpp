#include "untParser.h"

#include <objbase.h>
#include <sddl.h>

#include "MsgTable_Const.h"

namespace dcperm {

namespace {

enum : BYTE {
    KindUnknown = 0,
    KindComment = 1,
    KindEmpty = 2,
    KindEdit = 3,
    KindSet = 4,
    KindDel = 5,
    KindAuthLevel = 6,
    KindAppId = 7,
    KindImpersLevel = 8,
    KindEnableDCOM = 9,
    KindEnableHTTP = 10,
};

const char* const Commands[] = {"EDIT", "SET", "DEL", "AUTHLEVEL", "APPID", "IMPERSLEVEL", "ENABLEDCOM",
                                "ENABLEHTTP"};

const char* const RightsAliases[] = {"COM_RIGHTS_EXECUTE", "COM_RIGHTS_EXECUTE_LOCAL", "COM_RIGHTS_EXECUTE_REMOTE",
                                     "COM_RIGHTS_ACTIVATE_LOCAL", "COM_RIGHTS_ACTIVATE_REMOTE"};

const char* const AuthLevelAliases[] = {"RPC_C_AUTHN_LEVEL_DEFAULT",      "RPC_C_AUTHN_LEVEL_NONE",
                                        "RPC_C_AUTHN_LEVEL_CONNECT",      "RPC_C_AUTHN_LEVEL_CALL",
                                        "RPC_C_AUTHN_LEVEL_PKT",          "RPC_C_AUTHN_LEVEL_PKT_INTEGRITY",
                                        "RPC_C_AUTHN_LEVEL_PKT_PRIVACY"};

const char* const ImpersLevelAliases[] = {"RPC_C_IMP_LEVEL_DEFAULT", "RPC_C_IMP_LEVEL_ANONYMOUS",
                                          "RPC_C_IMP_LEVEL_IDENTIFY", "RPC_C_IMP_LEVEL_IMPERSONATE",
                                          "RPC_C_IMP_LEVEL_DELEGATE"};

struct AccountAlias {
    const char* alias;
    const char* sid;
};
const AccountAlias AccountAliases[] = {
    {"%EVERYONE%", "S-1-1-0"},       {"%INTERACTIVE%", "S-1-5-4"},   {"%SERVICE%", "S-1-5-6"},
    {"%ANONYMOUS%", "S-1-5-7"},      {"%AUTHUSERS%", "S-1-5-11"},    {"%LOCALSYSTEM%", "S-1-5-18"},
    {"%ADMINS%", "S-1-5-32-544"},    {"%USERS%", "S-1-5-32-545"},    {"%GUESTS%", "S-1-5-32-546"},
    {"%POWERUSERS%", "S-1-5-32-547"},
};

template <size_t N>
int IndexOf(const char* const (&table)[N], const std::string& token) {
    for (size_t i = 0; i < N; ++i)
        if (token == table[i]) return static_cast<int>(i);
    return -1;
}

const std::string Empty;

}  // namespace

bool ValInt(const std::string& text, LONG& value) {
    value = 0;
    size_t i = 0, n = text.size();
    while (i < n && text[i] == ' ') ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    bool hex = false;
    if (i < n && text[i] == '$') {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'X' || text[i + 1] == 'x')) {
        hex = true;
        i += 2;
    }
    unsigned long long acc = 0;
    bool digits = false, ok = true;
    for (; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        unsigned d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else {
            ok = false;
            break;
        }
        unsigned long long next = acc * (hex ? 16 : 10) + d;
        // Decimal values must fit a signed 32-bit number, hexadecimal ones 32 bits.
        unsigned long long limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
        if (next > limit) {
            ok = false;
            break;
        }
        acc = next;
        digits = true;
    }
    if (!digits) ok = false;
    DWORD bits = static_cast<DWORD>(acc);
    if (negative) bits = 0u - bits;
    value = static_cast<LONG>(bits);
    return ok;
}

PSID AliasToSid(const std::string& alias) {
    for (const auto& a : AccountAliases) {
        if (alias != a.alias) continue;
        PSID sid = nullptr;
        if (!ConvertStringSidToSidA(a.sid, &sid)) return nullptr;
        DWORD len = GetLengthSid(sid);
        PSID copy = CoTaskMemAlloc(len);
        if (copy && !CopySid(len, copy, sid)) {
            CoTaskMemFree(copy);
            copy = nullptr;
        }
        LocalFree(sid);
        return copy;
    }
    return nullptr;
}

void FreeEntries(TPermEntry* list) {
    while (list) {
        TPermEntry* next = list->Next;
        if (list->Sid) CoTaskMemFree(list->Sid);
        delete list;
        list = next;
    }
}

TParser::~TParser() {
    FreeEntries(DefaultEntries);
    while (Sections) {
        TAppIdSection* next = Sections->Next;
        FreeEntries(Sections->Entries);
        delete Sections;
        Sections = next;
    }
}

const std::string& TParser::Token(int n) const { return n >= 1 && n <= count_ ? tokens_[n - 1] : Empty; }

void TParser::Tokenize(const std::string& line) {
    count_ = 0;
    for (auto& t : tokens_) t.clear();
    kind_ = KindUnknown;

    size_t b = 0, e = line.size();
    while (b < e && static_cast<unsigned char>(line[b]) <= 32) ++b;
    while (e > b && static_cast<unsigned char>(line[e - 1]) <= 32) --e;
    if (b == e) {
        kind_ = KindEmpty;
        return;
    }
    if (line[b] == ';') {
        kind_ = KindComment;
        return;
    }
    size_t semi = line.find(';', b);
    if (semi != std::string::npos && semi < e) e = semi;

    size_t i = b;
    while (i < e && count_ < MaxTokens) {
        if (line[i] == ' ') {
            ++i;
            continue;
        }
        std::string& t = tokens_[count_++];
        if (line[i] == '|') {
            t = "|";
            ++i;
            continue;
        }
        size_t start = i;
        while (i < e && line[i] != ' ' && line[i] != '|') ++i;
        t.assign(line, start, i - start);
        for (char& c : t)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    int cmd = IndexOf(Commands, tokens_[0]);
    kind_ = cmd < 0 ? static_cast<BYTE>(KindUnknown) : static_cast<BYTE>(KindEdit + cmd);
}

int TParser::YesNo(int n, LONG& value) const {
    if (count_ < n) return MSG_INVALID_LINE_FORMAT;
    const std::string& t = Token(n);
    if (t[0] == 'Y') value = 1;
    else if (t[0] == 'N') value = 0;
    else return MSG_INVALID_LINE_FORMAT;
    return 0;
}

int TParser::Level(LONG& value, const char* const* aliases, int aliasCount, int error) const {
    if (count_ != 2) return MSG_INVALID_LINE_FORMAT;
    LONG v = 0;
    if (!ValInt(tokens_[1], v)) {
        // An alias, or else whatever the leading digits gave.
        for (int i = 0; i < aliasCount; ++i)
            if (tokens_[1] == aliases[i]) {
                v = i;
                break;
            }
    }
    if (static_cast<DWORD>(v) >= static_cast<DWORD>(aliasCount)) return error;
    value = v;
    return 0;
}

int TParser::PermissionType(TPermEntry& e) const {
    if (count_ < 2) return MSG_INVALID_PERM_TYPE;
    const std::string& t = tokens_[1];
    if (t == "+ACCESS") e.Allow = true, e.Kind = PermAccess;
    else if (t == "-ACCESS") e.Allow = false, e.Kind = PermAccess;
    else if (t == "+LAUNCH") e.Allow = true, e.Kind = PermLaunch;
    else if (t == "-LAUNCH") e.Allow = false, e.Kind = PermLaunch;
    else return MSG_INVALID_PERM_TYPE;
    return 0;
}

int TParser::NameAt(int pos, TPermEntry& e) const {
    const std::string& name = Token(pos);
    if (pos != count_) return name.empty() ? MSG_NO_ACCOUNT_NAME : MSG_INVALID_LINE_FORMAT;
    e.Name = name;
    if (name[0] == '%') {
        e.Sid = AliasToSid(name);
        if (!e.Sid) return MSG_UNKNOWN_ALIAS;
    }
    return 0;
}

int TParser::SectionHeader() {
    if (count_ != 2) return MSG_INVALID_LINE_FORMAT;
    if (tokens_[1] == "DEFAULT") {
        InDefaultSection = true;
        if (HasDefaults) return MSG_DEFAULTS_REPEATED;
        HasDefaults = true;
        DefaultAuthLevel = DefaultImpersLevel = DefaultEnableDCOM = DefaultEnableHTTP = -1;
        return 0;
    }
    InDefaultSection = false;
    const std::string& t = tokens_[1];
    // A GUID in braces is 38 characters; anything with a zero byte is garbage.
    if (t.find('\0') != std::string::npos || t.size() > 256) return MSG_INVALID_APPID;
    wchar_t wide[260];
    int len = MultiByteToWideChar(CP_ACP, 0, t.data(), static_cast<int>(t.size()), wide, 259);
    if (len <= 0) return MSG_INVALID_APPID;
    wide[len] = 0;
    GUID id;
    if (FAILED(CLSIDFromString(wide, &id))) return MSG_INVALID_APPID;
    auto* s = new TAppIdSection;
    s->AppId = id;
    s->Next = Sections;
    Sections = s;
    return 0;
}

int TParser::SetCommand(bool del) {
    TPermEntry e;
    e.Delete = del;
    int r = PermissionType(e);
    int pos = 3;
    if (r == 0 && !del) {
        if (Token(3) != "RIGHTS") {
            e.Rights = 1;
        } else {
            e.Rights = 0;
            pos = 4;
            while (pos <= count_) {
                LONG v = 0;
                if (!ValInt(Token(pos), v)) {
                    int a = IndexOf(RightsAliases, Token(pos));
                    if (a < 0) {
                        r = MSG_INVALID_RIGHTS;
                        break;
                    }
                    v = 1 << a;
                }
                e.Rights |= static_cast<DWORD>(v);
                ++pos;
                if (Token(pos) != "|") break;
                ++pos;
            }
        }
    }
    if (r == 0) r = NameAt(pos, e);
    if (r != 0) {
        if (e.Sid) CoTaskMemFree(e.Sid);
        return r;
    }
    auto* entry = new TPermEntry(e);
    TPermEntry*& list = InDefaultSection ? DefaultEntries : Sections->Entries;
    entry->Next = list;
    list = entry;
    return 0;
}

int TParser::ExecuteLine(const std::string& line) {
    Tokenize(line);
    switch (kind_) {
    case KindComment:
    case KindEmpty:
        return 0;
    case KindEdit: {
        if (!HasSection()) return MSG_APPID_NOT_FOUND;
        LONG v = 0;
        if (int r = YesNo(2, v)) return r;
        if (InDefaultSection) DefaultEditMode = v == 1;
        else Sections->EditMode = v == 1;
        return 0;
    }
    case KindSet:
    case KindDel:
        if (!HasSection()) return MSG_APPID_NOT_FOUND;
        return SetCommand(kind_ == KindDel);
    case KindAuthLevel: {
        if (!HasSection()) return MSG_APPID_NOT_FOUND;
        LONG v = 0;
        if (int r = Level(v, AuthLevelAliases, 7, MSG_INVALID_AUTHLEVEL)) return r;
        if (InDefaultSection) DefaultAuthLevel = v;
        else Sections->AuthLevel = v;
        return 0;
    }
    case KindAppId:
        return SectionHeader();
    case KindImpersLevel:
        if (!InDefaultSection) return MSG_COMMAND_NOT_ALLOWED;
        return Level(DefaultImpersLevel, ImpersLevelAliases, 5, MSG_INVALID_IMPERSLEVEL);
    case KindEnableDCOM:
    case KindEnableHTTP:
        if (!InDefaultSection) return MSG_COMMAND_NOT_ALLOWED;
        return YesNo(2, kind_ == KindEnableDCOM ? DefaultEnableDCOM : DefaultEnableHTTP);
    default:
        return MSG_UNKNOWN_COMMAND;
    }
}

}  // namespace dcperm
