#include "Text.h"

#include <shellapi.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace zel {

// ---------------------------------------------------------------- exceptions

std::string SysErrorMessage(DWORD code) {
    char* buffer = nullptr;
    DWORD len = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS,
                               nullptr, code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text;
    if (len && buffer) text.assign(buffer, len);
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 32 || text.back() == '.'))
        text.pop_back();
    return text;
}

void RaiseLastOSError(DWORD code) {
    if (code == 0)
        throw EOSError(code, "Ошибка системного вызова");
    throw EOSError(code, Format("Системная ошибка. Код: %d.\r\n%s", {code, SysErrorMessage(code)}));
}

// ---------------------------------------------------------------- formatting

namespace {

[[noreturn]] void FormatError(const std::string& pattern) {
    throw EConvertError("Format '" + pattern + "' invalid or incompatible with argument");
}

// The digits at i as a count; one too large for an int stays at INT_MAX.
int ReadCount(const std::string& pattern, size_t& i) {
    int count = 0;
    for (; i < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[i])); ++i) {
        int digit = pattern[i] - '0';
        count = count > (INT_MAX - digit) / 10 ? INT_MAX : count * 10 + digit;
    }
    return count;
}

std::string Pad(std::string body, int width, bool left) {
    if (width > 0 && static_cast<int>(body.size()) < width) {
        std::string fill(width - body.size(), ' ');
        body = left ? body + fill : fill + body;
    }
    return body;
}

}  // namespace

std::string Format(const std::string& pattern, std::initializer_list<FmtArg> args) {
    return Format(pattern, std::vector<FmtArg>(args));
}

std::string Format(const std::string& pattern, const std::vector<FmtArg>& args) {
    std::string out;
    size_t next = 0;
    const size_t n = pattern.size();
    for (size_t i = 0; i < n; ++i) {
        char c = pattern[i];
        if (c != '%') {
            out += c;
            continue;
        }
        if (++i >= n) FormatError(pattern);
        if (pattern[i] == '%') {
            out += '%';
            continue;
        }
        bool left = false;
        int width = -1, precision = -1;
        if (pattern[i] == '-') {
            left = true;
            if (++i >= n) FormatError(pattern);
        }
        if (std::isdigit(static_cast<unsigned char>(pattern[i]))) {
            width = std::min(ReadCount(pattern, i), MaxFormatWidth);
            if (i >= n) FormatError(pattern);
        }
        if (pattern[i] == '.') {
            ++i;
            precision = ReadCount(pattern, i);
            if (i >= n) FormatError(pattern);
        }
        char type = static_cast<char>(std::toupper(static_cast<unsigned char>(pattern[i])));
        if (next >= args.size()) FormatError(pattern);
        const FmtArg& arg = args[next++];
        std::string body;
        switch (type) {
        case 'D':
        case 'U':
        case 'X': {
            if (arg.IsText()) FormatError(pattern);
            int64_t v = arg.Int();
            bool negative = false;
            uint64_t magnitude;
            char buf[32];
            if (type == 'X') {
                // Hexadecimal shows the bits: 32 of them when they fit.
                magnitude = (v >= INT32_MIN && v <= UINT32_MAX) ? static_cast<uint32_t>(v)
                                                                 : static_cast<uint64_t>(v);
                snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(magnitude));
            } else if (type == 'U') {
                magnitude = (v >= INT32_MIN && v <= UINT32_MAX) ? static_cast<uint32_t>(v)
                                                                 : static_cast<uint64_t>(v);
                snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(magnitude));
            } else {
                negative = v < 0;
                magnitude = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
                snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(magnitude));
            }
            body = buf;
            const int digits = std::min(precision, MaxFormatWidth);
            if (digits > 0 && static_cast<int>(body.size()) < digits)
                body = std::string(digits - body.size(), '0') + body;
            if (negative) body = "-" + body;
            break;
        }
        case 'S':
            if (!arg.IsText()) FormatError(pattern);
            body = arg.Text();
            if (precision >= 0 && static_cast<int>(body.size()) > precision) body.resize(precision);
            break;
        default:
            FormatError(pattern);
        }
        out += Pad(body, width, left);
    }
    return out;
}

