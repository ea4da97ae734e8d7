// The modeless progress window (dialog 107): a heading, the name at hand and Cancel. Long
// operations run on the user-interface thread and call pump() between steps. At most one exists.
#pragma once

#include <windows.h>

#include <string>

namespace ProgressDialog {

// Creates and shows the window owned by `owner`; with `disableOwner` the owner is disabled until
// the window closes. False when the window cannot be created.
bool open(HWND owner, bool disableOwner);
void setHeading(const std::wstring &text);
// Sets the detail line only when the text differs, so that an unchanged name does not flicker.
void setDetail(const std::wstring &text);
// Handles every waiting message; a quit message ends the pump and is posted again.
void pump();
// Enables the disabled owner and destroys the window, if it still exists.
void close();

// The open window, or null (also after Cancel).
HWND handle();
bool cancelled();
void clearCancel();

} // namespace ProgressDialog

// Progress callbacks in the form CabBuilder calls them: current source path, uncompressed bytes so
// far, size of the current file, user value; false stops the build.
bool CommandLineProgress(const std::wstring &source, unsigned long done, unsigned long fileSize, LPARAM user);
bool InteractiveProgress(const std::wstring &source, unsigned long done, unsigned long fileSize, LPARAM user);
