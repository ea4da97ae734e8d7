#include "cabforge/core/win_util.h"

#include <commctrl.h>
#include <commdlg.h>
#include <uxtheme.h>
#include <versionhelpers.h>

#include "cabforge/core/app_state.h"
#include "cabforge/resources/resource.h"

bool Utf16ToUtf8(const std::wstring &text, std::string &out) {
    out.clear();
    if (text.empty())
        return true;
    const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(),
                                      static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return false;
    out.resize(n);
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                               &out[0], n, nullptr, nullptr) == n;
}

bool Utf8ToUtf16(const char *text, std::wstring &out) {
    out.clear();
    if (!text || !*text)
        return true;
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (n <= 1)
        return false;
    out.resize(n);
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, &out[0], n) != n)
        return false;
    out.resize(n - 1);
    return true;
}

bool IsExistingFolder(const std::wstring &path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring FormatResource(UINT id, const std::wstring &value) {
    const wchar_t kPlaceholder[] = L"%1%";
    std::wstring text = LoadResourceString(id);
    const std::size_t at = text.find(kPlaceholder);
    if (at != std::wstring::npos)
        text.replace(at, wcslen(kPlaceholder), value);
    return text;
}

int ShowResourceMessage(HWND owner, UINT text, UINT style, const std::wstring &detail) {
    std::wstring message = LoadResourceString(text);
    if (!detail.empty())
        message += L"\n\n" + detail;
    return MessageBoxW(owner, message.c_str(), LoadResourceString(IDS_CAPTION).c_str(), style);
}

bool ChooseFileName(HWND owner, bool saving, UINT filter, const wchar_t *initial, const wchar_t *extension,
                    std::wstring &path) {
    std::wstring filterText = LoadResourceString(filter);
    for (wchar_t &c : filterText) {
        if (c == L'|')
            c = L'\0';
    }
    filterText.push_back(L'\0');
    wchar_t name[MAX_PATH] = {};
    lstrcpynW(name, initial, MAX_PATH);
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filterText.c_str();
    ofn.lpstrFile = name;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrDefExt = extension;
    ofn.Flags = OFN_EXPLORER | OFN_ENABLESIZING | OFN_HIDEREADONLY |
                (saving ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST);
    if (!(saving ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn)))
        return false;
    path = name;
    return true;
}

std::wstring LoadResourceString(UINT id) {
    const wchar_t *text = nullptr;
    const int n = LoadStringW(g_instance, id, reinterpret_cast<LPWSTR>(&text), 0);
    return n > 0 && text ? std::wstring(text, n) : std::wstring();
}

wchar_t ShellCaseFold(wchar_t c) {
    return static_cast<wchar_t>(reinterpret_cast<ULONG_PTR>(
        CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<unsigned short>(c))))));
}

bool IsVistaOrLater() {
    static const bool vista = IsWindowsVistaOrGreater();
    return vista;
}

void ApplyExplorerTreeTheme(HWND tree, DWORD lineStyles) {
    // Double buffering, automatic horizontal scrolling, fading expand buttons.
    const DWORD kExplorerTreeExStyles = 0x64;
    if (!IsVistaOrLater())
        return;
    SetWindowTheme(tree, L"explorer", nullptr);
    SetWindowLongW(tree, GWL_STYLE, GetWindowLongW(tree, GWL_STYLE) & ~static_cast<LONG>(lineStyles));
    SendMessageW(tree, TVM_SETEXTENDEDSTYLE, 0, kExplorerTreeExStyles);
}

// Centres the window over the visible main window, else over the screen, then keeps it on screen.
void CentreOverMainWindow(HWND dialog) {
    RECT own = {};
    GetWindowRect(dialog, &own);
    const int width = own.right - own.left;
    const int height = own.bottom - own.top;
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    const int screenHeight = GetSystemMetrics(SM_CYSCREEN);

    RECT area = {0, 0, screenWidth, screenHeight};
    if (g_mainWindow && IsWindowVisible(g_mainWindow))
        GetWindowRect(g_mainWindow, &area);
    int left = area.left + ((area.right - area.left) - width) / 2;
    int top = area.top + ((area.bottom - area.top) - height) / 2;
    if (left >= screenWidth - width)
        left = screenWidth - width;
    if (top >= screenHeight - height)
        top = screenHeight - height;
    if (left < 0)
        left = 0;
    if (top < 0)
        top = 0;
    UINT flags = SWP_NOSIZE | SWP_NOZORDER;
    if (!IsWindowVisible(dialog))
        flags |= SWP_NOACTIVATE;
    SetWindowPos(dialog, nullptr, left, top, 0, 0, flags);
}
