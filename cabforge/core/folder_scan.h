// Depth-first scan of a folder for the folder mode of the command line.
#pragma once

#include <string>
#include <vector>

// Appends every file below `folder` to `files` in the file system's enumeration order, entering
// each subfolder where it is met. Folders whose name matches an exclusion pattern are skipped with
// their contents; a folder whose search pattern would reach 260 characters is skipped silently.
// File names are shown in the progress window as they are found, and the window is kept alive;
// returns false when Cancel was pressed (the list is then incomplete).
bool ScanFolder(const std::wstring &folder, const std::vector<std::wstring> &exclusions,
                std::vector<std::wstring> &files);
