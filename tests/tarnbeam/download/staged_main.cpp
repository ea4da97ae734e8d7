// tarnbeam_staged.exe: the update client with its trust settings taken from the environment, as
// a build with those settings would have them, and, when TB_STAGE_DIR names a folder, with every
// download stage held: at stage S the client writes the downloaded file's path to
// <folder>\S.ready and waits (at most 30 s) until <folder>\S.go exists.
//   TB_STAGED_SIGNER   the required signer's subject; unset: the test maker's, empty: none
//   TB_STAGED_HTTPS, TB_STAGED_SIGNED_INFO, TB_STAGED_BIND_VERSION   "1" switches the setting on
#include <windows.h>

#include <string>

#include "tarnbeam/app/startup.h"
#include "tarnbeam/retrieval/trust_settings.h"
#include "tarnbeam/ui/update_command.h"

namespace {

const wchar_t kTestMakerSubject[] = L"subject=O = Tarnbeam Test Makers, CN = Tarnbeam Test Signer";
const DWORD kValueChars = 1024;

std::wstring g_stageFolder;

bool Variable(const wchar_t *name, std::wstring &value) {
    wchar_t buffer[kValueChars] = {};
    SetLastError(0);
    const DWORD length = GetEnvironmentVariableW(name, buffer, kValueChars);
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
        return false;
    value.assign(buffer, length < kValueChars ? length : 0);
    return true;
}

bool Switched(const wchar_t *name) {
    std::wstring value;
    return Variable(name, value) && value == L"1";
}

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
    if (!Variable(L"TB_STAGED_SIGNER", g_trust.requiredSigner))
        g_trust.requiredSigner = kTestMakerSubject;
    g_trust.requireHttps = Switched(L"TB_STAGED_HTTPS");
    g_trust.signedVersionInfo = Switched(L"TB_STAGED_SIGNED_INFO");
    g_trust.bindInstallerVersion = Switched(L"TB_STAGED_BIND_VERSION");
    if (Variable(L"TB_STAGE_DIR", g_stageFolder) && !g_stageFolder.empty())
        g_downloadStageHook = HoldAtStage;
    return RunUpdateClient(instance);
}
