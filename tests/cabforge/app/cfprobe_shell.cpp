#include "tests/cabforge/app/cfprobe_shell.h"

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/cabforge/app/cfprobe_builder.h"

namespace {

const int kFileSystemPaneId = 102;
const int kShellTreeId = 104;

HWND ShellTree() {
    HWND splitter = Splitter();
    HWND pane = splitter ? GetDlgItem(splitter, kFileSystemPaneId) : nullptr;
    return pane ? GetDlgItem(pane, kShellTreeId) : nullptr;
}

HTREEITEM Next(HWND tree, UINT relation, HTREEITEM item) {
    return reinterpret_cast<HTREEITEM>(
        SendMessageW(tree, TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item)));
}

// Display names are matched without their leading spaces (drives are named " (C:)").
std::wstring Trimmed(const std::wstring &text) {
    const std::size_t first = text.find_first_not_of(L' ');
    return first == std::wstring::npos ? std::wstring() : text.substr(first);
}

struct ItemState {
    std::wstring text;
    int children; // the child-count marker
    bool expanded;
    int count; // children in the tree now
};

ItemState StateOf(HWND tree, const Remote &remote, HTREEITEM item) {
    ItemState state = {ItemText(tree, remote, item), 0, false, 0};
    TVITEMW tv = {};
    tv.mask = TVIF_HANDLE | TVIF_CHILDREN | TVIF_STATE;
    tv.stateMask = TVIS_EXPANDED;
    tv.hItem = item;
    if (remote.put(0, &tv, sizeof tv) &&
        SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(remote.at(0))) &&
        remote.get(0, &tv, sizeof tv)) {
        state.children = tv.cChildren;
        state.expanded = (tv.state & TVIS_EXPANDED) != 0;
    }
    for (HTREEITEM child = Next(tree, TVGN_CHILD, item); child; child = Next(tree, TVGN_NEXT, child))
        ++state.count;
    return state;
}

void PrintState(const ItemState &state) {
    std::printf("{\"text\": ");
    PrintJsonString(state.text);
    std::printf(", \"children\": %d, \"expanded\": %s, \"count\": %d}", state.children,
                state.expanded ? "true" : "false", state.count);
}

// The item at a '|'-separated list of names below the root ("" is the root), expanding every
// item on the way (TVM_EXPAND: the builder loads a folder inside the call).
HTREEITEM Find(HWND tree, const Remote &remote, const std::wstring &path) {
    HTREEITEM item = Next(tree, TVGN_ROOT, nullptr);
    std::size_t at = 0;
    while (item && at < path.size()) {
        const std::size_t bar = path.find(L'|', at);
        const std::wstring name = path.substr(at, bar == std::wstring::npos ? std::wstring::npos : bar - at);
        at = bar == std::wstring::npos ? path.size() : bar + 1;
        SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item));
        HTREEITEM child = Next(tree, TVGN_CHILD, item);
        while (child && Trimmed(ItemText(tree, remote, child)) != name)
            child = Next(tree, TVGN_NEXT, child);
        item = child;
    }
    return item;
}

// The root's text beside the desktop's display name as this process's shell gives it.
int Root(HWND tree, const Remote &remote) {
    LPITEMIDLIST desktop = nullptr;
    SHFILEINFOW info = {};
    if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOP, &desktop))) {
        SHGetFileInfoW(reinterpret_cast<LPCWSTR>(desktop), 0, &info, sizeof info,
                       SHGFI_PIDL | SHGFI_DISPLAYNAME);
        CoTaskMemFree(desktop);
    }
    std::printf("{\"root\": ");
    PrintState(StateOf(tree, remote, Next(tree, TVGN_ROOT, nullptr)));
    std::printf(", \"desktop\": ");
    PrintJsonString(info.szDisplayName);
    std::printf("}\n");
    return 0;
}

// The item and its children as they are now.
int Report(HWND tree, const Remote &remote, HTREEITEM item) {
    std::printf("{\"item\": ");
    PrintState(StateOf(tree, remote, item));
    std::printf(", \"items\": [");
    for (HTREEITEM child = Next(tree, TVGN_CHILD, item); child; child = Next(tree, TVGN_NEXT, child)) {
        if (child != Next(tree, TVGN_CHILD, item))
            std::printf(", ");
        PrintState(StateOf(tree, remote, child));
    }
    std::printf("]}\n");
    return 0;
}

