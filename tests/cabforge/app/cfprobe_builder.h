// cfprobe's commands on the builder's main window and its archive tree (see cfprobe.cpp), and the
// helpers they share with the file-system tree's commands (cfprobe_shell.cpp).
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

bool IsBuilderCommand(const std::wstring &command);
// `args` are the arguments after the command. Exit code as cfprobe's.
int RunBuilderCommand(const std::wstring &command, int argc, wchar_t **args);

HWND MainWindow();
HWND Splitter();

// A block of memory in the builder's process for the tree messages that carry pointers.
class Remote {
  public:
    explicit Remote(HWND window) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        m_process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (m_process)
            m_base =
                static_cast<char *>(VirtualAllocEx(m_process, nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    }
    ~Remote() {
        if (m_base)
            VirtualFreeEx(m_process, m_base, 0, MEM_RELEASE);
        if (m_process)
            CloseHandle(m_process);
    }
    bool ok() const { return m_base != nullptr; }
    char *at(SIZE_T offset) const { return m_base + offset; }
    bool put(SIZE_T offset, const void *data, SIZE_T size) const {
        return WriteProcessMemory(m_process, m_base + offset, data, size, nullptr) != FALSE;
    }
    bool get(SIZE_T offset, void *data, SIZE_T size) const {
        return ReadProcessMemory(m_process, m_base + offset, data, size, nullptr) != FALSE;
    }

  private:
    HANDLE m_process = nullptr;
    char *m_base = nullptr;
};

struct TreeItem {
    HTREEITEM handle;
    int depth;
};

// Every item of a tree control of the builder, depth first.
std::vector<TreeItem> WalkTree(HWND tree);
std::wstring ItemText(HWND tree, const Remote &remote, HTREEITEM item);
// Writes the text as a JSON string (non-ASCII characters escaped).
void PrintJsonString(const std::wstring &text);
// The centre of the item's label in tree client coordinates, once the item is scrolled into view.
bool LabelCentre(HWND tree, const Remote &remote, HTREEITEM item, POINT &point);
// The screen point of a drop onto the archive tree: "root", "empty" or "item:<n>".
bool DropPoint(const std::wstring &where, POINT &point);
