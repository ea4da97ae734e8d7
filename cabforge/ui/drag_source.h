// The OLE side of a drag started in the file-system pane: a data object that offers CF_HDROP and
// fetches the data from the pane (WM_DRAG_DATA_REQUEST) each time it is asked, and a drop source
// that follows the mouse button that started the drag.
#pragma once

#include <windows.h>
#include <ole2.h>

#include "cabforge/core/win_handles.h"

// The data object of a drag from `pane`; empty when out of memory.
ComPtr<IDataObject> CreateDragData(HWND pane);
// The drop source: Esc cancels, releasing the starting button (the right one when it is down
// now, else the left one) drops.
ComPtr<IDropSource> CreateDropSource();

// Runs the drag of the pane's prepared data, copy only, until the button is released.
void RunDrag(HWND pane);
