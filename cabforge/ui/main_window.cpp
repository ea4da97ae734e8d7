#include "cabforge/ui/main_window.h"

#include "cabforge/core/app_state.h"
#include "cabforge/core/win_util.h"
#include "cabforge/resources/resource.h"

const wchar_t kMainWindowClass[] = L"cabforge_class";

namespace {

bool g_integrated = false;

void OnCreate(HWND window) {
    g_mainWindow = window;
    HICON big =
        static_cast<HICON>(LoadImageW(g_instance, MAKEINTRESOURCEW(IDI_CABFORGE), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), LR_SHARED));
    HICON small = static_cast<HICON>(
        LoadImageW(g_instance, MAKEINTRESOURCEW(IDI_CABFORGE), IMAGE_ICON, 16, 16, LR_SHARED));
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
    if (g_integrated) {
        HMENU file = GetSubMenu(GetMenu(window), 0);
        const std::wstring text = LoadResourceString(IDS_CREATE_AND_EXIT);
        if (file)
            AppendMenuW(file, MF_STRING, IDM_CREATE_AND_EXIT, text.c_str());
    }
}

void OnCommand(HWND window, int command) {
    if (command == IDM_EXIT)
        SendMessageW(window, WM_CLOSE, 0, 0);
}

// Tells the host which archive was created last; the text stays valid until SendMessage returns.
void ReportToHost() {
    if (g_integrated && g_hostWindow && !g_lastArchivePath.empty()) {
        SendMessageW(g_hostWindow, WM_ARCHIVE_CREATED, static_cast<WPARAM>(GetCurrentProcessId()),
                     reinterpret_cast<LPARAM>(g_lastArchivePath.c_str()));
    }
}

void OnDestroy() {
    ReportToHost();
    g_mainWindow = nullptr;
    PostQuitMessage(0);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        OnCreate(window);
        return 0;
    case WM_RESTORE_PLACEMENT:
        ShowWindow(window, SW_SHOWDEFAULT);
        return 0;
    case WM_COMMAND:
        OnCommand(window, LOWORD(wParam));
        return 0;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        OnDestroy();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

HWND CreateMainWindow(bool integrated) {
    g_integrated = integrated;
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_OWNDC;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = g_instance;
    wc.hIcon = static_cast<HICON>(
        LoadImageW(g_instance, MAKEINTRESOURCEW(IDI_CABFORGE), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    wc.hIconSm = static_cast<HICON>(
        LoadImageW(g_instance, MAKEINTRESOURCEW(IDI_CABFORGE), IMAGE_ICON, 16, 16, LR_SHARED));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kMainWindowClass;
    if (!RegisterClassExW(&wc))
        return nullptr;
    const std::wstring caption = LoadResourceString(IDS_CAPTION);
    HMENU menu = LoadMenuW(g_instance, MAKEINTRESOURCEW(IDR_MAINMENU));
    HWND window =
        CreateWindowExW(0, kMainWindowClass, caption.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, menu, g_instance, nullptr);
    if (!window && menu)
        DestroyMenu(menu);
    return window;
}