void SendMouse(DWORD flags, POINT at) {
    INPUT input = {};
    input.type = INPUT_MOUSE;
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    input.mi.dx = (at.x * 65536 + width - 1) / width;
    input.mi.dy = (at.y * 65536 + height - 1) / height;
    input.mi.dwFlags = flags | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &input, sizeof input);
}

void SendKey(WORD vk) {
    INPUT keys[2] = {};
    keys[0].type = keys[1].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = keys[1].ki.wVk = vk;
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, keys, sizeof keys[0]);
}

// A real drag with the mouse: press on the item's label, move onto the archive tree in steps,
// rest, release. With Esc pressed on the way the drag is cancelled before the release.
int Drag(HWND tree, const Remote &remote, HTREEITEM item, const std::wstring &where, bool escape) {
    POINT from = {};
    POINT to = {};
    if (!LabelCentre(tree, remote, item, from) || !DropPoint(where, to))
        return 1;
    ClientToScreen(tree, &from);
    SetForegroundWindow(MainWindow());
    SendMouse(0, from);
    Sleep(100);
    SendMouse(MOUSEEVENTF_LEFTDOWN, from);
    Sleep(50);
    const int steps = 10;
    for (int i = 1; i <= steps; ++i) {
        SendMouse(0, {from.x + (to.x - from.x) * i / steps, from.y + (to.y - from.y) * i / steps});
        Sleep(30);
        if (escape && i == steps / 2) {
            SendKey(VK_ESCAPE);
            Sleep(150);
        }
    }
    Sleep(150);
    SendMouse(MOUSEEVENTF_LEFTUP, to);
    Sleep(200);
    std::printf("{\"from\": [%ld, %ld], \"to\": [%ld, %ld]}\n", from.x, from.y, to.x, to.y);
    return 0;
}

double MillisecondsSince(const LARGE_INTEGER &start) {
    LARGE_INTEGER now = {};
    LARGE_INTEGER frequency = {};
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

// How long the builder takes to expand the item (loading, sorting and inserting its children)
// until its window answers again.
int TimeExpand(HWND tree, const Remote &remote, HTREEITEM item) {
    LARGE_INTEGER start = {};
    QueryPerformanceCounter(&start);
    SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item));
    SendMessageW(MainWindow(), WM_NULL, 0, 0);
    const double ms = MillisecondsSince(start);
    std::printf("{\"ms\": %.1f, \"count\": %d}\n", ms, StateOf(tree, remote, item).count);
    return 0;
}

// One plain pass over a folder with IShellFolder in this process: names only, or with the calls
// the pane makes per child while it expands (attributes, absolute id, the parsing name as its
// path; the icons come later, when an item is drawn).
double ListFolder(IShellFolder *folder, LPCITEMIDLIST absolute, bool full, int &count) {
    LARGE_INTEGER start = {};
    QueryPerformanceCounter(&start);
    count = 0;
    IEnumIDList *list = nullptr;
    if (folder->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, &list) != S_OK || !list)
        return -1;
    LPITEMIDLIST child = nullptr;
    while (list->Next(1, &child, nullptr) == S_OK) {
        STRRET name = {};
        wchar_t text[MAX_PATH] = {};
        if (SUCCEEDED(folder->GetDisplayNameOf(child, SHGDN_NORMAL, &name)))
            StrRetToBufW(&name, child, text, MAX_PATH);
        if (full) {
            SFGAOF attributes = SFGAO_FOLDER | SFGAO_FILESYSTEM | SFGAO_FILESYSANCESTOR;
            LPCITEMIDLIST ids[1] = {child};
            folder->GetAttributesOf(1, ids, &attributes);
            LPITEMIDLIST whole = ILCombine(absolute, child);
            STRRET parsing = {};
            wchar_t path[MAX_PATH] = {};
            if (SUCCEEDED(folder->GetDisplayNameOf(child, SHGDN_FORPARSING, &parsing)))
                StrRetToBufW(&parsing, child, path, MAX_PATH);
            CoTaskMemFree(whole);
        }
        CoTaskMemFree(child);
        ++count;
    }
    list->Release();
    return MillisecondsSince(start);
}

