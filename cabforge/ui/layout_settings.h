// The main window's layout kept per user under Software\Ondrel\Pakkit 6\Compressor: the pane
// width and the window placement.
#pragma once

#include <windows.h>

// The stored PaneWidth, or -1 when it is missing.
int ReadPaneWidth();
void WritePaneWidth(int width);
// Shows the window at its stored placement (at the system's default place on a first start).
void RestorePlacement(HWND window);
void StorePlacement(HWND window);
