#include "cabforge/ui/layout_settings.h"

#include "cabforge/core/archive_paths.h"
#include "cabforge/core/win_handles.h"

namespace {

const wchar_t kCompressorKey[] = L"Software\\Ondrel\\Pakkit 6\\Compressor";
const wchar_t kWindowKey[] = L"Software\\Ondrel\\Pakkit 6\\Compressor\\Window";

DWORD ReadDword(const wchar_t *key, const wchar_t *name, DWORD fallback) {
    RegKeyHandle opened;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, opened.put()) != ERROR_SUCCESS)
        return fallback;
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExW(opened.get(), name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size) !=
            ERROR_SUCCESS ||
        size != sizeof value)
        return fallback;
    return value;
}

// Failures are ignored: the layout is a convenience.
void WriteDword(const wchar_t *key, const wchar_t *name, DWORD value) {
    RegKeyHandle created;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_WRITE, nullptr, created.put(), nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExW(created.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
}

int ReadInt(const wchar_t *name, int fallback) {
    return static_cast<int>(ReadDword(kWindowKey, name, static_cast<DWORD>(fallback)));
}

// A normal rectangle no part of which lies on the desktop would open the window out of reach.
bool ReachableRect(const RECT &rect) {
    RECT desktop = {GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN), 0, 0};
    desktop.right = desktop.left + GetSystemMetrics(SM_CXVIRTUALSCREEN);
    desktop.bottom = desktop.top + GetSystemMetrics(SM_CYVIRTUALSCREEN);
    RECT common = {};
    return IntersectRect(&common, &rect, &desktop) != FALSE;
}

} // namespace

int ReadPaneWidth() {
    return static_cast<int>(ReadDword(kCompressorKey, L"PaneWidth", static_cast<DWORD>(-1)));
}

void WritePaneWidth(int width) {
    WriteDword(kCompressorKey, L"PaneWidth", static_cast<DWORD>(width));
}

void RestorePlacement(HWND window) {
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof placement;
    placement.flags = static_cast<UINT>(ReadInt(L"Flags", 0));
    placement.showCmd =
        static_cast<UINT>(archive_paths::restoreShowCommand(ReadInt(L"ShowCmd", SW_SHOWDEFAULT)));
    placement.ptMinPosition.x = ReadInt(L"MinPositionX", 0);
    placement.ptMinPosition.y = ReadInt(L"MinPositionY", 0);
    placement.ptMaxPosition.x = ReadInt(L"MaxPositionX", 0);
    placement.ptMaxPosition.y = ReadInt(L"MaxPositionY", 0);
    placement.rcNormalPosition.top = ReadInt(L"NormalPositionT", 0);
    placement.rcNormalPosition.left = ReadInt(L"NormalPositionL", 0);
    placement.rcNormalPosition.bottom = ReadInt(L"NormalPositionB", 0);
    placement.rcNormalPosition.right = ReadInt(L"NormalPositionR", 0);
    const RECT &normal = placement.rcNormalPosition;
    // Widths and heights in 64 bits: stored values may be anything.
    const long long width = static_cast<long long>(normal.right) - normal.left;
    const long long height = static_cast<long long>(normal.bottom) - normal.top;
    if (width <= 0 || height <= 0 || width > 0x7FFF || height > 0x7FFF || !ReachableRect(normal)) {
        ShowWindow(window, SW_SHOWDEFAULT);
        return;
    }
    SetWindowPlacement(window, &placement);
}

void StorePlacement(HWND window) {
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof placement;
    if (!GetWindowPlacement(window, &placement))
        return;
    WriteDword(kWindowKey, L"Flags", placement.flags);
    WriteDword(kWindowKey, L"ShowCmd", placement.showCmd);
    WriteDword(kWindowKey, L"MinPositionX", static_cast<DWORD>(placement.ptMinPosition.x));
    WriteDword(kWindowKey, L"MinPositionY", static_cast<DWORD>(placement.ptMinPosition.y));
    WriteDword(kWindowKey, L"MaxPositionX", static_cast<DWORD>(placement.ptMaxPosition.x));
    WriteDword(kWindowKey, L"MaxPositionY", static_cast<DWORD>(placement.ptMaxPosition.y));
    WriteDword(kWindowKey, L"NormalPositionT", static_cast<DWORD>(placement.rcNormalPosition.top));
    WriteDword(kWindowKey, L"NormalPositionL", static_cast<DWORD>(placement.rcNormalPosition.left));
    WriteDword(kWindowKey, L"NormalPositionB", static_cast<DWORD>(placement.rcNormalPosition.bottom));
    WriteDword(kWindowKey, L"NormalPositionR", static_cast<DWORD>(placement.rcNormalPosition.right));
}
