// The update client's main dialog: the HTML view above the update list and the news list.
#pragma once

#include <windows.h>

// Creates the dialog (modeless, not yet visible) owned by `owner`; null when it cannot be
// created or its HTML view cannot be set up. Destroying it posts the quit message.
HWND CreateMainDialog(HWND owner, bool autoCheck);

// The main dialog while it exists, else null (the owner of what the Update command shows).
HWND MainDialogWindow();
