// The splitter window ("Cabforge_Splitter") that lays out the main window's two panes side by
// side (or stacked, with style bit 0) around a draggable 4-pixel bar.
#pragma once

#include <windows.h>

extern const wchar_t kSplitterClass[];

// Registers the class; false when it cannot be registered.
bool RegisterSplitterClass();
void SplitterSetPanes(HWND splitter, HWND first, HWND second);
// Moves the bar to `position` pixels, kept within the pane minimum and the client width.
void SplitterSetPosition(HWND splitter, int position);
// The width of the first pane; 0 when the panes are not both set.
int SplitterPosition(HWND splitter);
