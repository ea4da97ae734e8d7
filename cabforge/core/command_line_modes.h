// The two windowless modes: pack the "/file:" list, or a whole folder, and return the exit code.
#pragma once

#include "cabforge/core/cmdline/command_line.h"

int RunFileListMode(const cfcmd::StartupOptions &options);
int RunFolderMode(const cfcmd::StartupOptions &options);
