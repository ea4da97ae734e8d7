#include "tarnbeam/ui/progress_window.h"

#include <commctrl.h>

#include "tarnbeam/resources/resource.h"
#include "tarnbeam/ui/window_utils.h"

namespace {

// Set by Cancel, read by the download between chunks (both on the UI thread).
bool g_cancelRequested = false;

BOOL OnInitDialog(HWND window) {
    SendDlgItemMessageW(window, IDC_PROGRESS, PBM_SETRANGE32, 0, 100);
    return TRUE;
}

INT_PTR CALLBACK ProgressProc(HWND window, UINT msg, WPARAM wParam, LPARAM) {
    switch (msg) {
    case WM_INITDIALOG:
        return OnInitDialog(window);
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) {
            g_cancelRequested = true;
            return TRUE;
        }
        break;
    }
    return FALSE;
}

} // namespace

HWND CreateProgressWindow(HWND owner) {
    g_cancelRequested = false;
    return ShowModelessDialog(IDD_PROGRESS, owner, ProgressProc);
}

void SetProgressPosition(HWND window, int percent) {
    SendDlgItemMessageW(window, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

bool ProgressCancelRequested() {
    return g_cancelRequested;
}
