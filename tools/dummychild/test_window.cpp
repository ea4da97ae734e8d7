#include "tools/dummychild/test_window.h"

#include <commctrl.h>

namespace {

const wchar_t kClass[] = L"TbDummyWindow";
const int kIdClose = 1001;
const int kIdRemember = 1002;
const int kIdList = 1003;
const int kIdTabs = 1004;
const int kIdLabel = 1005;
const int kIdDisabled = 1006;
const int kIdTree = 1007;

int g_closedBy = 0;

HWND AddControl(HWND parent, const wchar_t *cls, const wchar_t *text, DWORD style, int x, int y, int w, int h,
                int id) {
    return CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr),
                           nullptr);
}

void AddListColumn(HWND list, int index, const wchar_t *title) {
    LVCOLUMNW col = {};
    col.mask = LVCF_TEXT | LVCF_WIDTH;
    col.cx = 120;
    col.pszText = const_cast<LPWSTR>(title);
    SendMessageW(list, LVM_INSERTCOLUMNW, index, reinterpret_cast<LPARAM>(&col));
}

void AddListRow(HWND list, int row, const wchar_t *first, const wchar_t *second) {
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.pszText = const_cast<LPWSTR>(first);
    SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    item.iSubItem = 1;
    item.pszText = const_cast<LPWSTR>(second);
    SendMessageW(list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
}

void AddTab(HWND tabs, int index, const wchar_t *title) {
    TCITEMW item = {};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<LPWSTR>(title);
    SendMessageW(tabs, TCM_INSERTITEMW, index, reinterpret_cast<LPARAM>(&item));
}

HTREEITEM AddTreeItem(HWND tree, HTREEITEM parent, const wchar_t *text) {
    TVINSERTSTRUCTW ins = {};
    ins.hParent = parent;
    ins.hInsertAfter = TVI_LAST;
    ins.item.mask = TVIF_TEXT;
    ins.item.pszText = const_cast<LPWSTR>(text);
    return reinterpret_cast<HTREEITEM>(
        SendMessageW(tree, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&ins)));
}

void OnCreate(HWND hwnd) {
    AddControl(hwnd, L"BUTTON", L"&Close", BS_PUSHBUTTON, 10, 10, 90, 26, kIdClose);
    HWND check = AddControl(hwnd, L"BUTTON", L"&Remember", BS_AUTOCHECKBOX, 110, 10, 120, 26, kIdRemember);
    SendMessageW(check, BM_SETCHECK, BST_CHECKED, 0);
    HWND list = AddControl(hwnd, WC_LISTVIEWW, L"", LVS_REPORT | WS_BORDER, 10, 45, 300, 120, kIdList);
    AddListColumn(list, 0, L"Name");
    AddListColumn(list, 1, L"Date");
    AddListRow(list, 0, L"\u66f4\u65b0 1.2", L"2026/12/01");
    AddListRow(list, 1, L"News", L"2026/11/30");
    AddListRow(list, 2, L"Third", L"");
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED;
    state.state = LVIS_SELECTED;
    SendMessageW(list, LVM_SETITEMSTATE, 1, reinterpret_cast<LPARAM>(&state));
    HWND tabs = AddControl(hwnd, WC_TABCONTROLW, L"", 0, 10, 175, 300, 60, kIdTabs);
    AddTab(tabs, 0, L"Updates");
    AddTab(tabs, 1, L"\u304a\u77e5\u3089\u305b");
    SendMessageW(tabs, TCM_SETCURSEL, 1, 0);
    AddControl(hwnd, L"STATIC", L"\u65e5\u672c\u8a9e\u306e\u30c6\u30ad\u30b9\u30c8", 0, 10, 245, 300, 20,
               kIdLabel);
    HWND disabled = AddControl(hwnd, L"BUTTON", L"Disabled", BS_PUSHBUTTON, 10, 270, 90, 26, kIdDisabled);
    EnableWindow(disabled, FALSE);
    HWND tree = AddControl(hwnd, WC_TREEVIEWW, L"", TVS_HASBUTTONS | TVS_HASLINES | WS_BORDER, 320, 10, 180,
                           150, kIdTree);
    HTREEITEM root = AddTreeItem(tree, TVI_ROOT, L"Archive");
    AddTreeItem(tree, root, L"a.txt");
    HTREEITEM sub = AddTreeItem(tree, root, L"\u65e5\u672c");
    HTREEITEM leaf = AddTreeItem(tree, sub, L"b.txt");
    AddTreeItem(tree, TVI_ROOT, L"Second");
    SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(root));
    SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(leaf));
}

LRESULT CALLBACK TestWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE:
        OnCreate(hwnd);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wp) == kIdClose || LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) {
            g_closedBy = LOWORD(wp);
            DestroyWindow(hwnd);
        }
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

} // namespace

int RunTestWindow(HINSTANCE instance, HWND owner, const std::wstring &caption) {
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES | ICC_TREEVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = TestWindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClass;
    RegisterClassExW(&wc);
    g_closedBy = 0;
    HWND hwnd = CreateWindowExW(0, kClass, caption.c_str(), WS_OVERLAPPEDWINDOW, 150, 150, 520, 340, owner,
                                nullptr, instance, nullptr);
    if (!hwnd)
        return -1;
    ShowWindow(hwnd, SW_SHOW);
    UpdateWindow(hwnd);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return g_closedBy;
}
