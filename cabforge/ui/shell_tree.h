// The file-system pane's tree (control 104): the shell namespace from the desktop down, each
// folder's children loaded when it is first expanded, siblings folders first, and the drag of an
// item's path to the archive pane. The pane window (id 102) creates, notifies and destroys it.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>

const int kShellTreeId = 104;

// Sent by the drag's data object to the pane while a drag that the pane started runs: wParam the
// clipboard format, lParam a DragDataRequest whose `data` receives a block the receiver owns.
const UINT WM_DRAG_DATA_REQUEST = WM_APP + 11;

struct DragDataRequest {
    HGLOBAL data;
};

// Creates the tree in `pane`, fills the desktop's level and expands it. Null on failure, after
// telling the user and asking the main window to close.
HWND CreateShellTree(HWND pane);
// The tree's notifications, forwarded by the pane.
LRESULT ShellTreeNotify(HWND pane, WPARAM wParam, LPARAM lParam);
// Destroys the tree (freeing every item's record) and releases the desktop folder.
void DestroyShellTree();
// Puts a copy of the running drag's data into `request` when `format` is the one prepared.
void AnswerDragDataRequest(UINT format, DragDataRequest *request);

// The tree control, null when there is none; its image list is the system's small icons.
HWND ShellTreeControl();
HIMAGELIST ShellTreeImages();
// The selected item and its file-system path (empty for items without one).
HTREEITEM ShellTreeSelection();
std::wstring ShellTreeItemPath(HTREEITEM item);

// Items with a record, alive now: every record is freed with its item.
long LiveShellTreeItems();
