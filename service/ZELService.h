// The program unit: process-wide objects, the command-line roles, the
// Windows service registration, the service main procedure and its control
// handler.
#pragma once

#include <windows.h>

#include <string>

namespace zel {

extern const char* const ServiceName;         // "ZELUpdate"
extern const char* const ServiceDescription;  // "Служба обновления ЗЕЛ"

// Created before the command line is read, destroyed in reverse order.
void CreateProcessObjects();
void DestroyProcessObjects();

// Runs the role chosen by the command line; returns the exit code.
int RunProgram();

void InstallService();    // raises EOSError on failure
void UninstallService();  // raises EOSError on failure

// Stop signalling of the service run, handed to the scheduler it starts.
extern HANDLE StopEvent;
extern HANDLE DownloaderDoneEvent;
// True when the service has stopped but its scheduler, which did not end in
// the time given to it, is still at work.
bool IsDownloaderRunning();

void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
void WINAPI ServiceCtrlHandler(DWORD control);

}  // namespace zel
