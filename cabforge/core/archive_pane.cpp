#include "cabforge/core/archive_pane.h"

#include <commctrl.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

#include "cabforge/core/app_state.h"
#include "cabforge/core/archive_tree.h"
#include "cabforge/core/drop_target.h"
#include "cabforge/core/win_util.h"
#include "cabforge/resources/resource.h"
#include "cabforge/ui/shell_tree.h"

const wchar_t kTreePaneClass[] = L"Cabforge_TreeViewPane";

namespace {

const int kPathChars = 260;

struct PaneState {
    int id = 0;
    HWND tree = nullptr;
    bool dropTarget = false;
    CLIPFORMAT dragFormat = 0;
    std::vector<std::wstring> pending;
};

PaneState *StateOf(HWND pane) {
    return reinterpret_cast<PaneState *>(GetWindowLongPtrW(pane, GWLP_USERDATA));
}

// The system's small-icon list: the file-system tree's, when it has one.
HIMAGELIST SystemSmallImages() {
    if (HIMAGELIST images = ShellTreeImages())
        return images;
    SHFILEINFOW info = {};
    return reinterpret_cast<HIMAGELIST>(
        SHGetFileInfoW(L"C:\\", 0, &info, sizeof info, SHGFI_SYSICONINDEX | SHGFI_SMALLICON));
}

bool CreateArchiveTree(HWND pane, PaneState *state) {
    const DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_TABSTOP | WS_GROUP | TVS_HASBUTTONS |
                        TVS_HASLINES | TVS_DISABLEDRAGDROP | TVS_SHOWSELALWAYS;
    HWND tree =
        CreateWindowExW(WS_EX_CLIENTEDGE, WC_TREEVIEWW, L"", style, 0, 0, 1, 1, pane,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kArchiveTreeId)), g_instance, nullptr);
    if (!tree)
        return false;
    ApplyExplorerTreeTheme(tree, TVS_HASLINES);
    HIMAGELIST images = SystemSmallImages();
    TreeView_SetImageList(tree, images, TVSIL_NORMAL);
    state->tree = tree;
    g_archiveTree.attach(tree, images);
    g_archiveTree.reset();
    state->dropTarget = RegisterDropTarget(pane, {CF_HDROP}, WM_PANE_DROP);
    return true;
}

bool OnCreate(HWND pane, const CREATESTRUCTW *create) {
    std::unique_ptr<PaneState> state(new PaneState());
    state->id = static_cast<int>(reinterpret_cast<INT_PTR>(create->hMenu));
    if (state->id == kArchivePaneId && !CreateArchiveTree(pane, state.get()))
        return false;
    // A tree that cannot be built has told the user and closes the main window.
    if (state->id == kFileSystemPaneId)
        state->tree = CreateShellTree(pane);
    SetWindowLongPtrW(pane, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state.release()));
    return true;
}

void OnDestroy(HWND pane, PaneState *state) {
    if (!state)
        return;
    if (state->dropTarget)
        RevokeDropTarget(pane);
    state->dropTarget = false;
    if (state->id == kArchivePaneId)
        g_archiveTree.attach(nullptr, nullptr);
    if (state->id == kFileSystemPaneId)
        DestroyShellTree();
    state->tree = nullptr;
}

void OnNcDestroy(HWND pane) {
    std::unique_ptr<PaneState> state(StateOf(pane));
    SetWindowLongPtrW(pane, GWLP_USERDATA, 0);
}

// The item at a point in tree coordinates, when the point is on its icon, label or state icon.
HTREEITEM ItemAt(HWND tree, POINT point) {
    TVHITTESTINFO hit = {};
    hit.pt = point;
    HTREEITEM item = TreeView_HitTest(tree, &hit);
    if (!(hit.flags & (TVHT_ONITEMICON | TVHT_ONITEMLABEL | TVHT_ONITEMSTATEICON)))
        return nullptr;
    return item;
}

void ShowContextMenu(PaneState *state) {
    POINT cursor = {};
    GetCursorPos(&cursor);
    POINT client = cursor;
    ScreenToClient(state->tree, &client);
    HTREEITEM item = ItemAt(state->tree, client);
    if (!item || item == g_archiveTree.root())
        return;
    TreeView_SelectItem(state->tree, item);
    HMENU menu = LoadMenuW(g_instance, MAKEINTRESOURCEW(IDR_ARCHIVE_MENU));
    if (!menu)
        return;
    if (HMENU popup = GetSubMenu(menu, 0))
        TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, g_mainWindow, nullptr);
    DestroyMenu(menu);
}

