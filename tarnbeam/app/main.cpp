// Entry point of the update client.
#include <windows.h>

#include "tarnbeam/app/startup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    return RunUpdateClient(instance);
}
