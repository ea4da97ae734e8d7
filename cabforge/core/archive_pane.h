// The pane windows of the main window ("Cabforge_TreeViewPane"): the archive pane (id 101) with
// the archive tree, its context menu and its drop target, and the file-system pane (id 102).
#pragma once

#include <windows.h>

const int kArchivePaneId = 101;
const int kFileSystemPaneId = 102;
const int kArchiveTreeId = 103;

// The message the drop target sends the archive pane (see cabforge/core/drop_target.h).
const UINT WM_PANE_DROP = WM_APP + 10;

extern const wchar_t kTreePaneClass[];

// Registers the class and creates the file-system pane and then the archive pane as children of
// `splitter`. False when either cannot be created.
bool CreatePanes(HWND splitter, HWND &archivePane, HWND &fileSystemPane);
