// The command line of cabforge-cli: cabforge-cli [options] -o OUT.cab [PATH | --files-from LIST]...
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "cabforge/core/cab/cab_flow.h"

namespace cfcli {

// One input of the command line: a folder or file to pack, or a manifest naming files.
struct InputItem {
    enum class Kind { Path, Manifest };
    Kind kind = Kind::Path;
    std::string value; // the path; for a manifest its path, "-" for standard input
};

struct Options {
    std::string output;                   // -o, --output
    std::vector<InputItem> inputs;        // paths and --files-from manifests, in command-line order
    std::vector<std::wstring> exclusions; // --exclude, as single-name wildcard patterns
    cabflow::Compression compression;     // -c, --compression
    unsigned jobs = 0;                    // -j, --jobs; 0: one per processor
    std::uint64_t folderSize = 0;         // --folder-size; 0: the default
    std::uint32_t reserve = 0;            // --reserve
    bool quiet = false;
    bool followSymlinks = false;
    bool help = false;
    bool version = false;
    // SOURCE_DATE_EPOCH: entries get the earlier of their modification time and this, in UTC.
    bool reproducible = false;
    std::time_t epoch = 0;
};

// Input bytes per folder when --folder-size is not given, chosen by measurement (scripts/bench.sh,
// README): on the benchmark corpus (19.5 MB) the cabinet is 0.26 % larger than with one folder, on
// six copies of it (117 MB) 0.29 % smaller, and folders this small keep two or more jobs busy.
constexpr std::uint64_t kDefaultFolderSize = 8u << 20;

// Parses the arguments after the program name. False with `error` set on a usage error. Options
// may come before, between or after the paths; "--" ends them. --help and --version stop the
// checks that a build needs (an output and at least one input).
bool parseOptions(const std::vector<std::string> &args, Options &options, std::string &error);

// Reads SOURCE_DATE_EPOCH (null when unset) into `options`; false with `error` when it is not a
// number of seconds from 0 to the end of 2107, the last year a cabinet's dates hold.
bool parseSourceDateEpoch(const char *value, Options &options, std::string &error);

extern const char kUsage[];

} // namespace cfcli
