// Creating the archive from the archive tree, and asking before the tree is discarded.
#pragma once

#include <windows.h>

#include <string>

// Writes the archive tree to `target`, or to a file the user picks when `target` is empty. On
// success remembers the path as the last archive and clears the tree's modified flag; on failure
// sets the exit code (104 no entries, 203 cancelled, 204 failed) and, unless silent, says why.
bool createArchiveFromTree(HWND owner, const std::wstring &target);

// True when the caller may discard the tree: it is unchanged or empty, or the user answered No,
// or Yes and the archive was created.
bool confirmDiscard(HWND owner);
