// The About dialog (701): the program's icon, name and FileVersion.
#pragma once

#include <windows.h>

void ShowAboutDialog(HWND owner);
