// A client program for the installer tests. Appends one line
// "<pid>|<command line>|<current directory>" to caller.log beside itself,
// then waits the time given by /linger=ms (default 0) and ends.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main() {
    char path[MAX_PATH] = {0}, dir[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    GetCurrentDirectoryA(MAX_PATH, dir);
    std::string log = path;
    log = log.substr(0, log.find_last_of('\\') + 1) + "caller.log";
    if (FILE* f = fopen(log.c_str(), "ab")) {
        fprintf(f, "%lu|%s|%s\r\n", GetCurrentProcessId(), GetCommandLineA(), dir);
        fclose(f);
    }
    const char* linger = strstr(GetCommandLineA(), "/linger=");
    if (linger) Sleep(static_cast<DWORD>(strtoul(linger + 8, nullptr, 10)));
    return 0;
}
