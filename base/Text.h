// Run-time helpers shared by every unit of the service: the text formatter,
// the exception classes, the one place where texts change encoding, paths
// and files.
//
// Narrow strings are Windows-1251 throughout (the compiler writes string
// literals in that code page); UTF-16 appears only at the COM boundary and
// for BITS, through ToWide/ToAnsi below.
#pragma once

#include <windows.h>

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <vector>

namespace zel {

// ---------------------------------------------------------------- exceptions

// The general error class: every own exception derives from it.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const { return message_; }

private:
    std::string message_;
};

// A failed system call; carries the system error code.
class EOSError : public Exception {
public:
    EOSError(DWORD code, std::string message) : Exception(std::move(message)), code_(code) {}
    DWORD ErrorCode() const { return code_; }

private:
    DWORD code_;
};

// A pattern that does not fit its arguments, a text that is not a number.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A file that cannot be opened, created or written.
class EStreamError : public Exception {
public:
    using Exception::Exception;
};

// The system's text for an error code, without trailing blanks, line breaks
// and dots.
std::string SysErrorMessage(DWORD code);

// Raises EOSError for the code (GetLastError() by default).
[[noreturn]] void RaiseLastOSError(DWORD code = GetLastError());

// ---------------------------------------------------------------- formatting

// One argument of Format: an integer or a text.
class FmtArg {
public:
    FmtArg(int v) : isText_(false), int_(v) {}
    FmtArg(long v) : isText_(false), int_(v) {}
    FmtArg(unsigned v) : isText_(false), int_(v) {}
    FmtArg(unsigned long v) : isText_(false), int_(static_cast<int64_t>(v)) {}
    FmtArg(long long v) : isText_(false), int_(v) {}
    FmtArg(unsigned long long v) : isText_(false), int_(static_cast<int64_t>(v)) {}
    FmtArg(const char* v) : isText_(true), int_(0), text_(v ? v : "") {}
    FmtArg(const std::string& v) : isText_(true), int_(0), text_(v) {}

    bool IsText() const { return isText_; }
    int64_t Int() const { return int_; }
    const std::string& Text() const { return text_; }

private:
    bool isText_;
    int64_t int_;
    std::string text_;
};

// The run-time's Format: "%" ["-"] [width] ["." precision] type, with the
// types d, u, x (upper-case digits) and s, and "%%" for a percent sign.
// Raises EConvertError when the pattern does not fit the arguments.
// A field is padded (width) or filled with zeros (precision of a number) to
// at most MaxFormatWidth characters: a larger number asks for no more. A
// precision of text cuts the text where it says, however large.
constexpr int MaxFormatWidth = 4096;
std::string Format(const std::string& pattern, std::initializer_list<FmtArg> args);
std::string Format(const std::string& pattern, const std::vector<FmtArg>& args);

// ---------------------------------------------------------------- conversion

// The only conversions between the system's single-byte texts (the ANSI
// code page, 1251 on the target machines) and UTF-16.
std::wstring ToWide(const std::string& text);
std::string ToAnsi(const wchar_t* text);
std::string ToAnsi(const std::wstring& text);
// What console programs write to a pipe or a file: the OEM code page.
std::wstring OemToWide(const std::string& text);
// UTF-8 for the update server exchange.
std::string AnsiToUtf8(const std::string& text);
std::string Utf8ToAnsi(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
std::wstring Utf8ToWide(const std::string& text);

// ---------------------------------------------------------------- text

std::string UpperCase(const std::string& text);  // ASCII letters only
bool SameText(const std::string& a, const std::string& b);  // ASCII, case-insensitive
std::string Trim(const std::string& text);  // characters up to code 32 at both ends
std::string StringReplace(const std::string& text, const std::string& from, const std::string& to);

// The run-time's integer conversions: optional blanks, sign, "$" or "0x"
// for hexadecimal; the whole text must be the number.
bool TryStrToInt(const std::string& text, int32_t& value);
bool TryStrToInt64(const std::string& text, int64_t& value);
int32_t StrToIntDef(const std::string& text, int32_t def);
int64_t StrToInt64Def(const std::string& text, int64_t def);

// Cuts a text to the 255 characters of a short string field.
std::string ShortString(const std::string& text);

// The one form in which a text of a client or of a server goes into the
// log: control characters (line breaks among them) as \xNN, cut after
// `shown` characters ("..." marks the cut), so that no such text can forge
// or flood log lines. A dump of a whole exchange gives std::string::npos.
std::string LogSafeText(const std::string& text, size_t shown = 256);

// ---------------------------------------------------------------- paths

// Full path of the running program file.
std::string GetProgramPath();
// Its directory with a trailing backslash.
std::string GetProgramDir();
std::string ExtractFilePath(const std::string& path);  // with trailing separator
std::string ExtractFileDir(const std::string& path);   // without it
std::string ExtractFileName(const std::string& path);
std::string ChangeFileExt(const std::string& path, const std::string& ext);
std::string IncludeTrailingBackslash(const std::string& path);

bool FileExists(const std::string& path);       // a file, not a directory
bool DirectoryExists(const std::string& path);
bool ForceDirectories(const std::string& path);  // creates missing parents
bool RemoveFile(const std::string& path);   // true when the file is gone

// Last-write time of a file in local time as "dd.mm.yyyy hh:nn:ss".
std::string FileDateText(const std::string& path);

// Is the switch on the command line: a parameter that begins with "-" or
// "/" and whose rest equals the word, letter case ignored.
bool FindCmdLineSwitch(const std::string& word);

}  // namespace zel
