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

// String `id` with `value` in place of its "%1%".
std::wstring FormatResource(UINT id, const std::wstring &value);

// A message box with string `text` under the program's caption, and `detail` as a paragraph of its
// own below it when given; returns the button pressed.
int ShowResourceMessage(HWND owner, UINT text, UINT style, const std::wstring &detail = std::wstring());

// Asks for a file name with the common file dialog: `filter` is a string whose parts are
// separated by '|', `initial` the name first shown, `extension` the one added to a bare name.
// Saving asks before overwriting; opening wants an existing file. False when cancelled.
bool ChooseFileName(HWND owner, bool saving, UINT filter, const wchar_t *initial, const wchar_t *extension,
                    std::wstring &path);

// Upper-case form of one character for case-insensitive name comparison, as the shell compares.
wchar_t ShellCaseFold(wchar_t c);

// Windows NT 6.0 or later; tested once.
bool IsVistaOrLater();
// On NT 6.0 and later: the "explorer" theme for a tree control, without the `lineStyles` given,
// with double buffering, automatic horizontal scrolling and fading expand buttons.
void ApplyExplorerTreeTheme(HWND tree, DWORD lineStyles);

// Centres a window over the visible main window, else over the screen, then keeps it on screen;
// moved without resizing, and not activated while it is not yet visible.
void CentreOverMainWindow(HWND window);
