#include "cabforge/core/archive_flow.h"

#include <vector>

#include "cabforge/core/app_state.h"
#include "cabforge/core/archive_tree.h"
#include "cabforge/core/cab_builder.h"
#include "cabforge/core/progress_dialog.h"
#include "cabforge/core/win_util.h"
#include "cabforge/resources/resource.h"

namespace {

const int kPathChars = 260;

bool ChooseArchivePath(HWND owner, std::wstring &path) {
    return ChooseFileName(owner, true, IDS_ARCHIVE_FILTER, L"untitled", L"cab", path);
}

// The failure message with the line that says what failed; exit code 204.
bool Failed(HWND owner, const std::wstring &line) {
    if (!g_silent)
        ShowResourceMessage(owner, IDS_CREATE_FAILED, MB_OK | MB_ICONERROR, line);
    g_exitCode = kExitProjectBuildFailed;
    return false;
}

} // namespace

bool createArchiveFromTree(HWND owner, const std::wstring &target) {
    if (!g_archiveTree.hasEntries()) {
        if (!g_silent)
            ShowResourceMessage(owner, IDS_NO_FILES, MB_OK | MB_ICONWARNING);
        g_exitCode = kExitProjectEmpty;
        return false;
    }
    // A target that does not fit the path buffer is refused: a shorter one would be another file.
    if (target.size() > kPathChars - 1)
        return Failed(owner, FormatResource(IDS_FAIL_TARGET, target));
    std::wstring path = target;
    if (target.empty() && !ChooseArchivePath(owner, path))
        return false;

    std::vector<std::wstring> sources;
    std::vector<std::wstring> names;
    g_archiveTree.collectFiles(sources, names);
    CabBuilder builder;
    for (std::size_t i = 0; i < sources.size(); ++i)
        builder.addFile(sources[i], names[i]);

    HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    if (!g_silent) {
        if (!ProgressDialog::open(owner, true)) {
            SetCursor(previous);
            return false;
        }
        ProgressDialog::setHeading(LoadResourceString(IDS_CREATING_ARCHIVE));
    }
    ProgressDialog::clearCancel();
    const bool ok = builder.build(path, InteractiveProgress, 0);
    ProgressDialog::close();
    SetCursor(previous);

    if (ok) {
        g_lastArchivePath = path;
        g_archiveTree.setModified(false);
        return true;
    }
    if (ProgressDialog::cancelled()) {
        if (!g_silent)
            ShowResourceMessage(owner, IDS_ABORTED, MB_OK | MB_ICONWARNING, builder.failureLine());
        g_exitCode = kExitProjectBuildCancelled;
        return false;
    }
    return Failed(owner, builder.failureLine());
}

bool confirmDiscard(HWND owner) {
    if (!g_archiveTree.modified() || !g_archiveTree.hasEntries())
        return true;
    switch (ShowResourceMessage(owner, IDS_SAVE_ARCHIVE, MB_YESNOCANCEL | MB_ICONWARNING)) {
    case IDNO:
        return true;
    case IDYES:
        return createArchiveFromTree(owner, std::wstring());
    default:
        return false;
    }
}
