// The progress window of the update download: a line of text, a bar from 0 to 100 and Cancel.
#pragma once

#include <windows.h>

// Creates the window modeless over `owner`, centred, shown and painted; null when it cannot be
// created. The cancel request is cleared.
HWND CreateProgressWindow(HWND owner);

// Moves the bar to `percent` (0..100).
void SetProgressPosition(HWND window, int percent);

// True once Cancel was pressed in the window since it was created.
bool ProgressCancelRequested();
