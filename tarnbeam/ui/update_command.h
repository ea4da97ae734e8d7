// The Update command of the main dialog: download the selected update program, check it and
// start it.
#pragma once

#include <windows.h>

#include <string>

// Runs the command for the first selected row of the main dialog's update list. True when the
// update program was started (the caller then closes the dialog); false after silence (nothing
// to update, the user said No, Cancel) or a failure that was reported.
bool RunUpdateCommand(HWND mainDialog);

// Called at each stage of a download with the downloaded file's path: "writing" (after the first
// chunk), "pinned" and "verified". Null in the program; tests set it to hold the download at a
// stage while they try to change the file.
using DownloadStageHook = void (*)(const wchar_t *stage, const std::wstring &path);
extern DownloadStageHook g_downloadStageHook;
