// tarnbeam_staged.exe: the update client as built with the required signer set to
// "Tarnbeam Test Signer", and, when the environment variable TB_STAGE_DIR names a folder, with
// every download stage held: at stage S the client writes the downloaded file's path to
// <folder>\S.ready and waits (at most 30 s) until <folder>\S.go exists.
#include <windows.h>

#include <string>

#include "tarnbeam/app/startup.h"
#include "tarnbeam/retrieval/signature_check.h"
#include "tarnbeam/ui/update_command.h"

namespace {

std::wstring g_stageFolder;

void HoldAtStage(const wchar_t *stage, const std::wstring &path) {
    const std::wstring ready = g_stageFolder + L"\\" + stage + L".ready";
    const std::wstring go = g_stageFolder + L"\\" + stage + L".go";
    HANDLE file =
        CreateFileW(ready.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, path.data(), static_cast<DWORD>(path.size() * sizeof(wchar_t)), &written, nullptr);
        CloseHandle(file);
    }
    for (int i = 0; i < 3000 && GetFileAttributesW(go.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(10);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    g_requiredSigner = L"Tarnbeam Test Signer";
    wchar_t folder[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"TB_STAGE_DIR", folder, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        g_stageFolder = folder;
        g_downloadStageHook = HoldAtStage;
    }
    return RunUpdateClient(instance);
}
