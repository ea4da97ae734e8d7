#include "cabforge/core/command_line_modes.h"

#include <windows.h>

#include "cabforge/core/app_state.h"
#include "cabforge/core/cab_builder.h"
#include "cabforge/core/folder_scan.h"
#include "cabforge/core/progress_dialog.h"
#include "cabforge/core/win_util.h"
#include "cabforge/resources/resource.h"

namespace {

// Holds the host window disabled (and the progress window open, unless silent) for the whole
// build; the destructor closes the window and enables the host on every path.
class CommandLineSession {
  public:
    CommandLineSession() {
        if (!g_silent)
            ProgressDialog::open(g_hostWindow, false);
        ProgressDialog::clearCancel();
        if (g_hostWindow)
            EnableWindow(g_hostWindow, FALSE);
    }
    ~CommandLineSession() {
        ProgressDialog::close();
        if (g_hostWindow)
            EnableWindow(g_hostWindow, TRUE);
    }
    CommandLineSession(const CommandLineSession &) = delete;
    CommandLineSession &operator=(const CommandLineSession &) = delete;
};

int Build(CabBuilder &builder, const std::wstring &target) {
    if (ProgressDialog::handle())
        ProgressDialog::setHeading(LoadResourceString(IDS_CREATING_ARCHIVE));
    return builder.build(target, CommandLineProgress, 0) ? kExitOk : kExitCommandLineBuildFailed;
}

} // namespace

int RunFileListMode(const cfcmd::StartupOptions &options) {
    CommandLineSession session;
    CabBuilder builder;
    for (const std::wstring &path : options.files) {
        const std::wstring name = cfcmd::fileNamePart(path);
        if (!cfcmd::matchesAny(name, options.exclusions, ShellCaseFold))
            builder.addFile(path, name);
    }
    return Build(builder, options.bareArchivePath);
}

int RunFolderMode(const cfcmd::StartupOptions &options) {
    const std::wstring target = cfcmd::folderArchivePath(options);
    CommandLineSession session;
    if (!IsExistingFolder(options.folderPath))
        return kExitFolderMissing;
    // No archive path fits the path buffer: nothing can be written.
    if (target.empty())
        return kExitCommandLineBuildFailed;
    std::vector<cfcmd::ScannedFile> files;
    // Cancel during the scan stops here: nothing is written.
    if (!ScanFolder(options.folderPath, options.exclusions, files))
        return kExitCommandLineBuildFailed;
    CabBuilder builder;
    for (const cfcmd::ScannedFile &file : files)
        builder.addFile(file.path, file.archiveName);
    return Build(builder, target);
}
