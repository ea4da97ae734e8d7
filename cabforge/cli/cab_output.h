// Writes the cabinet of cabforge-cli: the cabinet writer over POSIX files, into a temporary file
// beside the output that replaces the output only once it is complete.
#pragma once

#include <string>
#include <vector>

#include "cabforge/cli/cli_options.h"
#include "cabforge/cli/input_list.h"

namespace cfcli {

struct OutputSettings {
    cabflow::Compression compression;
    unsigned jobs = 1;
    std::uint64_t folderSize = kDefaultFolderSize;
    std::uint32_t reserve = 0;
    bool reproducible = false; // dates no later than `epoch`, in UTC
    std::time_t epoch = 0;
    bool showProgress = false;   // a progress line on standard error
    bool followSymlinks = false; // sources may be opened through a symbolic link
};

// Writes `output` from `files`. False with a one-line `message` naming the path at fault; nothing
// is then left under the output name (an existing file there stays as it was), and no temporary
// file is left anywhere.
bool writeCabinet(const std::string &output, const std::vector<InputFile> &files,
                  const OutputSettings &settings, std::string &message);

} // namespace cfcli
