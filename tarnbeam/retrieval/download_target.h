// Where an update program is downloaded to, and the guards on that place: a download folder
// chain that no other account owns or may change, a fresh folder of its own for every download
// that only the system, administrators and this user may write to (held open so that it cannot
// be renamed or deleted while it is used), a file made anew in it, and a read-only "pin" that
// keeps the file from being changed, replaced, renamed or deleted from the moment it is checked
// until it has been started.
#pragma once

#include <windows.h>

#include <string>

#include "tarnbeam/app/win_handles.h"
#include "tarnbeam/retrieval/portable/program_image.h"

struct DownloadTarget {
    std::wstring root;                                         // the common application data folder
    std::wstring base;                                         // root \ the components of DownloadPath
    std::wstring folder;                                       // base \ a new name of this download
    std::wstring path;                                         // folder \ FileName
    download::ProgramKind kind = download::ProgramKind::kNone; // what FileName says the file is
    KernelHandle folderHold; // the download's folder, open without delete sharing
};

// Plans the target of one download. False when FileName names no program (".exe", ".msi") or is
// not a plain name, when DownloadPath is not made of plain names, or when the path would be too
// long; `target.path` then still holds the path to report.
bool PlanDownloadTarget(const std::wstring &downloadPath, const std::wstring &fileName,
                        DownloadTarget &target);

// Creates the folders up to the download's own folder. Every existing folder of the configured
// chain must be a real folder (no link or junction) that no other account owns or may change;
// missing ones are made private. Folders of earlier downloads older than a day that nothing
// uses any more are removed. The download's folder is new, never reused, and held from here on.
bool CreateDownloadFolder(DownloadTarget &target);

// Creates the file, which must not exist yet, for writing that nobody else may share.
KernelHandle CreateDownloadFile(const DownloadTarget &target);

// Opens the written file read-only, sharing reading only.
KernelHandle PinDownloadFile(const DownloadTarget &target);

// True when the target path still names the file open as `pin`.
bool PathNamesPinnedFile(const DownloadTarget &target, HANDLE pin);

// Lets go of the download's folder (the started program may use it as it likes).
void ReleaseDownloadFolder(DownloadTarget &target);

// Deletes the file and the download's folder (an unverified file is never left behind).
void RemoveDownload(DownloadTarget &target);
