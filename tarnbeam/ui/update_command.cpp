#include "tarnbeam/ui/update_command.h"

#include <shellapi.h>

#include "tarnbeam/app/config.h"
#include "tarnbeam/app/module_info.h"
#include "tarnbeam/app/win_handles.h"
#include "tarnbeam/resources/resource.h"
#include "tarnbeam/retrieval/download_target.h"
#include "tarnbeam/retrieval/md5_digest.h"
#include "tarnbeam/retrieval/portable/download_rules.h"
#include "tarnbeam/retrieval/portable/program_image.h"
#include "tarnbeam/retrieval/signature_check.h"
#include "tarnbeam/retrieval/trust_settings.h"
#include "tarnbeam/retrieval/trusted_host.h"
#include "tarnbeam/retrieval/url_transfer.h"
#include "tarnbeam/retrieval/version_check.h"
#include "tarnbeam/ui/progress_window.h"
#include "tarnbeam/ui/window_utils.h"

DownloadStageHook g_downloadStageHook = nullptr;

namespace {

// What the download sink works with while one transfer runs.
struct Download {
    HWND progress = nullptr;
    HANDLE file = nullptr;
    Md5Digest digest;
    unsigned long long written = 0;
    bool stageReported = false;
    const DownloadTarget *target = nullptr;
};

void Stage(const wchar_t *stage, const DownloadTarget &target) {
    if (g_downloadStageHook)
        g_downloadStageHook(stage, target.path);
}

void ShowFailure(HWND dialog, UINT text, const std::wstring &detail = std::wstring()) {
    std::wstring message = LoadResourceString(text);
    if (!detail.empty())
        message += L"\r\n\r\n" + detail;
    MessageBoxW(dialog, message.c_str(), LoadResourceString(IDS_UPDATE_CAPTION).c_str(),
                MB_OK | MB_ICONERROR);
}

// The update entry of the first selected row, or null when it is not one.
const UpdateEntry *SelectedEntry(HWND dialog) {
    const void *data = nullptr;
    if (FirstSelectedRow(GetDlgItem(dialog, IDC_UPDATE_LIST), &data) < 0 || !data ||
        *static_cast<const int *>(data) != kUpdateEntryKind)
        return nullptr;
    return static_cast<const UpdateEntry *>(data);
}

bool Confirmed(HWND dialog, const UpdateEntry &entry) {
    const std::wstring text = FormatText(LoadResourceString(IDS_UPDATE_CONFIRM), entry.componentName);
    return MessageBoxW(dialog, text.c_str(), LoadResourceString(IDS_UPDATE_CAPTION).c_str(),
                       MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

// Receives the body chunk by chunk: writes it, feeds the digest and moves the bar.
int DownloadSink(const BYTE *data, DWORD size, DWORD total, void *context) {
    Download &d = *static_cast<Download *>(context);
    PumpPendingMessages(d.progress);
    if (ProgressCancelRequested() || !d.file)
        return 0;
    DWORD written = 0;
    if (!WriteFile(d.file, data, size, &written, nullptr) || written != size)
        return 0;
    d.written += written;
    if (!d.stageReported) {
        d.stageReported = true;
        Stage(L"writing", *d.target);
    }
    if (total != 0 && d.progress)
        SetProgressPosition(d.progress, download::progressPercent(d.written, total));
    d.digest.add(data, size);
    return 1;
}

// The transfer with the progress window up and the main dialog disabled. Returns whether the
// transfer succeeded; `digest` receives the digest of what was written.
bool Transfer(HWND dialog, const UpdateEntry &entry, const DownloadTarget &target, HANDLE file,
              std::wstring &digest) {
    Download d;
    d.file = file;
    d.target = &target;
    d.progress = CreateProgressWindow(dialog);
    if (!d.digest.begin()) {
        if (d.progress)
            DestroyWindow(d.progress);
        return false;
    }
    EnableWindow(dialog, FALSE);
    const std::wstring userAgent = LoadResourceString(IDS_USER_AGENT);
    const wchar_t *user = g_config.UpdaterLoginUser.empty() ? nullptr : g_config.UpdaterLoginUser.c_str();
    const wchar_t *password = g_config.UpdaterLoginPass.empty() ? nullptr : g_config.UpdaterLoginPass.c_str();
    const bool ok = UrlTransfer(userAgent.c_str(), entry.fileUrl.c_str(), user, password, DownloadSink, &d,
                                RulesFor(Fetched::kUpdateProgram));
    EnableWindow(dialog, TRUE);
    if (d.progress)
        DestroyWindow(d.progress);
    digest = d.digest.finish();
    return ok;
}

// Reads the pinned file at an offset (the handle is synchronous: the read moves its position).
bool ReadPinned(void *context, std::uint64_t offset, void *buffer, std::size_t size) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    return size <= MAXDWORD &&
           ReadFile(static_cast<HANDLE>(context), buffer, static_cast<DWORD>(size), &got, &at) && got == size;
}

// The pinned bytes are a program of the kind the name says, and, when the build binds the two,
// one whose product version is the version offered.
bool IsOfferedProgram(HANDLE pin, const DownloadTarget &target, const UpdateEntry &entry) {
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(pin, &size))
        return false;
    const download::ImageSource image = {ReadPinned, pin, static_cast<std::uint64_t>(size.QuadPart)};
    if (!download::imageMatchesKind(image, target.kind))
        return false;
    if (!g_trust.bindInstallerVersion)
        return true;
    download::ProductVersion version;
    return download::readProductVersion(image, version) && version.major == entry.offeredMajor &&
           version.minor == entry.offeredMinor && version.build == entry.offeredBuild;
}

// Starts the verified program while `pin` still keeps its file from being changed, in its own
// folder: whatever it looks for beside itself is looked for there.
bool Launch(HWND dialog, DownloadTarget &target) {
    const OSVERSIONINFOW &version = SystemVersion();
    SHELLEXECUTEINFOW run = {};
    run.cbSize = sizeof run;
    run.hwnd = dialog;
    run.lpVerb = version.dwMajorVersion >= 6 ? L"RunAs" : L"open";
    run.lpFile = target.path.c_str();
    run.lpDirectory = target.folder.c_str();
    run.nShow = SW_SHOWNORMAL;
    // A refused elevation (ERROR_CANCELLED) is the user's answer; other failures the shell
    // reports itself.
    const bool started = ShellExecuteExW(&run) != FALSE;
    ReleaseDownloadFolder(target);
    return started;
}

// Ends a download that failed a check: the file and its folder go, then the message.
bool Refuse(HWND dialog, KernelHandle &pin, DownloadTarget &target, UINT message) {
    pin.reset();
    RemoveDownload(target);
    ShowFailure(dialog, message);
    return false;
}

// Everything after the transfer: the second digest through the pin, the signature, the name and
// the start. Returns whether the program was started.
bool CheckAndLaunch(HWND dialog, const UpdateEntry &entry, DownloadTarget &target,
                    const std::wstring &written) {
    KernelHandle pin;
    if (!download::digestMatches(written, entry.fileMD5))
        return Refuse(dialog, pin, target, IDS_MD5_MISMATCH);
    // From here on the file is read through the pin only: what is hashed, verified and started
    // is one and the same file.
    pin = PinDownloadFile(target);
    if (!pin || !download::digestMatches(Md5OfFile(pin.get()), written))
        return Refuse(dialog, pin, target, IDS_MD5_MISMATCH);
    Stage(L"pinned", target);
    if (!IsOfferedProgram(pin.get(), target, entry))
        return Refuse(dialog, pin, target, IDS_BAD_SIGNATURE);
    switch (CheckUpdateSignature(dialog, target.path, pin.get())) {
    case SignatureCheck::kNoVerifier:
        return Refuse(dialog, pin, target, IDS_NO_VERIFIER);
    case SignatureCheck::kRefused:
        return Refuse(dialog, pin, target, IDS_BAD_SIGNATURE);
    case SignatureCheck::kTrusted:
        break;
    }
    Stage(L"verified", target);
    if (!PathNamesPinnedFile(target, pin.get()))
        return Refuse(dialog, pin, target, IDS_BAD_SIGNATURE);
    const bool started = Launch(dialog, target);
    pin.reset();
    if (!started)
        RemoveDownload(target);
    return started;
}

} // namespace

