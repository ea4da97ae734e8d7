// Small window helpers shared by the update client's dialogs.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

// A wide string as the portable text code reads it (UTF-16 units, not copied).
inline std::u16string_view AsUtf16(const std::wstring &text) {
    return std::u16string_view(reinterpret_cast<const char16_t *>(text.data()), text.size());
}

// A function of `module` looked up by name, null when the module or the function is missing.
template <class F> F LookUpFunction(HMODULE module, const char *name) {
    return module ? reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name))) : nullptr;
}

// The version of Windows the program runs on (as the system reports it, whatever the program's
// manifest), asked once; 0.0 when it cannot be asked.
const OSVERSIONINFOW &SystemVersion();

// Centres `window` over `owner` (or over the work area of its monitor when the owner is missing
// or hidden) and keeps its top-left corner on the virtual screen.
void CenterWindow(HWND window, HWND owner);

// The first selected row of a list view, or -1 when none is selected; `data` receives that row's
// item data (null when the row has none or cannot be read).
int FirstSelectedRow(HWND list, const void **data);

// Creates dialog `id` modeless over `owner` with `proc`, centres it over the owner, shows and
// paints it at once; null when it cannot be created.
HWND ShowModelessDialog(UINT id, HWND owner, DLGPROC proc);

// Handles every message waiting for this thread; messages `dialog` takes for its keyboard
// handling go no further. Returns false when a quit message was met (it is posted again).
bool PumpPendingMessages(HWND dialog = nullptr);