int ShellLoop(const std::wstring &path) {
    if (FAILED(CoInitialize(nullptr)))
        return 1;
    LPITEMIDLIST absolute = nullptr;
    IShellFolder *desktop = nullptr;
    IShellFolder *folder = nullptr;
    int result = 1;
    if (SUCCEEDED(SHParseDisplayName(path.c_str(), nullptr, &absolute, 0, nullptr)) &&
        SUCCEEDED(SHGetDesktopFolder(&desktop)) &&
        SUCCEEDED(
            desktop->BindToObject(absolute, nullptr, IID_IShellFolder, reinterpret_cast<void **>(&folder)))) {
        int names = 0;
        int full = 0;
        const double namesMs = ListFolder(folder, absolute, false, names);
        const double fullMs = ListFolder(folder, absolute, true, full);
        std::printf("{\"count\": %d, \"namesMs\": %.1f, \"fullMs\": %.1f}\n", names, namesMs, fullMs);
        result = 0;
    }
    if (folder)
        folder->Release();
    if (desktop)
        desktop->Release();
    CoTaskMemFree(absolute);
    CoUninitialize();
    return result;
}

BOOL CALLBACK FindMenu(HWND window, LPARAM lParam) {
    wchar_t name[16] = {};
    if (IsWindowVisible(window) && GetClassNameW(window, name, 16) && lstrcmpW(name, L"#32768") == 0) {
        *reinterpret_cast<HWND *>(lParam) = window;
        return FALSE;
    }
    return TRUE;
}

HWND OpenMenu() {
    HWND menu = nullptr;
    EnumWindows(FindMenu, reinterpret_cast<LPARAM>(&menu));
    return menu;
}

// A right click on the archive tree; when a context menu opens, the key chooses from it.
int ContextMenu(const std::wstring &where, WORD vk) {
    POINT at = {};
    if (!DropPoint(where, at))
        return 1;
    SetForegroundWindow(MainWindow());
    SendMouse(0, at);
    Sleep(100);
    SendMouse(MOUSEEVENTF_RIGHTDOWN, at);
    SendMouse(MOUSEEVENTF_RIGHTUP, at);
    HWND menu = nullptr;
    for (int waited = 0; !menu && waited < 3000; waited += 50) {
        Sleep(50);
        menu = OpenMenu();
    }
    if (menu) {
        SendKey(vk);
        for (int waited = 0; OpenMenu() && waited < 3000; waited += 50)
            Sleep(50);
    }
    std::printf("{\"menu\": %s, \"closed\": %s}\n", menu ? "true" : "false", OpenMenu() ? "false" : "true");
    return 0;
}

} // namespace

bool IsShellCommand(const std::wstring &command) {
    return command == L"fsroot" || command == L"fsexpand" || command == L"fsitem" || command == L"fsselect" ||
           command == L"fskey" || command == L"fsdrag" || command == L"context" || command == L"fstime" ||
           command == L"shellloop";
}

int RunShellCommand(const std::wstring &command, int argc, wchar_t **args) {
    if (command == L"context")
        return argc >= 2 ? ContextMenu(args[0], static_cast<WORD>(_wtoi(args[1]))) : 2;
    if (command == L"shellloop")
        return argc >= 1 ? ShellLoop(args[0]) : 2;
    HWND tree = ShellTree();
    if (!tree)
        return 1;
    Remote remote(tree);
    if (!remote.ok())
        return 1;
    if (command == L"fsroot")
        return Root(tree, remote);
    if (argc < 1)
        return 2;
    HTREEITEM item = Find(tree, remote, args[0]);
    if (!item)
        return 1;
    if (command == L"fsexpand")
        SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item));
    if (command == L"fstime")
        return TimeExpand(tree, remote, item);
    if (command == L"fsexpand" || command == L"fsitem")
        return Report(tree, remote, item);
    if (command == L"fsdrag" && argc >= 2)
        return Drag(tree, remote, item, args[1], argc > 2 && std::wstring(args[2]) == L"esc");
    SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
    SendMessageW(tree, TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(item));
    if (command == L"fskey" && argc >= 2) {
        // A user's key: the tree expands or collapses (and notifies) every time.
        PostMessageW(tree, WM_KEYDOWN, static_cast<WPARAM>(_wtoi(args[1])), 1);
        PostMessageW(tree, WM_KEYUP, static_cast<WPARAM>(_wtoi(args[1])), static_cast<LPARAM>(0xC0000001));
        SendMessageW(tree, WM_NULL, 0, 0);
    }
    return command == L"fsselect" || command == L"fskey" ? Report(tree, remote, item) : 2;
}
