#include "cabforge/core/startup.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cabforge/core/cmdline/command_line.h"
#include "cabforge/core/app_state.h"
#include "cabforge/core/archive_flow.h"
#include "cabforge/core/archive_tree.h"
#include "cabforge/core/command_line_modes.h"
#include "cabforge/core/progress_dialog.h"
#include "cabforge/core/project_file.h"
#include "cabforge/core/win_util.h"
#include "cabforge/resources/resource.h"
#include "cabforge/ui/main_window.h"

namespace {

const wchar_t kBootMutexName[] = L"Pakkit_boot_mutex";
const std::size_t kPathChars = 260;

// The arguments as the C runtime split them, from the second one on.
std::vector<std::wstring> ProgramArguments() {
    std::vector<std::wstring> args;
    if (__wargv) {
        for (int i = 1; i < __argc; ++i)
            args.push_back(__wargv[i] ? __wargv[i] : L"");
        return args;
    }
    int count = 0;
    LocalMemory list(CommandLineToArgvW(GetCommandLineW(), &count));
    if (!list)
        return args;
    LPWSTR *words = static_cast<LPWSTR *>(list.get());
    for (int i = 1; i < count; ++i)
        args.push_back(words[i]);
    return args;
}

bool ProbeWindow(std::intptr_t handle) {
    return IsWindow(reinterpret_cast<HWND>(handle)) != FALSE;
}

struct OtherInstanceSearch {
    DWORD ownProcess;
    HWND found;
};

BOOL CALLBACK FindOtherMainWindow(HWND window, LPARAM lParam) {
    OtherInstanceSearch *search = reinterpret_cast<OtherInstanceSearch *>(lParam);
    wchar_t className[64] = {};
    if (!GetClassNameW(window, className, 64) || lstrcmpW(className, kMainWindowClass) != 0)
        return TRUE;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == search->ownProcess)
        return TRUE;
    search->found = window;
    return FALSE;
}

// Brings the main window of the instance that holds the mutex to the front.
void ActivateOtherInstance() {
    OtherInstanceSearch search = {GetCurrentProcessId(), nullptr};
    EnumWindows(FindOtherMainWindow, reinterpret_cast<LPARAM>(&search));
    if (!search.found)
        return;
    if (IsIconic(search.found))
        ShowWindow(search.found, SW_RESTORE);
    SetForegroundWindow(search.found);
}

// The archive of a project build: the bare archive path, else the project path with ".cab";
// empty when that does not fit the path buffer (the build then fails).
std::wstring ProjectArchivePath(const cfcmd::StartupOptions &options) {
    if (!options.bareArchivePath.empty())
        return options.bareArchivePath;
    std::wstring path;
    if (!cfcmd::renameExtension(options.projectPath, L".cab", kPathChars, path))
        return std::wstring();
    return path;
}

int RunProjectBuild(const cfcmd::StartupOptions &options) {
    if (options.projectPath.empty())
        return kExitCompressWithoutProject;
    const std::wstring target = ProjectArchivePath(options);
    if (!ProjectFile::load(g_mainWindow, options.projectPath))
        return g_exitCode;
    // No archive path fits the path buffer: nothing can be written.
    if (target.empty())
        return kExitProjectBuildFailed;
    if (!createArchiveFromTree(g_mainWindow, target))
        return g_exitCode;
    return kExitOk;
}

int RunInteractive(HACCEL accelerators, const cfcmd::StartupOptions &options) {
    KernelHandle mutex(CreateMutexW(nullptr, FALSE, kBootMutexName));
    if (mutex.valid() && GetLastError() == ERROR_ALREADY_EXISTS) {
        ActivateOtherInstance();
        return kExitOk;
    }

    SendMessageW(g_mainWindow, WM_RESTORE_PLACEMENT, 0, 0);
    UpdateWindow(g_mainWindow);
    if (!options.projectPath.empty())
        ProjectFile::load(g_mainWindow, options.projectPath);

    MSG msg = {};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (g_mainWindow && accelerators && TranslateAcceleratorW(g_mainWindow, accelerators, &msg))
            continue;
        if (ProgressDialog::handle() && IsDialogMessageW(ProgressDialog::handle(), &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

} // namespace

int RunCabforge(HINSTANCE instance) {
    g_instance = instance;
    cfcmd::ArgumentProbes probes;
    probes.isFolder = IsExistingFolder;
    probes.isWindow = ProbeWindow;
    probes.fold = ShellCaseFold;
    const cfcmd::StartupOptions options = cfcmd::parseArguments(ProgramArguments(), probes);
    g_silent = options.silent;
    g_hostWindow = reinterpret_cast<HWND>(options.hostWindow);

    const cfcmd::Mode mode = cfcmd::selectMode(options);
    if (mode == cfcmd::Mode::FileList)
        return RunFileListMode(options);
    if (mode == cfcmd::Mode::Folder)
        return RunFolderMode(options);

    // GUI start.
    g_archiveTree.setModified(false);
    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_ACCELERATORS));
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    OleSession ole;
    if (!ole.ok())
        return kExitOk;
    if (!CreateMainWindow(g_hostWindow != nullptr))
        return kExitOk;

    if (mode == cfcmd::Mode::ProjectBuild)
        return RunProjectBuild(options);
    return RunInteractive(accelerators, options);
}
