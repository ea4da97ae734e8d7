#include "cabforge/ui/main_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <memory>
#include <string>

#include "cabforge/core/app_state.h"
#include "cabforge/core/archive_flow.h"
#include "cabforge/core/archive_pane.h"
#include "cabforge/core/archive_paths.h"
#include "cabforge/core/archive_tree.h"
#include "cabforge/core/integrated_mode.h"
#include "cabforge/core/project_file.h"
#include "cabforge/core/win_util.h"
#include "cabforge/resources/resource.h"
#include "cabforge/ui/about_dialog.h"
#include "cabforge/ui/layout_settings.h"
#include "cabforge/ui/shell_tree.h"
#include "cabforge/ui/splitter.h"

const wchar_t kMainWindowClass[] = L"cabforge_class";

namespace {

const int kSplitterId = 101;

struct MainWindowState {
    bool integrated = false;
    // Set once the window and its panes exist: a window destroyed during its creation stores no layout.
    bool created = false;
    HWND splitter = nullptr;
    HWND archivePane = nullptr;
    HWND fileSystemPane = nullptr;
};

MainWindowState *StateOf(HWND window) {
    return reinterpret_cast<MainWindowState *>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void SetIcons(HWND window) {
    HICON big =
        static_cast<HICON>(LoadImageW(g_instance, MAKEINTRESOURCEW(IDI_CABFORGE), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), LR_SHARED));
    HICON small = static_cast<HICON>(
        LoadImageW(g_instance, MAKEINTRESOURCEW(IDI_CABFORGE), IMAGE_ICON, 16, 16, LR_SHARED));
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
}

bool OnCreate(HWND window, MainWindowState *state) {
    g_mainWindow = window;
    state->splitter = CreateWindowExW(
        0, kSplitterClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_TABSTOP, 0, 0, 1, 1, window,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kSplitterId)), g_instance, nullptr);
    if (!state->splitter || !CreatePanes(state->splitter, state->archivePane, state->fileSystemPane))
        return false;
    SplitterSetPanes(state->splitter, state->archivePane, state->fileSystemPane);
    SetIcons(window);
    if (state->integrated) {
        HMENU file = GetSubMenu(GetMenu(window), 0);
        const std::wstring text = LoadResourceString(IDS_CREATE_AND_EXIT);
        if (file)
            AppendMenuW(file, MF_STRING, IDM_CREATE_AND_EXIT, text.c_str());
    }
    state->created = true;
    return true;
}

void FitSplitter(HWND window, const MainWindowState *state, BOOL repaint) {
    RECT client = {};
    GetClientRect(window, &client);
    MoveWindow(state->splitter, 0, 0, client.right, client.bottom, repaint);
}

void OnRestorePlacement(HWND window, MainWindowState *state) {
    RestorePlacement(window);
    FitSplitter(window, state, FALSE);
    RECT client = {};
    GetClientRect(window, &client);
    SplitterSetPosition(state->splitter, archive_paths::storedPaneWidth(ReadPaneWidth(), client.right));
}

void OnNew() {
    if (!confirmDiscard(g_mainWindow))
        return;
    g_archiveTree.reset();
    g_archiveTree.setModified(false);
}

void OnDelete() {
    HWND tree = g_archiveTree.control();
    HTREEITEM selected = tree ? TreeView_GetSelection(tree) : nullptr;
    if (selected && selected != g_archiveTree.root())
        g_archiveTree.removeItem(selected);
}

// The file-system item selected in the right pane goes below the archive item selected on the
// left, or below the root; a beep when there is no item or it has no file-system path.
void OnAddFile() {
    HTREEITEM source = ShellTreeSelection();
    const std::wstring path = source ? ShellTreeItemPath(source) : std::wstring();
    if (path.empty()) {
        MessageBeep(0);
        return;
    }
    HWND tree = g_archiveTree.control();
    HTREEITEM target = tree ? TreeView_GetSelection(tree) : nullptr;
    if (!target)
        target = g_archiveTree.root();
    g_archiveTree.addPaths(target, {path});
}