// ---------------------------------------------------------------- conversion

namespace {

std::wstring MultiToWide(UINT cp, const std::string& text) {
    if (text.empty()) return std::wstring();
    int len = MultiByteToWideChar(cp, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(len, L'\0');
    MultiByteToWideChar(cp, 0, text.data(), static_cast<int>(text.size()), &out[0], len);
    return out;
}

std::string WideToMulti(UINT cp, const wchar_t* text, size_t size) {
    if (!text || size == 0) return std::string();
    // No best fit into the code page: a character it lacks becomes "?"
    // rather than a look-alike such as "\\" or "/" that would change the
    // meaning of a path.
    DWORD flags = cp == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    int len = WideCharToMultiByte(cp, flags, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
    std::string out(len, '\0');
    WideCharToMultiByte(cp, flags, text, static_cast<int>(size), &out[0], len, nullptr, nullptr);
    return out;
}

}  // namespace

std::wstring ToWide(const std::string& text) { return MultiToWide(CP_ACP, text); }
std::string ToAnsi(const wchar_t* text) { return text ? WideToMulti(CP_ACP, text, wcslen(text)) : std::string(); }
std::string ToAnsi(const std::wstring& text) { return WideToMulti(CP_ACP, text.data(), text.size()); }
std::wstring OemToWide(const std::string& text) { return MultiToWide(CP_OEMCP, text); }
std::string AnsiToUtf8(const std::string& text) { return WideToUtf8(ToWide(text)); }
std::string Utf8ToAnsi(const std::string& text) { return ToAnsi(Utf8ToWide(text)); }
std::string WideToUtf8(const std::wstring& text) { return WideToMulti(CP_UTF8, text.data(), text.size()); }
std::wstring Utf8ToWide(const std::string& text) { return MultiToWide(CP_UTF8, text); }

// ---------------------------------------------------------------- text

std::string UpperCase(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool SameText(const std::string& a, const std::string& b) { return UpperCase(a) == UpperCase(b); }

std::string Trim(const std::string& text) {
    size_t b = 0, e = text.size();
    while (b < e && static_cast<unsigned char>(text[b]) <= 32) ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= 32) --e;
    return text.substr(b, e - b);
}

std::string StringReplace(const std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return text;
    std::string out;
    size_t pos = 0;
    for (;;) {
        size_t hit = text.find(from, pos);
        if (hit == std::string::npos) break;
        out.append(text, pos, hit - pos);
        out += to;
        pos = hit + from.size();
    }
    out.append(text, pos, std::string::npos);
    return out;
}

namespace {

// Val-like parsing; false when the text is not completely a number in range.
// Hexadecimal fills the bits, so $FFFFFFFF is -1 as a 32-bit value.
bool ParseInteger(const std::string& text, bool is64, int64_t& value) {
    size_t i = 0, n = text.size();
    while (i < n && text[i] == ' ') ++i;
    bool negative = false;
    if (i < n && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    bool hex = false;
    if (i < n && text[i] == '$') {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i >= n) return false;
    const uint64_t base = hex ? 16 : 10;
    uint64_t acc = 0;
    for (; i < n; ++i) {
        char c = text[i];
        unsigned d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        if (acc > (UINT64_MAX - d) / base) return false;
        acc = acc * base + d;
    }
    uint64_t bits;
    if (hex) {
        if (!is64 && acc > 0xFFFFFFFFull) return false;
        bits = is64 ? acc : static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(acc)));
    } else {
        uint64_t limit = (is64 ? static_cast<uint64_t>(INT64_MAX) : static_cast<uint64_t>(INT32_MAX)) +
                         (negative ? 1 : 0);
        if (acc > limit) return false;
        bits = acc;
    }
    value = static_cast<int64_t>(negative ? 0 - bits : bits);
    return true;
}

}  // namespace

bool TryStrToInt(const std::string& text, int32_t& value) {
    int64_t v;
    if (!ParseInteger(text, false, v)) return false;
    value = static_cast<int32_t>(v);
    return true;
}

bool TryStrToInt64(const std::string& text, int64_t& value) { return ParseInteger(text, true, value); }

int32_t StrToIntDef(const std::string& text, int32_t def) {
    int32_t v;
    return TryStrToInt(text, v) ? v : def;
}

int64_t StrToInt64Def(const std::string& text, int64_t def) {
    int64_t v;
    return TryStrToInt64(text, v) ? v : def;
}

std::string ShortString(const std::string& text) { return text.size() > 255 ? text.substr(0, 255) : text; }

std::string LogSafeText(const std::string& text, size_t shown) {
    std::string out;
    for (size_t i = 0; i < text.size() && i < shown; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 32 || c == 127)
            out += Format("\\x%.2x", {static_cast<unsigned>(c)});
        else
            out += text[i];
    }
    if (text.size() > shown) out += "...";
    return out;
}

