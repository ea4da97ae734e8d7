// Small helpers shared by the archive builder's Windows code: UTF-8 conversion and string-table
// texts. Handle holders are in cabforge/core/win_handles.h.
#pragma once

#include <windows.h>

#include "cabforge/core/win_handles.h"

#include <string>

// Strict conversions: false on invalid input (unpaired surrogates, malformed UTF-8).
bool Utf16ToUtf8(const std::wstring &text, std::string &out);
bool Utf8ToUtf16(const char *text, std::wstring &out);

// True when `path` names an existing folder.
bool IsExistingFolder(const std::wstring &path);

// A string-table text of the builder's module, in the language the system picks.
std::wstring LoadResourceString(UINT id);

// Upper-case form of one character for case-insensitive name comparison, as the shell compares.
wchar_t ShellCaseFold(wchar_t c);

// Centres a window over the visible main window, else over the screen, then keeps it on screen;
// moved without resizing, and not activated while it is not yet visible.
void CentreOverMainWindow(HWND window);
