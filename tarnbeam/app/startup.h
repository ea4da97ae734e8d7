// The update client's start-up sequence: run modes, first-run notice, once-a-day rule.
#pragma once
#include <windows.h>

int RunUpdateClient(HINSTANCE instance);
