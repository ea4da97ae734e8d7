// Entry point of the archive builder.
#include <windows.h>

#include "cabforge/core/startup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    return RunCabforge(instance);
}
