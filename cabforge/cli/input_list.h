// The files cabforge-cli packs: the paths of the command line turned into a checked build list.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "cabforge/cli/cli_options.h"

namespace cfcli {

struct InputFile {
    std::string source;     // the path to read
    std::string name;       // the name in the cabinet: UTF-8, folders joined with backslashes
    std::uint64_t size = 0; // as listed; reading more or fewer bytes fails the build
    std::time_t modified = 0;
    bool readOnly = false; // nobody may write it
    // The file the listing saw: the one opened for its bytes must be this one.
    std::uint64_t device = 0, inode = 0;
};

// Scans the folders and takes the files of `options.paths` in command-line order (each folder's
// files sorted by name, depth first), drops what the exclusions match, and checks everything the
// cabinet cannot take before a byte is compressed: paths that cannot be read, symbolic links
// without --follow-symlinks, anything but regular files, names that are not UTF-8, contain a
// backslash, exceed 255 bytes or break the archive's name rule (archive_names.h: "C:", "a:b",
// "CON.txt", "x." among them), two files with one name, a file or a total beyond the format's
// size bound, more than 65,535 files, no file at all, an output that is a folder or one of the
// inputs. False with a one-line `message` naming the path at fault.
bool collectInputs(const Options &options, std::vector<InputFile> &files, std::string &message);

} // namespace cfcli