// ---------------------------------------------------------------- paths

std::string GetProgramPath() {
    char buffer[MAX_PATH * 2];
    DWORD len = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    return std::string(buffer, len);
}

std::string GetProgramDir() { return ExtractFilePath(GetProgramPath()); }

namespace {
size_t LastSeparator(const std::string& path) { return path.find_last_of("\\/:"); }
}  // namespace

std::string ExtractFilePath(const std::string& path) {
    size_t p = LastSeparator(path);
    return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}

std::string ExtractFileDir(const std::string& path) {
    size_t p = LastSeparator(path);
    if (p == std::string::npos) return std::string();
    if (p > 0 && path[p] != ':' && path[p - 1] != ':') return path.substr(0, p);
    return path.substr(0, p + 1);
}

std::string ExtractFileName(const std::string& path) {
    size_t p = LastSeparator(path);
    return p == std::string::npos ? path : path.substr(p + 1);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
    size_t dot = path.find_last_of(".\\/:");
    if (dot == std::string::npos || path[dot] != '.') return path + ext;
    return path.substr(0, dot) + ext;
}

std::string IncludeTrailingBackslash(const std::string& path) {
    if (!path.empty() && (path.back() == '\\' || path.back() == '/')) return path;
    return path + "\\";
}

bool FileExists(const std::string& path) {
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& path) {
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool ForceDirectories(const std::string& path) {
    std::string dir = path;
    while (dir.size() > 3 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
    if (dir.empty()) return false;
    if (DirectoryExists(dir)) return true;
    std::string parent = ExtractFileDir(dir);
    if (!parent.empty() && parent != dir && !ForceDirectories(parent)) return false;
    return CreateDirectoryA(dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool RemoveFile(const std::string& path) { return ::DeleteFileA(path.c_str()) != 0; }

std::string FileDateText(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return std::string();
    FILETIME local;
    SYSTEMTIME st;
    FileTimeToLocalFileTime(&data.ftLastWriteTime, &local);
    FileTimeToSystemTime(&local, &st);
    return Format("%.2d.%.2d.%.4d %.2d:%.2d:%.2d",
                  {st.wDay, st.wMonth, st.wYear, st.wHour, st.wMinute, st.wSecond});
}

bool FindCmdLineSwitch(const std::string& word) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return false;
    bool found = false;
    for (int i = 1; i < argc && !found; ++i) {
        std::string arg = ToAnsi(argv[i]);
        if (arg.size() > 1 && (arg[0] == '-' || arg[0] == '/') && SameText(arg.substr(1), word))
            found = true;
    }
    LocalFree(argv);
    return found;
}

}  // namespace zel
