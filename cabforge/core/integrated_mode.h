// The integrated mode: started by the authoring tool with its window ("/hwnd:"), the builder
// offers "Create Archive File and Exit" and reports the last archive it created when it closes.
#pragma once

#include <windows.h>

#include <string>

// The archive's place for command 40004: "Pakkit Project.cab" on the user's desktop, or in the
// "Projects" folder beside the program when there is no desktop folder. False when a path does
// not fit 260 characters.
bool IntegratedArchivePath(std::wstring &path);
// Command 40004: creates the archive there (asking before an existing file is replaced) and
// destroys the main window on success.
void CreateArchiveAndExit(HWND mainWindow);
// Sends WM_ARCHIVE_CREATED to the host window when an archive was created in this run.
void ReportArchiveToHost();
