// Pure rules of the archive tree and the main window's layout: where a dropped path lands in the
// archive, how a stored pane width and show command are brought into range. Portable: no
// platform header.
#pragma once

#include <string>
#include <vector>

#include "cabforge/core/cmdline/wildcard.h"

namespace archive_paths {

// The path without its last component: C:\x\F gives C:\x, C:\x\ gives C:\x, C:\ stays C:\, a bare
// name gives "".
std::wstring folderOf(const std::wstring &path);

// The folder the names of `path` are cut from: `firstBase` (the folder of the first path of one
// addition) when `path` lies below it, otherwise the folder of `path` itself, so that a path from
// another folder is added by its own file or folder name.
std::wstring baseFor(const std::wstring &firstBase, const std::wstring &path, cfcmd::CaseFold fold);

// `path` below `base`, without the separator between them; empty when it does not lie below.
std::wstring relativeBelow(const std::wstring &base, const std::wstring &path, cfcmd::CaseFold fold);

// The components of a relative path split at backslashes; empty components are dropped.
std::vector<std::wstring> splitComponents(const std::wstring &relative);

// Whether an item's icon is asked of the file itself: only for the types whose files carry their
// own icons (.exe, .ico, .lnk, .cur, .ani, .url), and never for a path that begins with two
// separators (a share on another computer, \\host\share\..., or a device, \\?\..., \\.\...),
// since the shell would reach that host to open it. Every other item gets its type's icon.
bool asksOwnIcon(const std::wstring &path);

// Splitter positions: a pane keeps at least kMinPane pixels and the bar is kBarWidth thick.
const int kBarWidth = 4;
const int kMinPane = 100;
// The position a requested one becomes for a splitter `clientWidth` pixels wide.
int clampPanePosition(int requested, int clientWidth);
// The tracking position of a drag for a pointer at `pointer` on an extent of `extent` pixels.
int clampDragPosition(int pointer, int extent);
// The stored PaneWidth (-1 when missing) as the position to apply.
int storedPaneWidth(int stored, int clientWidth);

// The stored show command as the one to restore with: the window never starts minimised or hidden.
int restoreShowCommand(int stored);

} // namespace archive_paths