bool RunUpdateCommand(HWND dialog) {
    const UpdateEntry *selected = SelectedEntry(dialog);
    if (!selected || selected->fileUrl.empty())
        return false;
    const UpdateEntry &entry = *selected;
    if (!Confirmed(dialog, entry))
        return false;

    switch (CheckTrustedHost(entry.fileUrl)) {
    case HostCheck::kNoHostName:
        ShowFailure(dialog, IDS_NO_HOST);
        return false;
    case HostCheck::kTooShort:
    case HostCheck::kUntrusted:
        ShowFailure(dialog, IDS_UNTRUSTED_HOST);
        return false;
    case HostCheck::kTrusted:
        break;
    }

    DownloadTarget target;
    if (!PlanDownloadTarget(g_config.DownloadPath, entry.fileName, target) || !CreateDownloadFolder(target)) {
        ShowFailure(dialog, IDS_WRITE_FAILED, target.path);
        return false;
    }
    KernelHandle file = CreateDownloadFile(target);
    if (!file) {
        RemoveDownload(target);
        ShowFailure(dialog, IDS_WRITE_FAILED, target.path);
        return false;
    }

    std::wstring digest;
    const bool transferred = Transfer(dialog, entry, target, file.get(), digest);
    FlushFileBuffers(file.get());
    file.reset();
    if (ProgressCancelRequested())
        return false; // the partly written file stays where it is
    if (!transferred) {
        RemoveDownload(target);
        ShowFailure(dialog, IDS_DOWNLOAD_FAILED);
        return false;
    }
    return CheckAndLaunch(dialog, entry, target, digest);
}
