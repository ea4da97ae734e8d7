// The archive builder's command line: arguments to start-up options, the mode they select, and the
// path helpers the command-line modes use. Portable: no platform header; what needs the file
// system or the window manager comes in through `ArgumentProbes`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cabforge/core/cmdline/wildcard.h"

namespace cfcmd {

struct StartupOptions {
    std::intptr_t hostWindow = 0;         // 0: none
    std::wstring switchArchivePath;       // "/arc:"
    std::vector<std::wstring> files;      // "/file:"
    std::vector<std::wstring> exclusions; // "/except:"
    std::wstring folderPath;              // an argument naming an existing folder
    std::wstring projectPath;             // "*.pkp"
    std::wstring bareArchivePath;         // "*.cab"
    bool compress = false;
    bool silent = false;
};

struct ArgumentProbes {
    // True when the text names an existing folder.
    bool (*isFolder)(const std::wstring &path) = nullptr;
    // True when the value is the handle of an existing window.
    bool (*isWindow)(std::intptr_t handle) = nullptr;
    CaseFold fold = defaultCaseFold;
};

// Every argument (the program name not included) is tested against every form, in order.
StartupOptions parseArguments(const std::vector<std::wstring> &args, const ArgumentProbes &probes);

enum class Mode { FileList, Folder, ProjectBuild, Interactive };
Mode selectMode(const StartupOptions &options);

// The C runtime's base-10 conversion: leading blanks and one sign accepted, stops at the first
// non-digit, no digits gives 0; saturates instead of overflowing.
std::int64_t parseDecimal(const std::wstring &text);

// The part after the last '\\', '/' or ':'.
std::wstring fileNamePart(const std::wstring &path);

// True when `name` matches any of the patterns.
bool matchesAny(const std::wstring &name, const std::vector<std::wstring> &patterns, CaseFold fold);

// Replaces the extension of the last path component by `extension` (".cab") or appends it when that
// component has none; a '.' counts as the extension's start only after the last '\\' and the last
// blank. Trailing separators of a folder path are dropped first (except at a root), so that
// D:\data\ gives D:\data.cab rather than a file named ".cab" inside the folder. Returns false when
// the result would not fit a buffer of `bufferChars` characters (NUL included).
bool renameExtension(const std::wstring &path, const std::wstring &extension, std::size_t bufferChars,
                     std::wstring &result);

// The path of a scanned file below `folder`, without a leading separator, with backslashes.
std::wstring relativeName(const std::wstring &folder, const std::wstring &path);

// The archive path of folder mode: the switch path, else the bare path, else the folder path with
// ".cab" (see renameExtension). Empty when none fits the 260-character buffer.
std::wstring folderArchivePath(const StartupOptions &options);

} // namespace cfcmd
