// The builder's main window ("cabforge_class"). For now a top-level frame with the menu: it
// carries the single-instance rule, the close sequence and the report to the host window.
#pragma once

#include <windows.h>

extern const wchar_t kMainWindowClass[];

// Registers the class and creates the window, not yet visible; it becomes g_mainWindow.
// `integrated`: a host window was named, so the File menu gets "Create Archive File and Exit".
HWND CreateMainWindow(bool integrated);
