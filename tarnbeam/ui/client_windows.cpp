#include "tarnbeam/ui/client_windows.h"

// The options dialog, the gathering window and the main dialog come with the dialog resources;
// until then the start-up sequence sees them as not available: no options dialog, no gathering
// window, and a main dialog that cannot be created (the run then ends with code 0).

void ShowOptionsDialog(HWND) {}

HWND CreateGatheringWindow(HWND) {
    return nullptr;
}

HWND CreateMainDialog(HWND, bool) {
    return nullptr;
}
