#include "tarnbeam/app/startup.h"

#include <commctrl.h>
#include <ole2.h>
#include <shlwapi.h>
#include <wininet.h>

#include <cstdio>
#include <string>

#include "tarnbeam/app/config.h"
#include "tarnbeam/app/module_info.h"
#include "tarnbeam/app/settings.h"
#include "tarnbeam/app/win_handles.h"
#include "tarnbeam/app/portable/command_line.h"
#include "tarnbeam/app/portable/decision.h"
#include "tarnbeam/feed/new_information.h"
#include "tarnbeam/feed/news_feed.h"
#include "tarnbeam/resources/resource.h"
#include "tarnbeam/retrieval/version_check.h"
#include "tarnbeam/ui/gathering_window.h"
#include "tarnbeam/ui/main_dialog.h"
#include "tarnbeam/ui/options_dialog.h"
#include "tarnbeam/ui/window_utils.h"

StartupOptions g_startupOptions;
HWND g_hostWindow = nullptr;
HWND g_notifyWindow = nullptr;
bool g_autoCheck = false;
bool g_helloShown = false;
bool g_checkFailed = false;
int g_checkErrorCode = 0;
wchar_t g_caption[200] = {};

namespace {

const wchar_t kUpdateNotifyMessage[] = L"Tarnbeam_UpdateNotify";

// A window handle from a switch value. A number that names no window is taken as none, so a
// stale or mistyped handle can neither own our message boxes nor be disabled by us.
HWND WindowFromSwitch(const ParsedCommandLine &line, const wchar_t *name) {
    std::wstring value;
    if (!FindValueSwitch(line, name, value))
        return nullptr;
    HWND window = reinterpret_cast<HWND>(static_cast<INT_PTR>(ParseAutoBaseNumber(value)));
    return IsWindow(window) ? window : nullptr;
}

std::wstring TodayText() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t text[32];
    swprintf(text, 32, L"%04d/%02d/%02d", now.wYear, now.wMonth, now.wDay);
    return text;
}

bool AnyNewerEntry() {
    for (const UpdateEntry &entry : g_updateEntries)
        if (entry.newer)
            return true;
    return false;
}

void RunVersionCheckStep() {
    const bool ok = RunVersionCheck(g_updateEntries, g_checkErrorCode);
    g_checkFailed = !(ok && !g_updateEntries.empty());
    if (g_checkFailed) {
        g_updateEntries.clear();
        g_updateEntries.push_back(UpdateEntry()); // blank placeholder row
    }
}

int RunMessageLoop(HWND dialog) {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (IsWindow(dialog) && IsDialogMessageW(dialog, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return kExitNormal;
}

int RunWithOle() {
    // Without an Internet connection the run ends silently, before anything else is read.
    DWORD connection = 0;
    if (!InternetGetConnectedState(&connection, 0))
        return kExitNormal;

    const int configError = LoadConfiguration();
    if (configError != kConfigLoaded) {
        const std::wstring text = FormatText(LoadResourceString(IDS_CONFIG_ERROR), configError);
        MessageBoxW(nullptr, text.c_str(), g_caption, MB_OK | MB_ICONERROR);
        return kExitBadConfiguration;
    }

    const std::wstring &productKey = g_config.RegKey;
    StartupOptions &options = g_startupOptions;
    if (g_config.IntegrateMode) {
        options.autoCheckUpdate = ReadRegNumber(productKey, L"AutoCheckUpdate", 1) != 0;
        options.showOnNewInformation = ReadRegNumber(productKey, L"ShowOnNewInformation", 1) != 0;
    } else {
        options.showOption = ReadRegNumber(productKey, L"ShowOption", 1);
    }

    const ParsedCommandLine line = ParseCommandLine(
        GetCommandLineW(), [](const std::wstring &path) { return PathFileExistsW(path.c_str()) != FALSE; });
    g_hostWindow = WindowFromSwitch(line, L"hwnd");
    if (g_config.IntegrateMode)
        g_notifyWindow = WindowFromSwitch(line, L"NotifyWindow");

    if (ReadRegNumber(productKey, L"ShowHello", 0) == 0) {
        const std::wstring text = LoadResourceString(IDS_FIRST_RUN);
        MessageBoxW(g_hostWindow, text.c_str(), g_caption, MB_OK | MB_ICONINFORMATION);
        WriteRegNumber(productKey, L"ShowHello", 1);
        g_helloShown = true;
    }

    if (HasFlagSwitch(line, L"Option")) {
        ShowOptionsDialog(g_hostWindow);
        return kExitNormal;
    }

    if (HasFlagSwitch(line, L"AutoCheck")) {
        g_autoCheck = true;
        if (!g_helloShown) {
            const bool off = g_config.IntegrateMode
                                 ? (!options.autoCheckUpdate && !options.showOnNewInformation)
                                 : options.showOption == 0;
            if (off)
                return kExitStartupOff;
        }
        const std::wstring today = TodayText();
        if (!g_helloShown && ReadRegText(productKey, L"LastExecDate") == today)
            return kExitNormal;
        WriteRegText(productKey, L"LastExecDate", today);
    }

    HWND gathering = CreateGatheringWindow(g_hostWindow);
    RunVersionCheckStep();
    readNewsFeed(g_config.RSSURL, newsItems);
    if (gathering)
        DestroyWindow(gathering);

    DecisionInputs inputs;
    inputs.autoCheck = g_autoCheck;
    inputs.integrateMode = g_config.IntegrateMode;
    inputs.autoCheckUpdate = options.autoCheckUpdate;
    inputs.showOnNewInformation = options.showOnNewInformation;
    inputs.showOption = options.showOption;
    inputs.helloShown = g_helloShown;
    inputs.anyNewer = AnyNewerEntry();
    const Decision decision = DecideMainDialog(inputs, [] { return hasNewInformation(); });
    if (decision.notifyHost)
        PostMessageW(g_notifyWindow, RegisterWindowMessageW(kUpdateNotifyMessage), 0, 0);
    if (!decision.openMainDialog)
        return kExitNormal;

    HWND dialog = CreateMainDialog(g_hostWindow, g_autoCheck);
    if (!dialog)
        return kExitNormal;
    ShowWindow(dialog, SW_SHOW);
    UpdateWindow(dialog);
    if (g_hostWindow) {
        SetForegroundWindow(g_hostWindow);
        EnableWindow(g_hostWindow, FALSE);
    }
    const int code = RunMessageLoop(dialog);
    if (g_hostWindow && IsWindow(g_hostWindow) && !IsWindowEnabled(g_hostWindow))
        EnableWindow(g_hostWindow, TRUE);
    return code;
}

// Libraries loaded by name from here on come from the system folder only, never from the
// program's own folder (a download folder, say) or the current one. Systems without the call
// keep their own search order.
void RestrictLibrarySearch() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI *)(DWORD);
    const auto restrict = LookUpFunction<SetDefaultDllDirectoriesFn>(GetModuleHandleW(L"kernel32.dll"),
                                                                     "SetDefaultDllDirectories");
    if (restrict)
        restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

} // namespace

int RunUpdateClient(HINSTANCE instance) {
    RestrictLibrarySearch();
    LoadStringW(instance, IDS_CAPTION, g_caption, 200);
    int code;
    {
        OleSession ole;
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES | ICC_TAB_CLASSES};
        InitCommonControlsEx(&controls);
        code = RunWithOle();
    }
    DeleteFeedImages();
    return code;
}
