// The builder's main window ("cabforge_class"): the menu, the splitter with the archive pane on
// the left and the file-system pane on the right, the commands, the stored layout and the
// closing sequence.
#pragma once

#include <windows.h>

extern const wchar_t kMainWindowClass[];

// Registers the splitter and main window classes and creates the window, not yet visible; it
// becomes g_mainWindow. `integrated`: a host window was named, so the File menu gets
// "Create Archive File and Exit". Null when a class cannot be registered or the window (or one of
// its panes) cannot be created.
HWND CreateMainWindow(bool integrated);
