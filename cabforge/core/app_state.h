// Process-wide state of the archive builder, shared by start-up, archive creation and the windows.
#pragma once

#include <windows.h>

#include <string>

extern HINSTANCE g_instance;
// The process exit code; set by the modes and by the archive flows.
extern int g_exitCode;
// No progress window and no message boxes in any mode.
extern bool g_silent;
// The window named by "/hwnd:", or null.
extern HWND g_hostWindow;
// The last archive created successfully in this run (reported to the host at exit).
extern std::wstring g_lastArchivePath;
// The main window (created hidden in the project build and interactive modes), or null.
extern HWND g_mainWindow;

// Private messages.
const UINT WM_ARCHIVE_CREATED = WM_APP + 0x65;
const UINT WM_RESTORE_PLACEMENT = WM_APP + 0x66;

// Process exit codes.
const int kExitOk = 0;
const int kExitCompressWithoutProject = 101;
const int kExitNoXmlComponent = 102;
const int kExitProjectUnreadable = 103;
const int kExitProjectEmpty = 104;
const int kExitProjectBuildCancelled = 203;
const int kExitProjectBuildFailed = 204;
const int kExitFolderMissing = 301;
const int kExitCommandLineBuildFailed = 302;
