// pakkit6_setup_demo.exe: the demo's update program. Shows one window that names the folder it
// was started from (the update client's verified download) and closes after a few seconds, or
// at once on OK. Writes "started <its own path>" to the file TB_DEMO_LOG names, if any, so the
// demo can tell that it ran.
#include <windows.h>

#include <string>

#include "demo/installer/resource.h"

namespace {

// Long enough for the demo to take its picture.
const UINT kCloseAfterMs = 6000;
const UINT_PTR kCloseTimer = 1;
const DWORD kValueChars = 1024;

std::wstring OwnPath() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(path, length) : std::wstring();
}

void NoteStart(const std::wstring &self) {
    wchar_t log[kValueChars] = {};
    const DWORD length = GetEnvironmentVariableW(L"TB_DEMO_LOG", log, kValueChars);
    if (length == 0 || length >= kValueChars)
        return;
    HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const std::wstring line = L"started " + self + L"\n";
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &utf8[0], bytes, nullptr,
                            nullptr);
    DWORD written = 0;
    WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
}

INT_PTR OnInitDialog(HWND dialog) {
    const std::wstring self = OwnPath();
    SetDlgItemTextW(dialog, IDC_FOLDER, self.substr(0, self.find_last_of(L'\\')).c_str());
    SetTimer(dialog, kCloseTimer, kCloseAfterMs, nullptr);
    return TRUE;
}

INT_PTR CALLBACK SetupProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(dialog);
    case WM_TIMER:
    case WM_COMMAND:
        if (message == WM_TIMER || LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        break;
    default:
        break;
    }
    return FALSE;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    NoteStart(OwnPath());
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_SETUP), nullptr, SetupProc, 0);
    return 0;
}
