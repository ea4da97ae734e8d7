// What the update client reads from its own module: string-table texts in the language the
// system picks (and their formatting with printf-style placeholders), and the program's folder.
#pragma once

#include <windows.h>

#include <string>

// The text of string `id` of this program; empty when there is none.
std::wstring LoadResourceString(UINT id);

// `pattern` with its placeholder filled from `value`; surplus values are dropped, and a pattern
// the formatter cannot read is returned as it stands.
std::wstring FormatText(const std::wstring &pattern, int value);
std::wstring FormatText(const std::wstring &pattern, const std::wstring &value);

// The folder of this program with a trailing backslash, or empty when it does not fit MAX_PATH.
std::wstring ProgramFolder();
