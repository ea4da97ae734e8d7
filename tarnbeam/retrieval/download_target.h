// Where an update program is downloaded to, and the guards on that place: a fresh folder of its
// own for every download that only the system, administrators and this user may write to, a file
// made anew in it, and a read-only "pin" that keeps the file from being changed, replaced,
// renamed or deleted from the moment it is checked until it has been started.
#pragma once

#include <windows.h>

#include <string>

#include "tarnbeam/app/win_handles.h"

struct DownloadTarget {
    std::wstring root;   // the common application data folder
    std::wstring base;   // root \ DownloadPath
    std::wstring folder; // base \ a new name of this download
    std::wstring path;   // folder \ FileName
};

// Plans the target of one download. False when DownloadPath or FileName is not made of plain
// names, or the path would be too long; `target.path` then still holds the path to report.
bool PlanDownloadTarget(const std::wstring &downloadPath, const std::wstring &fileName,
                        DownloadTarget &target);

// Creates the folders up to the download's own folder. The configured chain must consist of real
// folders (no links or reparse points); the download's folder is new and never reused.
bool CreateDownloadFolder(DownloadTarget &target);

// Creates the file, which must not exist yet, for writing that nobody else may share.
KernelHandle CreateDownloadFile(const DownloadTarget &target);

// Opens the written file read-only, sharing reading only.
KernelHandle PinDownloadFile(const DownloadTarget &target);

// True when the target path still names the file open as `pin`.
bool PathNamesPinnedFile(const DownloadTarget &target, HANDLE pin);

// Deletes the file and the download's folder (an unverified file is never left behind).
void RemoveDownload(const DownloadTarget &target);
