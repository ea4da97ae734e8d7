// A small OLE drop target that turns a drag over a window into messages to that window: on enter,
// over and drop it fetches the first accepted clipboard format the data offers as global memory
// and sends the window `message` with wParam 0 (enter), 1 (over) or 3 (drop) and lParam pointing
// to a DropRecord; on leave it sends wParam 2 with lParam 0.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <vector>

enum DropStage : WPARAM { kDropEnter = 0, kDropOver = 1, kDropLeave = 2, kDropDrop = 3 };

struct DropRecord {
    POINT point;  // screen coordinates
    DWORD effect; // set by the window: DROPEFFECT_COPY or DROPEFFECT_NONE
    DWORD keyState;
    CLIPFORMAT format; // the format found, 0 when none
    HGLOBAL data;      // for CF_HDROP the file-drop handle; valid until the message returns
    IDataObject *dataObject;
};

// Registers a drop target for `window`; false when OLE refuses. RevokeDropTarget undoes it.
bool RegisterDropTarget(HWND window, const std::vector<CLIPFORMAT> &formats, UINT message);
void RevokeDropTarget(HWND window);
