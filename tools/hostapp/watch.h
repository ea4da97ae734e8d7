// Watching the program's top-level windows: snapshots, dialog rules and their steps.
#pragma once

#include <windows.h>

#include <string>

#include "tools/hostapp/options.h"

// One pass over the visible top-level windows of the program (or of every other process
// with --any-process): new windows are recorded, due rules fire.
void ScanWindows(Options &o, DWORD childPid);
// Records every visible window of the program once more (reason "timeout").
void SnapshotRemaining(const Options &o, DWORD childPid);
// The snapshots taken so far, as a JSON array.
std::string SnapshotsJson();
