// The folder scan of the command line's folder mode, over the Windows file system.
#pragma once

#include <string>
#include <vector>

#include "cabforge/core/cmdline/pack_rules.h"

// Scans `folder` by the rules of cfcmd::scanFolder, in the file system's enumeration order. A
// folder whose search pattern would reach 260 characters, or that cannot be listed, is skipped
// silently. File names are shown in the progress window as they are found, and the window is kept
// alive; returns false when Cancel was pressed (the list is then incomplete).
bool ScanFolder(const std::wstring &folder, const std::vector<std::wstring> &exclusions,
                std::vector<cfcmd::ScannedFile> &files);
