// The small window shown while the version check and the news feed are being read.
#pragma once

#include <windows.h>

// Creates the gathering window modeless over `owner`, centred and painted at once; null when it
// cannot be created. The caller destroys it when gathering ends.
HWND CreateGatheringWindow(HWND owner);
