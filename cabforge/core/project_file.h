// Project settings files (.pkp): the archive tree saved as XML, read and written through the
// platform's XML DOM document.
#pragma once

#include <windows.h>

#include <string>

namespace ProjectFile {

// Replaces the archive tree with the project at `path`. On failure sets the exit code (102: no
// XML DOM component, 103: not loadable, not well-formed or not a project) and shows no message.
bool load(HWND owner, const std::wstring &path);
// "Load Settings...": asks for a project file, then load().
bool chooseAndLoad(HWND owner);
// "Save Settings...": asks for a file name and writes the archive tree to it.
bool save(HWND owner);
// Writes the archive tree to `path` without asking; nothing is written when the document cannot
// be built or written completely.
bool writeTo(const std::wstring &path);

} // namespace ProjectFile
