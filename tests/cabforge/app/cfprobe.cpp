// cfprobe.exe: small helper for the archive builder's end-to-end tests, run under Wine beside the
// builder. Prints one JSON line per command.
//   cfprobe wait <class> <ms>      waits for a visible top-level window of the class
//   cfprobe minimize <class>       minimises it
//   cfprobe state <class>          reports it: found, pid, visible, iconic, foreground
//   cfprobe close <class>          posts WM_CLOSE to it
//   cfprobe screen                 the primary screen's width and height
//   cfprobe text <caption> <id>    a dialog control's text, by message and as the system holds it
//   cfprobe lock <path> <ms>       holds the file open without sharing for that long; prints
//                                  "locked" once the handle is open
// The builder's main window (class cabforge_class) and its archive tree (control 103):
//   cfprobe tree                   the archive tree's items in depth-first order: text, depth,
//                                  selected
//   cfprobe select <n>             selects the n-th item of that order (-1: no item)
//   cfprobe command <id>           posts the menu command to the main window
//   cfprobe post <msg> <wp> <lp>   posts any message to the main window
//   cfprobe key <vk> [ctrl]        posts the key to the archive tree, with Ctrl held for the
//                                  builder's thread when asked
//   cfprobe layout                 client width, archive pane width, file-system pane's left edge
//   cfprobe bar <x>                drags the splitter bar to x (splitter client coordinates)
//   cfprobe drop <where> <path>... drags the paths (CF_HDROP) from this process onto the archive
//                                  tree and drops them; where: root, empty, item:<n>
//   cfprobe context <where> <vk>   right-clicks the archive tree (where as for drop) and, when a
//                                  context menu opens, presses the key in it: menu, closed
// The file-system tree (control 104); <names> is a '|'-separated list of display names below the
// root (leading spaces ignored), every item on the way expanded:
//   cfprobe fsroot                 the root item and the desktop's display name
//   cfprobe fsitem <names>         the item and its children now: text, child-count marker,
//                                  expanded, number of children in the tree
//   cfprobe fsexpand <names>       expands the item, then reports as fsitem
//   cfprobe fsselect <names>       selects it, then reports
//   cfprobe fskey <names> <vk>     selects it and posts the key to the tree, then reports
//   cfprobe fsdrag <names> <where> [esc]  drags it with the mouse (injected input) onto the
//                                  archive tree (where as for drop), pressing Esc on the way
//   cfprobe fstime <names>         expands the item and reports how long until the builder
//                                  answered again: ms, count
//   cfprobe shellloop <folder>     a plain IShellFolder pass over the folder in this process,
//                                  names only and with the pane's per-child calls: count,
//                                  namesMs, fullMs
// Exit code 0 when the command succeeded, 1 otherwise, 2 on a usage error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/cabforge/app/cfprobe_builder.h"
#include "tests/cabforge/app/cfprobe_shell.h"

namespace {

struct Search {
    const wchar_t *cls;
    HWND found;
};

BOOL CALLBACK FindByClass(HWND window, LPARAM lParam) {
    Search *s = reinterpret_cast<Search *>(lParam);
    wchar_t name[128] = {};
    if (GetClassNameW(window, name, 128) && lstrcmpW(name, s->cls) == 0 && IsWindowVisible(window)) {
        s->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND Find(const wchar_t *cls) {
    Search s = {cls, nullptr};
    EnumWindows(FindByClass, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

int State(const wchar_t *cls) {
    HWND w = Find(cls);
    DWORD pid = 0;
    if (w)
        GetWindowThreadProcessId(w, &pid);
    std::printf("{\"found\": %s, \"pid\": %lu, \"visible\": %s, \"iconic\": %s, \"foreground\": %s}\n",
                w ? "true" : "false", static_cast<unsigned long>(pid),
                w && IsWindowVisible(w) ? "true" : "false", w && IsIconic(w) ? "true" : "false",
                w && GetForegroundWindow() == w ? "true" : "false");
    return w ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc == 2 && std::wstring(argv[1]) == L"screen") {
        std::printf("{\"width\": %d, \"height\": %d}\n", GetSystemMetrics(SM_CXSCREEN),
                    GetSystemMetrics(SM_CYSCREEN));
        return 0;
    }
    if (argc == 2 && IsBuilderCommand(argv[1]))
        return RunBuilderCommand(argv[1], 0, argv + 2);
    if (argc >= 2 && IsShellCommand(argv[1]))
        return RunShellCommand(argv[1], argc - 2, argv + 2);
    if (argc < 3)
        return 2;
    const std::wstring command = argv[1];
    const wchar_t *arg = argv[2];
    if (command == L"wait" && argc >= 4) {
        const DWORD deadline = GetTickCount() + static_cast<DWORD>(_wtoi(argv[3]));
        while (!Find(arg) && static_cast<int>(deadline - GetTickCount()) > 0)
            Sleep(50);
        return State(arg);
    }
    if (command == L"state")
        return State(arg);
    if (command == L"minimize" || command == L"close") {
        HWND w = Find(arg);
        if (!w)
            return 1;
        if (command == L"minimize")
            ShowWindow(w, SW_MINIMIZE);
        else
            PostMessageW(w, WM_CLOSE, 0, 0);
        return State(arg) == 0 || command == L"close" ? 0 : 1;
    }
    if (command == L"text" && argc >= 4) {
        // The text of control <id> in the dialog with caption <arg>, by message and as held by the system.
        HWND dialog = FindWindowW(L"#32770", arg);
        HWND control = dialog ? GetDlgItem(dialog, _wtoi(argv[3])) : nullptr;
        if (!control)
            return 1;
        wchar_t sent[512] = {}, held[512] = {};
        DWORD_PTR got = 0;
        SendMessageTimeoutW(control, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(sent), SMTO_ABORTIFHUNG, 2000,
                            &got);
        InternalGetWindowText(control, held, 512);
        std::printf("{\"sent\": \"%ls\", \"held\": \"%ls\"}\n", sent, held);
        return 0;
    }
    if (IsBuilderCommand(command))
        return RunBuilderCommand(command, argc - 2, argv + 2);
    if (command == L"lock" && argc >= 4) {
        HANDLE h = CreateFileW(arg, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return 1;
        std::printf("locked\n");
        std::fflush(stdout);
        Sleep(static_cast<DWORD>(_wtoi(argv[3])));
        CloseHandle(h);
        return 0;
    }
    return 2;
}
