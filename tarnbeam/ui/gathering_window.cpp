#include "tarnbeam/ui/gathering_window.h"

#include "tarnbeam/resources/resource.h"
#include "tarnbeam/ui/window_utils.h"

namespace {

// The window has no behaviour: no buttons, no system menu, and the thread does not pump while
// it is up, so the default dialog processing is all it gets.
INT_PTR CALLBACK GatheringProc(HWND, UINT, WPARAM, LPARAM) {
    return FALSE;
}

} // namespace

HWND CreateGatheringWindow(HWND owner) {
    return ShowModelessDialog(IDD_GATHERING, owner, GatheringProc);
}
