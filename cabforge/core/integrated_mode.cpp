#include "cabforge/core/integrated_mode.h"

#include <shlobj.h>
#include <shlwapi.h>

#include "cabforge/core/app_state.h"
#include "cabforge/core/archive_flow.h"
#include "cabforge/core/win_handles.h"
#include "cabforge/core/win_util.h"
#include "cabforge/resources/resource.h"

namespace {

const wchar_t kArchiveName[] = L"Pakkit Project.cab";
const wchar_t kProjectsFolder[] = L"Projects";

bool DesktopFolder(std::wstring &folder) {
    wchar_t path[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, path) == S_OK &&
        path[0]) {
        folder = path;
        return true;
    }
    ItemIdListHandle desktop;
    if (SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOP, desktop.put()) == S_OK &&
        SHGetPathFromIDListW(desktop.get(), path) && path[0]) {
        folder = path;
        return true;
    }
    return false;
}

bool ProgramProjectsFolder(std::wstring &folder) {
    wchar_t program[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !PathRemoveFileSpecW(program))
        return false;
    wchar_t joined[MAX_PATH] = {};
    if (!PathCombineW(joined, program, kProjectsFolder))
        return false;
    folder = joined;
    return true;
}

bool IsExistingFile(const std::wstring &path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The overwrite question with the path in place of its "%s".
std::wstring OverwriteQuestion(const std::wstring &path) {
    std::wstring text = LoadResourceString(IDS_OVERWRITE);
    const std::size_t at = text.find(L"%s");
    if (at != std::wstring::npos)
        text.replace(at, 2, path);
    return text;
}

} // namespace

bool IntegratedArchivePath(std::wstring &path) {
    std::wstring folder;
    if (!DesktopFolder(folder) && !ProgramProjectsFolder(folder))
        return false;
    wchar_t joined[MAX_PATH] = {};
    if (!PathCombineW(joined, folder.c_str(), kArchiveName))
        return false;
    path = joined;
    return true;
}

void CreateArchiveAndExit(HWND mainWindow) {
    std::wstring target;
    if (!IntegratedArchivePath(target)) {
        MessageBeep(0);
        return;
    }
    if (IsExistingFile(target) &&
        MessageBoxW(mainWindow, OverwriteQuestion(target).c_str(), LoadResourceString(IDS_CAPTION).c_str(),
                    MB_YESNO | MB_ICONWARNING) != IDYES)
        return;
    if (createArchiveFromTree(mainWindow, target))
        DestroyWindow(mainWindow);
}

void ReportArchiveToHost() {
    if (!g_hostWindow || g_lastArchivePath.empty())
        return;
    // The host reads the text out of this process while it handles the message; it stays valid
    // until SendMessage returns.
    SendMessageW(g_hostWindow, WM_ARCHIVE_CREATED, static_cast<WPARAM>(GetCurrentProcessId()),
                 reinterpret_cast<LPARAM>(g_lastArchivePath.c_str()));
}
