// Entry point of the archive builder.
#include <windows.h>

#include "cabforge/core/startup.h"

namespace {

// Libraries loaded by name come from the system folder only, never from the program's folder or
// the current one (a folder being archived, say). Systems without the call keep their own order.
void RestrictLibrarySearch() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI *)(DWORD);
    const auto restrict = reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (restrict)
        restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    RestrictLibrarySearch();
    return RunCabforge(instance);
}
