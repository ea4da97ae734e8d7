#include "cabforge/ui/about_dialog.h"

#include <cwchar>
#include <string>
#include <vector>

#include "cabforge/core/app_state.h"
#include "cabforge/core/win_util.h"
#include "cabforge/resources/resource.h"

namespace {

// The FileVersion text of the first translation of the program's version resource; empty when
// there is none.
std::wstring ProgramFileVersion() {
    wchar_t program[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::wstring();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(program, &ignored);
    if (size == 0)
        return std::wstring();
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(program, 0, size, block.data()))
        return std::wstring();
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation *translations = nullptr;
    UINT translationBytes = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translations),
                        &translationBytes) ||
        translationBytes < sizeof(Translation))
        return std::wstring();
    wchar_t subBlock[64] = {};
    std::swprintf(subBlock, 64, L"\\StringFileInfo\\%04x%04x\\FileVersion", translations[0].language,
                  translations[0].codePage);
    wchar_t *version = nullptr;
    UINT chars = 0;
    if (!VerQueryValueW(block.data(), subBlock, reinterpret_cast<void **>(&version), &chars) || !version)
        return std::wstring();
    return std::wstring(version).substr(0, 39);
}

void OnInitDialog(HWND dialog) {
    const std::wstring version = ProgramFileVersion();
    if (!version.empty())
        SetDlgItemTextW(dialog, IDC_ABOUT_VERSION, (L"Version " + version).c_str());
    CentreOverMainWindow(dialog);
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog(dialog);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

} // namespace

void ShowAboutDialog(HWND owner) {
    DialogBoxParamW(g_instance, MAKEINTRESOURCEW(IDD_ABOUT), owner, AboutProc, 0);
}
