// The options dialog: the start-up options the user chooses for automatic checks.
#pragma once

#include <windows.h>

// Shows the options dialog modally over `owner`: the two integrate-mode switches when the
// configuration asks for integrate mode, else the three-way choice. Returns IDOK (1) after OK,
// IDCANCEL (2) after Cancel.
int ShowOptionsDialog(HWND owner);
