// Per-user values below HKEY_CURRENT_USER. Each operation opens and closes the key itself.
#pragma once

#include <windows.h>

#include <string>

// Reads a text of at most 99 characters; anything else (missing key or value, a longer text)
// reads as empty with `found` false.
std::wstring ReadRegText(const std::wstring &key, const std::wstring &name, bool *found = nullptr);
bool WriteRegText(const std::wstring &key, const std::wstring &name, const std::wstring &text);

// Reads at most 4 bytes, whatever the stored type; `fallback` on any failure.
DWORD ReadRegNumber(const std::wstring &key, const std::wstring &name, DWORD fallback);
bool WriteRegNumber(const std::wstring &key, const std::wstring &name, DWORD number);