LRESULT OnNotify(PaneState *state, NMHDR *header) {
    if (!state || header->hwndFrom != state->tree)
        return 0;
    switch (header->code) {
    case TVN_DELETEITEMW:
        ArchiveTree::freeItemData(reinterpret_cast<NMTREEVIEWW *>(header)->itemOld.lParam);
        return 0;
    case NM_RCLICK:
        ShowContextMenu(state);
        return TRUE;
    }
    return 0;
}

std::vector<std::wstring> DroppedPaths(HGLOBAL data) {
    std::vector<std::wstring> paths;
    HDROP drop = static_cast<HDROP>(data);
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    paths.reserve(count);
    for (UINT i = 0; i < count; ++i) {
        wchar_t path[kPathChars] = {};
        if (DragQueryFileW(drop, i, path, kPathChars))
            paths.push_back(path);
    }
    return paths;
}

void OnDrop(PaneState *state, const DropRecord *record) {
    POINT point = record->point;
    ScreenToClient(state->tree, &point);
    HTREEITEM target = ItemAt(state->tree, point);
    if (target && g_archiveTree.sourceOf(target))
        target = g_archiveTree.parentOf(target);
    if (!target)
        target = g_archiveTree.root();
    std::vector<std::wstring> paths;
    paths.swap(state->pending);
    if (!paths.empty())
        g_archiveTree.addPaths(target, paths);
}

void OnDropMessage(PaneState *state, WPARAM stage, DropRecord *record) {
    if (!state || !state->tree)
        return;
    switch (stage) {
    case kDropEnter:
        state->dragFormat = record->format;
        state->pending.clear();
        if (record->format == CF_HDROP)
            state->pending = DroppedPaths(record->data);
        record->effect = record->format == CF_HDROP ? DROPEFFECT_COPY : DROPEFFECT_NONE;
        break;
    case kDropOver:
        record->effect = state->dragFormat == CF_HDROP ? DROPEFFECT_COPY : DROPEFFECT_NONE;
        break;
    case kDropLeave:
        state->pending.clear();
        break;
    case kDropDrop:
        record->effect = state->dragFormat == CF_HDROP ? DROPEFFECT_COPY : DROPEFFECT_NONE;
        if (state->dragFormat == CF_HDROP)
            OnDrop(state, record);
        state->pending.clear();
        break;
    }
}

LRESULT CALLBACK PaneProc(HWND pane, UINT message, WPARAM wParam, LPARAM lParam) {
    PaneState *state = StateOf(pane);
    switch (message) {
    case WM_CREATE:
        return OnCreate(pane, reinterpret_cast<const CREATESTRUCTW *>(lParam)) ? 0 : -1;
    case WM_DESTROY:
        OnDestroy(pane, state);
        return 0;
    case WM_NCDESTROY:
        OnNcDestroy(pane);
        break;
    case WM_SIZE:
        if (state && state->tree)
            MoveWindow(state->tree, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
        return 0;
    case WM_SETFOCUS:
        if (state && state->tree)
            SetFocus(state->tree);
        return 0;
    case WM_NOTIFY:
        // The file-system tree notifies while it is built, before the pane has its state.
        if (reinterpret_cast<NMHDR *>(lParam)->hwndFrom == ShellTreeControl())
            return ShellTreeNotify(pane, wParam, lParam);
        return OnNotify(state, reinterpret_cast<NMHDR *>(lParam));
    case WM_DRAG_DATA_REQUEST:
        AnswerDragDataRequest(static_cast<UINT>(wParam), reinterpret_cast<DragDataRequest *>(lParam));
        return 0;
    case WM_PANE_DROP:
        OnDropMessage(state, wParam, reinterpret_cast<DropRecord *>(lParam));
        return 0;
    }
    return DefWindowProcW(pane, message, wParam, lParam);
}

bool RegisterPaneClass() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_OWNDC;
    wc.lpfnWndProc = PaneProc;
    wc.hInstance = g_instance;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kTreePaneClass;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

HWND CreatePane(HWND splitter, int id) {
    const DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_TABSTOP | WS_GROUP;
    return CreateWindowExW(0, kTreePaneClass, L"", style, 0, 0, 1, 1, splitter,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), g_instance, nullptr);
}

} // namespace

bool CreatePanes(HWND splitter, HWND &archivePane, HWND &fileSystemPane) {
    archivePane = nullptr;
    fileSystemPane = nullptr;
    if (!RegisterPaneClass())
        return false;
    fileSystemPane = CreatePane(splitter, kFileSystemPaneId);
    archivePane = CreatePane(splitter, kArchivePaneId);
    return fileSystemPane && archivePane;
}
