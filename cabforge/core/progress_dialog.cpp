#include "cabforge/core/progress_dialog.h"

#include "cabforge/core/app_state.h"
#include "cabforge/core/cmdline/command_line.h"
#include "cabforge/core/win_util.h"
#include "cabforge/resources/resource.h"

namespace {

HWND g_dialog = nullptr;
HWND g_disabledWindow = nullptr;
bool g_cancel = false;

const int kDetailReadChars = 200;

void OnCancel(HWND dialog) {
    g_cancel = true;
    g_dialog = nullptr;
    if (g_disabledWindow) {
        EnableWindow(g_disabledWindow, TRUE);
        g_disabledWindow = nullptr;
    }
    DestroyWindow(dialog);
}

INT_PTR CALLBACK ProgressProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        CentreOverMainWindow(dialog);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) {
            OnCancel(dialog);
            return TRUE;
        }
        break;
    case WM_CLOSE:
        OnCancel(dialog);
        return TRUE;
    }
    return FALSE;
}

} // namespace

namespace ProgressDialog {

bool open(HWND owner, bool disableOwner) {
    close();
    HWND dialog = CreateDialogParamW(g_instance, MAKEINTRESOURCEW(IDD_PROGRESS), owner, ProgressProc, 0);
    if (!dialog)
        return false;
    g_dialog = dialog;
    g_disabledWindow = disableOwner ? owner : nullptr;
    ShowWindow(dialog, SW_SHOW);
    UpdateWindow(dialog);
    if (g_disabledWindow)
        EnableWindow(g_disabledWindow, FALSE);
    return true;
}

void setHeading(const std::wstring &text) {
    if (g_dialog)
        SetDlgItemTextW(g_dialog, IDC_PROGRESS_HEADING, text.c_str());
}

void setDetail(const std::wstring &text) {
    if (!g_dialog)
        return;
    wchar_t shown[kDetailReadChars + 1] = {};
    GetDlgItemTextW(g_dialog, IDC_PROGRESS_DETAIL, shown, kDetailReadChars + 1);
    if (text != shown)
        SetDlgItemTextW(g_dialog, IDC_PROGRESS_DETAIL, text.c_str());
}

void pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(0);
            return;
        }
        if (g_dialog && IsDialogMessageW(g_dialog, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void close() {
    if (!g_dialog)
        return;
    HWND dialog = g_dialog;
    g_dialog = nullptr;
    if (g_disabledWindow) {
        EnableWindow(g_disabledWindow, TRUE);
        g_disabledWindow = nullptr;
    }
    DestroyWindow(dialog);
}

HWND handle() {
    return g_dialog;
}

bool cancelled() {
    return g_cancel;
}

void clearCancel() {
    g_cancel = false;
}

} // namespace ProgressDialog

bool CommandLineProgress(const std::wstring &source, unsigned long, unsigned long, LPARAM) {
    if (!ProgressDialog::handle())
        return true;
    ProgressDialog::pump();
    ProgressDialog::setDetail(cfcmd::fileNamePart(source));
    return !ProgressDialog::cancelled();
}

bool InteractiveProgress(const std::wstring &source, unsigned long, unsigned long, LPARAM) {
    ProgressDialog::pump();
    ProgressDialog::setDetail(cfcmd::fileNamePart(source));
    return !ProgressDialog::cancelled();
}
