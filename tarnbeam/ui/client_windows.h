// The update client's windows as the start-up sequence sees them.
#pragma once

#include <windows.h>

// Shows the options dialog owned by `owner` and returns when it closes.
void ShowOptionsDialog(HWND owner);

// Creates the gathering window (modeless, centred over `owner`, painted at once); may be null.
HWND CreateGatheringWindow(HWND owner);

// Creates the main dialog (modeless, not yet visible); null when it cannot be created.
HWND CreateMainDialog(HWND owner, bool autoCheck);
