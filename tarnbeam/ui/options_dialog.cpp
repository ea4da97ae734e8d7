#include "tarnbeam/ui/options_dialog.h"

#include <string>

#include "tarnbeam/app/config.h"
#include "tarnbeam/app/settings.h"
#include "tarnbeam/app/startup.h"
#include "tarnbeam/resources/resource.h"
#include "tarnbeam/ui/window_utils.h"

namespace {

// What one open options dialog works on; it lives on the caller's stack for the modal loop.
struct OptionsDialogState {
    bool integrateMode = false;
    StartupOptions *options = nullptr;
    const std::wstring *productKey = nullptr;
};

OptionsDialogState *StateOf(HWND dialog) {
    return reinterpret_cast<OptionsDialogState *>(GetWindowLongPtrW(dialog, DWLP_USER));
}

bool IsChecked(HWND dialog, int id) {
    return IsDlgButtonChecked(dialog, id) == BST_CHECKED;
}

void SetChecked(HWND dialog, int id, bool checked) {
    CheckDlgButton(dialog, id, checked ? BST_CHECKED : BST_UNCHECKED);
}

// The radio button for a stored ShowOption; values other than 1 and 2 show as "nothing".
int RadioForShowOption(DWORD showOption) {
    switch (showOption) {
    case 1:
        return IDC_SHOW_ANY_NEWS;
    case 2:
        return IDC_SHOW_UPDATES_ONLY;
    default:
        return IDC_SHOW_NOTHING;
    }
}

DWORD ShowOptionFromRadios(HWND dialog) {
    if (IsChecked(dialog, IDC_SHOW_ANY_NEWS))
        return 1;
    if (IsChecked(dialog, IDC_SHOW_NOTHING))
        return 0;
    return 2;
}

// Write failures are not reported: the value in memory holds for this run all the same.
void StoreChoices(HWND dialog, OptionsDialogState &state) {
    StartupOptions &options = *state.options;
    const std::wstring &key = *state.productKey;
    if (state.integrateMode) {
        options.autoCheckUpdate = IsChecked(dialog, IDC_AUTO_CHECK_UPDATE);
        options.showOnNewInformation = IsChecked(dialog, IDC_SHOW_ON_NEW_INFORMATION);
        WriteRegNumber(key, L"AutoCheckUpdate", options.autoCheckUpdate ? 1 : 0);
        WriteRegNumber(key, L"ShowOnNewInformation", options.showOnNewInformation ? 1 : 0);
    } else {
        options.showOption = ShowOptionFromRadios(dialog);
        WriteRegNumber(key, L"ShowOption", options.showOption);
    }
}

void OnInitDialog(HWND dialog, OptionsDialogState *state) {
    SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(state));
    const StartupOptions &options = *state->options;
    if (state->integrateMode) {
        SetChecked(dialog, IDC_AUTO_CHECK_UPDATE, options.autoCheckUpdate);
        SetChecked(dialog, IDC_SHOW_ON_NEW_INFORMATION, options.showOnNewInformation);
    } else {
        CheckRadioButton(dialog, IDC_SHOW_NOTHING, IDC_SHOW_UPDATES_ONLY,
                         RadioForShowOption(options.showOption));
    }
    CenterWindow(dialog, GetWindow(dialog, GW_OWNER));
}

bool OnCommand(HWND dialog, int id) {
    OptionsDialogState *state = StateOf(dialog);
    switch (id) {
    case IDOK:
        if (state)
            StoreChoices(dialog, *state);
        EndDialog(dialog, IDOK);
        return true;
    case IDCANCEL: // also Esc and the title-bar close
        EndDialog(dialog, IDCANCEL);
        return true;
    default:
        return false;
    }
}

INT_PTR CALLBACK OptionsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog(dialog, reinterpret_cast<OptionsDialogState *>(lParam));
        return TRUE;
    case WM_COMMAND:
        return OnCommand(dialog, LOWORD(wParam)) ? TRUE : FALSE;
    default:
        return FALSE;
    }
}

} // namespace

int ShowOptionsDialog(HWND owner) {
    OptionsDialogState state;
    state.integrateMode = g_config.IntegrateMode;
    state.options = &g_startupOptions;
    state.productKey = &g_config.RegKey;
    const int dialogId = state.integrateMode ? IDD_OPTIONS_INTEGRATE : IDD_OPTIONS;
    const INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(dialogId), owner,
                                           OptionsDialogProc, reinterpret_cast<LPARAM>(&state));
    return result == IDOK ? IDOK : IDCANCEL;
}
