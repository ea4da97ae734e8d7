// A top-level window with one control of each kind hostapp reads (button, check box, list
// view, tab control, tree view, static text, disabled button).
#pragma once

#include <windows.h>

#include <string>

// Shows the window and runs its message loop until it is destroyed. Returns the id of the
// button that closed it, or 0 when it was closed otherwise.
int RunTestWindow(HINSTANCE instance, HWND owner, const std::wstring &caption);
