// Entry point of the archive builder.
#include <windows.h>

#include "core/startup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    return RunCabforge(instance);
}
