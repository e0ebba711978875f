// Stand-in for <winhttp.h>: no network here. Every address fails to be
// taken apart (ERROR_WINHTTP_UNRECOGNIZED_SCHEME), so an exchange fails as
// it does when the server cannot be reached.
#pragma once

#include <windows.h>

using HINTERNET = void*;
using INTERNET_PORT = WORD;
using INTERNET_SCHEME = int;

#define INTERNET_SCHEME_HTTP 1
#define INTERNET_SCHEME_HTTPS 2

struct URL_COMPONENTS {
    DWORD dwStructSize;
    LPWSTR lpszScheme;
    DWORD dwSchemeLength;
    INTERNET_SCHEME nScheme;
    LPWSTR lpszHostName;
    DWORD dwHostNameLength;
    INTERNET_PORT nPort;
    LPWSTR lpszUserName;
    DWORD dwUserNameLength;
    LPWSTR lpszPassword;
    DWORD dwPasswordLength;
    LPWSTR lpszUrlPath;
    DWORD dwUrlPathLength;
    LPWSTR lpszExtraInfo;
    DWORD dwExtraInfoLength;
};

#define WINHTTP_ERROR_BASE 12000
#define WINHTTP_ERROR_LAST 12188
#define ERROR_WINHTTP_UNRECOGNIZED_SCHEME 12006

#define WINHTTP_ACCESS_TYPE_NO_PROXY 1
#define WINHTTP_ACCESS_TYPE_NAMED_PROXY 3
#define WINHTTP_NO_PROXY_NAME nullptr
#define WINHTTP_NO_PROXY_BYPASS nullptr
#define WINHTTP_NO_REFERER nullptr
#define WINHTTP_DEFAULT_ACCEPT_TYPES nullptr
#define WINHTTP_NO_ADDITIONAL_HEADERS nullptr
#define WINHTTP_NO_REQUEST_DATA nullptr
#define WINHTTP_HEADER_NAME_BY_INDEX nullptr
#define WINHTTP_NO_OUTPUT_BUFFER nullptr
#define WINHTTP_NO_HEADER_INDEX nullptr
#define WINHTTP_FLAG_SECURE 0x00800000
#define WINHTTP_FLAG_ESCAPE_DISABLE 0x00000040
#define WINHTTP_FLAG_ESCAPE_DISABLE_QUERY 0x00000080
#define WINHTTP_QUERY_CONTENT_LENGTH 5
#define WINHTTP_QUERY_STATUS_CODE 19
#define WINHTTP_QUERY_STATUS_TEXT 20
#define WINHTTP_QUERY_CUSTOM 65535
#define WINHTTP_QUERY_FLAG_NUMBER 0x20000000
#define WINHTTP_AUTH_TARGET_PROXY 1
#define WINHTTP_AUTH_SCHEME_BASIC 1
#define HTTP_STATUS_PROXY_AUTH_REQ 407

BOOL WinHttpCrackUrl(LPCWSTR url, DWORD size, DWORD flags, URL_COMPONENTS* parts);
HINTERNET WinHttpOpen(LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR bypass, DWORD flags);
HINTERNET WinHttpConnect(HINTERNET session, LPCWSTR server, INTERNET_PORT port, DWORD reserved);
HINTERNET WinHttpOpenRequest(HINTERNET connection, LPCWSTR verb, LPCWSTR path, LPCWSTR version, LPCWSTR referrer,
                             LPCWSTR* acceptTypes, DWORD flags);
BOOL WinHttpSendRequest(HINTERNET request, LPCWSTR headers, DWORD headersSize, LPVOID data, DWORD size, DWORD total,
                        DWORD_PTR context);
BOOL WinHttpReceiveResponse(HINTERNET request, LPVOID reserved);
BOOL WinHttpQueryHeaders(HINTERNET request, DWORD info, LPCWSTR name, LPVOID buffer, LPDWORD size, LPDWORD index);
BOOL WinHttpSetCredentials(HINTERNET request, DWORD target, DWORD scheme, LPCWSTR user, LPCWSTR password,
                           LPVOID params);
BOOL WinHttpReadData(HINTERNET request, LPVOID buffer, DWORD size, LPDWORD got);
BOOL WinHttpCloseHandle(HINTERNET handle);
