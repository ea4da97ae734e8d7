// The update client's start-up sequence: run modes, first-run notice, once-a-day rule, the
// decision whether to open the main dialog, and the exit codes.
#pragma once

#include <windows.h>

// Exit codes of the update client.
enum ExitCode {
    kExitNormal = 0,
    kExitStartupOff = 1, // automatic check requested, but the options switch it off
    kExitBadConfiguration = -1,
};

// Process state of the start-up sequence, read by the main dialog.
// The start-up options as read from the registry; the options dialogs change them in memory as
// they store them.
struct StartupOptions {
    bool autoCheckUpdate = true;
    bool showOnNewInformation = true;
    DWORD showOption = 1;
};
extern StartupOptions g_startupOptions;

extern HWND g_hostWindow;
extern HWND g_notifyWindow;
extern bool g_autoCheck;
extern bool g_helloShown;
extern bool g_checkFailed;
extern int g_checkErrorCode;
extern wchar_t g_caption[200];

int RunUpdateClient(HINSTANCE instance);
