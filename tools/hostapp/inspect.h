// Reading the state of another process's windows: texts, control states, list-view and
// tab items (cross-process buffers), written as one JSON snapshot per top-level window.
#pragma once

#include <windows.h>

#include <string>

#include "tools/hostapp/json_writer.h"

// Text of a window of any process (WM_GETTEXT, bounded wait).
std::wstring RemoteWindowText(HWND hwnd);
// Text of a control: buttons and statics from the system's copy (no message), others
// through WM_GETTEXT (edit contents live only in the control).
std::wstring ControlText(HWND hwnd);
std::wstring WindowClassName(HWND hwnd);
// The keyboard focus of the thread that owns `top`, or null.
HWND KeyboardFocus(HWND top);
// Caption as the system holds it; sends no message, so a busy program cannot stall us.
std::wstring WindowCaption(HWND hwnd);

// Writes the snapshot object of a top-level window and all its descendants. `host` is the
// host window (for ownerIsHost); `elapsedMs` the time stamp to record.
void WriteWindowSnapshot(JsonWriter &w, HWND top, HWND host, DWORD elapsedMs);

// Reads a NUL-terminated UTF-16 string at `address` in process `pid` (at most 32768
// characters). Returns false when the process or memory cannot be read.
bool ReadRemoteString(DWORD pid, ULONG_PTR address, std::wstring &out);

// Makes row `index` of a list view of another process the only selected (and focused) row,
// as a click would; the program gets its usual change notifications.
bool SelectListViewItem(HWND list, int index);