void OnHelp(HWND window) {
    const std::wstring address = LoadResourceString(IDS_HELP_URL);
    const HINSTANCE result = ShellExecuteW(window, nullptr, address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    if (reinterpret_cast<INT_PTR>(result) <= 32) {
        ShowResourceMessage(window, IDS_BROWSER_FAILED, MB_OK | MB_ICONERROR);
    }
}

void OnCommand(HWND window, MainWindowState *state, int command) {
    switch (command) {
    case IDM_NEW:
        OnNew();
        break;
    case IDM_LOAD_SETTINGS:
        ProjectFile::chooseAndLoad(window);
        break;
    case IDM_SAVE_SETTINGS:
        ProjectFile::save(window);
        break;
    case IDM_CREATE_AS:
        createArchiveFromTree(window, std::wstring());
        break;
    case IDM_EXIT:
        SendMessageW(window, WM_CLOSE, 0, 0);
        break;
    case IDM_ADD_FILE:
        OnAddFile();
        break;
    case IDM_DELETE:
        OnDelete();
        break;
    case IDM_HELP:
        OnHelp(window);
        break;
    case IDM_ABOUT:
        ShowAboutDialog(window);
        break;
    case IDM_CREATE_AND_EXIT:
        if (state->integrated)
            CreateArchiveAndExit(window);
        break;
    }
}

void OnClose(HWND window) {
    if (confirmDiscard(window))
        DestroyWindow(window);
}

void OnDestroy(HWND window, const MainWindowState *state) {
    if (state->created) {
        WritePaneWidth(SplitterPosition(state->splitter));
        StorePlacement(window);
    }
    if (state->integrated)
        ReportArchiveToHost();
    g_mainWindow = nullptr;
    PostQuitMessage(0);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MainWindowState *state = StateOf(window);
    switch (message) {
    case WM_NCCREATE: {
        const CREATESTRUCTW *create = reinterpret_cast<const CREATESTRUCTW *>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        break;
    }
    case WM_CREATE:
        return state && OnCreate(window, state) ? 0 : -1;
    case WM_RESTORE_PLACEMENT:
        OnRestorePlacement(window, state);
        return 0;
    case WM_SIZE:
        if (state && state->splitter)
            FitSplitter(window, state, TRUE);
        return 0;
    case WM_SETFOCUS:
        if (state && state->splitter)
            SetFocus(state->splitter);
        return 0;
    case WM_COMMAND:
        OnCommand(window, state, LOWORD(wParam));
        return 0;
    case WM_CLOSE:
        OnClose(window);
        return 0;
    case WM_DESTROY:
        if (state)
            OnDestroy(window, state);
        return 0;
    case WM_NCDESTROY: {
        std::unique_ptr<MainWindowState> owned(state);
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        break;
    }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

HWND CreateMainWindow(bool integrated) {
    if (!RegisterSplitterClass())
        return nullptr;
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_OWNDC;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = g_instance;
    wc.hIcon =
        static_cast<HICON>(LoadImageW(g_instance, MAKEINTRESOURCEW(IDI_CABFORGE), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), LR_SHARED));
    wc.hIconSm = static_cast<HICON>(
        LoadImageW(g_instance, MAKEINTRESOURCEW(IDI_CABFORGE), IMAGE_ICON, 16, 16, LR_SHARED));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kMainWindowClass;
    if (!RegisterClassExW(&wc))
        return nullptr;
    std::unique_ptr<MainWindowState> state(new MainWindowState());
    state->integrated = integrated;
    const std::wstring caption = LoadResourceString(IDS_CAPTION);
    HMENU menu = LoadMenuW(g_instance, MAKEINTRESOURCEW(IDR_MAINMENU));
    // The window owns its state from WM_NCCREATE on, and frees it on WM_NCDESTROY.
    HWND window =
        CreateWindowExW(0, kMainWindowClass, caption.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, menu, g_instance, state.get());
    state.release();
    if (!window && menu)
        DestroyMenu(menu);
    if (!window)
        g_mainWindow = nullptr;
    return window;
}
