// Entry of the archive builder: reads the command line, picks the mode and runs it.
#pragma once

#include <windows.h>

// Returns the process exit code.
int RunCabforge(HINSTANCE instance);
