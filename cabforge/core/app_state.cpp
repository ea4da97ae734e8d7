#include "cabforge/core/app_state.h"

HINSTANCE g_instance = nullptr;
int g_exitCode = 0;
bool g_silent = false;
HWND g_hostWindow = nullptr;
std::wstring g_lastArchivePath;
HWND g_mainWindow = nullptr;
