#include "tarnbeam/ui/window_utils.h"

#include <commctrl.h>

#include <algorithm>

namespace {

using MonitorFromWindowFn = HMONITOR(WINAPI *)(HWND, DWORD);
using GetMonitorInfoFn = BOOL(WINAPI *)(HMONITOR, LPMONITORINFO);

struct MonitorFunctions {
    MonitorFromWindowFn monitorFromWindow = nullptr;
    GetMonitorInfoFn getMonitorInfo = nullptr;
};

// Older systems lack the multi-monitor functions, so they are looked up once by name.
const MonitorFunctions &Monitors() {
    static const MonitorFunctions functions = [] {
        MonitorFunctions found;
        if (HMODULE user32 = GetModuleHandleW(L"user32.dll")) {
            found.monitorFromWindow = LookUpFunction<MonitorFromWindowFn>(user32, "MonitorFromWindow");
            found.getMonitorInfo = LookUpFunction<GetMonitorInfoFn>(user32, "GetMonitorInfoW");
        }
        return found;
    }();
    return functions;
}

// The rectangle to centre over: the owner's window rectangle, else the work area of the
// window's monitor, else the primary screen.
RECT ReferenceRect(HWND window, HWND owner) {
    RECT rect = {};
    if (owner && IsWindow(owner) && IsWindowVisible(owner) && GetWindowRect(owner, &rect))
        return rect;
    const MonitorFunctions &monitors = Monitors();
    if (monitors.monitorFromWindow && monitors.getMonitorInfo) {
        HMONITOR monitor = monitors.monitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY);
        MONITORINFO info = {};
        info.cbSize = sizeof(info);
        if (monitor && monitors.getMonitorInfo(monitor, &info))
            return info.rcWork;
    }
    rect.left = 0;
    rect.top = 0;
    rect.right = GetSystemMetrics(SM_CXSCREEN);
    rect.bottom = GetSystemMetrics(SM_CYSCREEN);
    return rect;
}

// The area the window's corner must stay in: the virtual screen, or the full-screen client
// area when the system reports no virtual screen.
RECT ScreenBounds() {
    RECT bounds;
    const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    if (width == 0) {
        bounds.left = 0;
        bounds.top = 0;
        bounds.right = GetSystemMetrics(SM_CXFULLSCREEN);
        bounds.bottom = GetSystemMetrics(SM_CYFULLSCREEN);
        return bounds;
    }
    bounds.left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    bounds.top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    bounds.right = bounds.left + width;
    bounds.bottom = bounds.top + GetSystemMetrics(SM_CYVIRTUALSCREEN);
    return bounds;
}

} // namespace

void CenterWindow(HWND window, HWND owner) {
    if (!IsWindow(window) || IsIconic(window) || IsZoomed(window))
        return;
    RECT own;
    if (!GetWindowRect(window, &own))
        return;
    const int width = own.right - own.left;
    const int height = own.bottom - own.top;
    const RECT reference = ReferenceRect(window, owner);
    int x = reference.left + ((reference.right - reference.left) - width) / 2;
    int y = reference.top + ((reference.bottom - reference.top) - height) / 2;

    // The corner stays on screen even when the window is larger than the screen.
    const RECT bounds = ScreenBounds();
    x = std::max<int>(bounds.left, std::min<int>(x, bounds.right - width));
    y = std::max<int>(bounds.top, std::min<int>(y, bounds.bottom - height));

    UINT flags = SWP_NOSIZE | SWP_NOZORDER;
    if (!IsWindowVisible(window))
        flags |= SWP_NOREDRAW;
    SetWindowPos(window, nullptr, x, y, 0, 0, flags);
}

bool PumpPendingMessages(HWND dialog) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // The main loop must still see it once this pump returns.
            PostQuitMessage(0);
            return false;
        }
        if (dialog && IsDialogMessageW(dialog, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return true;
}

const OSVERSIONINFOW &SystemVersion() {
    static OSVERSIONINFOW version = [] {
        OSVERSIONINFOW v = {};
        v.dwOSVersionInfoSize = sizeof v;
        using RtlGetVersionFn = LONG(WINAPI *)(OSVERSIONINFOW *);
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        auto get = LookUpFunction<RtlGetVersionFn>(ntdll, "RtlGetVersion");
        if (!get || get(&v) != 0)
            v.dwMajorVersion = v.dwMinorVersion = 0;
        return v;
    }();
    return version;
}

HWND ShowModelessDialog(UINT id, HWND owner, DLGPROC proc) {
    HWND window = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), owner, proc, 0);
    if (!window)
        return nullptr;
    CenterWindow(window, owner);
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    return window;
}

int FirstSelectedRow(HWND list, const void **data) {
    *data = nullptr;
    const int row =
        static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    if (row < 0)
        return row;
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    if (SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)))
        *data = reinterpret_cast<const void *>(item.lParam);
    return row;
}
