// Stand-in for <shellapi.h>: no command line to split here.
#pragma once

#include <windows.h>

LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* count);
